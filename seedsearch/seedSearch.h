#pragma once

#include "base/workProgress.h"
#include "core/noise.h"
#include "seedsearch/seedText.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Finding the noise seed of an encoded image without a window: the decoder
// reads the encoded texels and the rotation amount `s` of a few texture rows
// from OpenGL, then decodes those rows on the CPU for candidate seconds and
// keeps the one whose rows code as a picture (naturalness.h). A wrong seed
// leaves uniform noise, which no picture model compresses.

// Rotates the low eight bits of `value` right by `shift`, 0 to 7: the inverse
// of the encoder's rotation. Inline, so that the quick test's vectorized loop
// can use it without a call.
inline std::uint32_t rotateByteRight(std::uint32_t value, std::uint32_t shift)
{
    return ((value >> shift) | (value << (8 - shift))) & 0xFFu;
}

inline unsigned char rotateRight(unsigned char value, int shift)
{
    return static_cast<unsigned char>(rotateByteRight(value, static_cast<std::uint32_t>(shift) & 7u));
}

// Texels of one texture row of the encoded image (row 0 is the one the noise
// starts with), from `firstColumn` on: as red, green, blue, and each texel's
// rotation amount.
struct sampledRow {
    std::uint32_t textureRow = 0;
    std::uint32_t firstColumn = 0;
    std::vector<unsigned char> encoded;
    std::vector<unsigned char> shifts;
};

// `width` is the texture's, which places every texel in the noise.
struct decodingSample {
    std::uint32_t width = 0;
    std::vector<sampledRow> rows;
};

// Whether sampled row `row` lies right under the one before it in the sample,
// texel for texel, so that its texels have neighbours above them.
bool continuesRowAbove(const decodingSample& sample, std::size_t row);

// The texture rows to score, in bands of two adjacent rows spread evenly from
// top to bottom so that every texel but the band's first row has neighbours
// above it: all rows of a small image, and at least four bands, enough for
// about 16384 texels, of a large one.
std::vector<std::uint32_t> rowsToSample(std::uint32_t width, std::uint32_t height);

// The sample decoded with `seed`: texture rows in the sample's order, each
// as red, green, blue.
std::vector<std::vector<unsigned char>> decodeSample(const decodingSample& sample, std::uint32_t seed);

// The sample decoded with `seed`, coded by the picture model: bits per byte,
// a little above 8 for noise and lower the more the rows look like a picture.
double naturalnessScore(const decodingSample& sample, std::uint32_t seed);

// Bits the picture model saves on the sample decoded with `seed`; uniform
// noise saves b bits or more with a chance of at most 2^-b.
double evidenceBits(const decodingSample& sample, std::uint32_t seed);

// The same without the sampled row on which the model saved most. A wrong
// seed can decode one row right: when the rows of an encoded file were moved
// (a BMP whose height field was negated holds its rows upside down), the noise
// of one of the 2^24 seeds meets each moved row where it now lies. That row
// can save thousands of bits while the others, noise, cost bits; a picture
// saves bits on many rows.
double evidenceBesideBestRow(const decodingSample& sample, std::uint32_t seed);

// A seed stands out on two bars. Its rows must save decisiveMarginBits more
// than log2 of the candidates tried so far (evidenceBitsToStandOut): 28 bits
// in the search's first step, 40 after all 2^24 noises. A wrong seed's noise
// clears that with a chance below 2^-16 in each step of the search, and below
// 2^-13 over all of them.
inline constexpr double decisiveMarginBits = 16;
double evidenceBitsToStandOut(std::uint64_t candidatesTried);
// And its rows beside the best must still save spreadEvidenceBits, so that no
// seed wins on one row. A seed that decodes one row right leaves noise on the
// others, which saves that much with a chance below 1 in 256, and far below
// on a sample of more than a few texels, since noise costs bits on every row.
// The bar stays low for the sake of tiny pictures: a 4 x 4 photo saves 37
// bits, 11 of them beside its best row. A texture of a single row is judged
// on the first bar alone: it has no other row that could have been moved.
inline constexpr double spreadEvidenceBits = 8;
// With the seed given there is a single candidate.
inline constexpr double givenSeedEvidenceBits = 16;

// Whether the sample decoded with `seed` clears both bars among
// `candidatesTried` seeds.
bool standsOutAmong(const decodingSample& sample, std::uint32_t seed, std::uint64_t candidatesTried);

// Whether even a perfectly flat picture of the sample's shape would stand
// out among all 2^24 noises; a smaller sample cannot tell its seed.
bool canJudge(const decodingSample& sample);

// The seconds a search stands for, from 2000-01-01 to a day after the file's
// modification time (at least 2^24 seconds). Since the noise of a seed depends
// only on its low 24 bits (noiseSeedPeriod), the 2^24 seconds ending at `last`
// hold one seed for every noise, and the search tries no more.
struct seedRange {
    std::uint32_t first;
    std::uint32_t last;
    std::uint32_t modificationTime;
};
inline constexpr std::uint32_t earliestSeed = 946684800u; // 2000-01-01 00:00:00 UTC
inline constexpr std::uint32_t fileTimeLeadSeconds = 86400;
seedRange candidateSeeds(std::uint32_t modificationTime);

// The order in which the search tries seconds: nearest the file time first,
// from the file time up to a day after it (a clock that ran behind, a coarse
// file time), then downwards from the file time (a copy, a download, a touch),
// then, when 2000-01-01 comes first, upwards from a day after the file time.
// Seed `index` of that order, for index below noiseSeedPeriod.
std::uint32_t seedInSearchOrder(const seedRange& range, std::uint32_t index);

struct seedChoice {
    bool standsOut = false;
    std::uint32_t seed = 0;
    // Bits per byte (naturalnessScore) of the best seed and of the runner-up:
    // the best other candidate that reached the full test.
    double bestScore = 0;
    double runnerUpScore = 0;
    // The runner-up's score over the best one's: how clearly the best stands out.
    double separation = 0;
    double evidence = 0;
    double evidenceBesideBestRow = 0;
    // Candidates the search tried before it stopped.
    std::uint64_t candidatesTried = 0;
};

// The search's first step; later ones widen to a million seconds.
inline constexpr std::uint32_t firstSearchStepSeconds = 1u << 12;

// Tries the seconds of `range` in search order, in widening steps, and stops
// after the first step in which a seed stands out among the candidates tried
// so far (standsOutAmong); of those, the one that saves most. Every candidate
// first takes a quick test on a few texels; only those that pass are decoded
// in full. A seed found in the first step has had few competitors and needs
// 28 bits; after all 2^24 noises, 40.
// The seconds shown to `progress` are those tried, of searchedSeconds.
seedChoice searchSeeds(const decodingSample& sample, const seedRange& range, workProgress* progress = nullptr);

// The seconds of `range` that the search may try: at most one for each noise.
std::uint64_t searchedSeconds(const seedRange& range);

// Whether the sampled texels, as they are stored, code as a picture by the
// bar a seed must clear after every noise was tried. An encoding's texels are
// uniform noise until decoded, which no picture model compresses, so such a
// file was never encoded (or was re-saved in a lossy format, which smooths
// them); it is refused without a search that could only fail.
bool looksLikeAPictureAsStored(const decodingSample& sample);

// Whether the sample decoded with `seed` is indistinguishable from noise.
// Never for a sample of fewer than leastNoiseVerdictTexels: a picture that
// rough and small (a 1 × 64 strip of a fractal) codes no better than noise.
inline constexpr std::size_t leastNoiseVerdictTexels = 512;
bool looksLikeNoise(const decodingSample& sample, std::uint32_t seed);
