#pragma once

#include "core/noise.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Finding the noise seed of an encoded image without a window: the decoder
// reads the encoded texels and the rotation amount `s` of a few texture rows
// from OpenGL, then decodes those rows on the CPU for every candidate second
// and keeps the one whose rows look like a picture. A wrong seed leaves
// uniform noise, whose horizontal neighbours differ by about 85 on average; a
// natural image's differ by a few units.

unsigned char rotateRight(unsigned char value, int shift);

// One texture row of the encoded image (row 0 is the one the noise starts
// with): its texels as red, green, blue, and each texel's rotation amount.
struct sampledRow {
    std::uint32_t textureRow = 0;
    std::vector<unsigned char> encoded;
    std::vector<unsigned char> shifts;
};

struct decodingSample {
    std::uint32_t width = 0;
    std::vector<sampledRow> rows;
};

// The texture rows to score, spread evenly from top to bottom: all rows of a
// small image, and enough rows for about sampledTexels texels, at least 8, of
// a large one.
std::vector<std::uint32_t> rowsToSample(std::uint32_t width, std::uint32_t height);

// Channel differences between horizontal neighbours in the sample.
std::size_t neighbourDifferenceCount(const decodingSample& sample);

// Whether the sample has enough neighbours for a score to mean anything.
bool canJudge(const decodingSample& sample);

// The mean absolute difference between horizontal neighbours, over every
// channel, of the sample decoded with `seed`: about 85 for noise, a few units
// for a natural image. 0 for a sample without neighbours.
double naturalnessScore(const decodingSample& sample, std::uint32_t seed);

// The encoder takes its seed from the clock before it draws and saves, so the
// file's modification time is the seed or a little later; a larger image takes
// longer, and the margin grows with it. Candidates run from `last` down to
// `first`.
struct seedRange {
    std::uint32_t first;
    std::uint32_t last;
};
seedRange candidateSeeds(std::uint32_t modificationTime, std::uint32_t width, std::uint32_t height);

struct seedChoice {
    bool standsOut = false;
    std::uint32_t seed = 0;
    double bestScore = 0;
    double runnerUpScore = 0;
    // The runner-up's score over the best one's: how clearly the best stands out.
    double separation = 0;
};

// The seed that stands out: the lowest score, at least minimumSeparation times
// lower than every other. `scores[i]` belongs to `seeds[i]`; ties go to the
// earlier seed. Fewer than two candidates never stand out.
inline constexpr double minimumSeparation = 5.0;
seedChoice chooseSeed(const std::vector<std::uint32_t>& seeds, const std::vector<double>& scores);

// Scores every seed of `range` and chooses among them.
seedChoice searchSeeds(const decodingSample& sample, seedRange range);

// Whether the sample decoded with `seed` looks like noise: it does not stand
// out against the seconds just after it.
bool looksLikeNoise(const decodingSample& sample, std::uint32_t seed);

// Parses a seed given on the command line: decimal digits only, 0 to 4294967295.
bool parseSeed(const char* text, std::uint32_t& seed);
