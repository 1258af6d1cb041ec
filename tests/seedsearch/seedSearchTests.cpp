// The seed search without a window: synthetic pictures encoded on the CPU as
// the shader does it (rotate left by a per-texel amount, XOR the noise), with
// random rotation amounts standing in for the shader's.

#include "seedsearch/naturalness.h"
#include "seedsearch/quickSeedTest.h"
#include "seedsearch/seedSearch.h"
#include "tests/support/testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t seed = pinnedSeed;
constexpr std::uint32_t day = 86400;

struct picture {
    std::uint32_t width;
    std::uint32_t height;
    std::vector<unsigned char> rgb;
};

using texelColour = std::function<void(std::uint32_t x, std::uint32_t y, unsigned char* rgb)>;

picture paint(std::uint32_t width, std::uint32_t height, const texelColour& colour)
{
    picture image{width, height, std::vector<unsigned char>(std::size_t{width} * height * 3)};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            colour(x, y, &image.rgb[(std::size_t{y} * width + x) * 3]);
    return image;
}

void grey(unsigned char* rgb, int value)
{
    rgb[0] = rgb[1] = rgb[2] = static_cast<unsigned char>(value);
}

// Lines of black strokes on white, one or two texels wide.
picture text(std::uint32_t width, std::uint32_t height)
{
    std::mt19937 strokes(2);
    std::vector<bool> ink(std::size_t{width} * height);
    for (std::size_t i = 0; i < ink.size(); ++i)
        ink[i] = (i / width) % 16 < 11 && strokes() % 4 == 0 && (i % width) % 7 < 2;
    return paint(width, height,
                 [&](std::uint32_t x, std::uint32_t y, unsigned char* rgb) { grey(rgb, ink[y * width + x] ? 0 : 255); });
}

std::vector<std::vector<unsigned char>> rowsOf(const picture& image, const decodingSample& sample)
{
    std::vector<std::vector<unsigned char>> rows;
    for (const sampledRow& row : sample.rows) {
        const auto begin = image.rgb.begin() + static_cast<std::ptrdiff_t>(std::size_t{row.textureRow} * image.width * 3);
        rows.emplace_back(begin, begin + static_cast<std::ptrdiff_t>(std::size_t{image.width} * 3));
    }
    return rows;
}

// `upsideDown` gives the sample of the encoding read with its rows in the
// opposite order, as from a BMP whose height field was negated: each texture
// row holds the encoding of the mirrored row, rotated by that row's amount,
// while the decoder reads the amounts of the row where it now lies.
decodingSample encodeOnCpu(const picture& image, std::uint32_t noiseSeed, bool upsideDown = false)
{
    std::vector<unsigned char> noise(image.rgb.size());
    fillNoise(noise.data(), noise.size(), noiseSeed);
    std::mt19937 shifts(noiseSeed);
    decodingSample sample;
    sample.width = image.width;
    for (std::uint32_t textureRow : rowsToSample(image.width, image.height)) {
        const std::uint32_t encodedRow = upsideDown ? image.height - 1 - textureRow : textureRow;
        sampledRow row;
        row.textureRow = textureRow;
        for (std::uint32_t x = 0; x < image.width; ++x) {
            const int shift = static_cast<int>(shifts() % 8);
            row.shifts.push_back(static_cast<unsigned char>(upsideDown ? shifts() % 8 : shift));
            for (int channel = 0; channel < 3; ++channel) {
                const std::size_t at = (std::size_t{encodedRow} * image.width + x) * 3 + static_cast<std::size_t>(channel);
                row.encoded.push_back(static_cast<unsigned char>(rotateLeft(image.rgb[at], shift) ^ noise[at]));
            }
        }
        sample.rows.push_back(std::move(row));
    }
    return sample;
}

struct samplePicture {
    std::string name;
    picture image;
    bool structured;
};

std::vector<samplePicture> samplePictures()
{
    std::mt19937 random(3);
    return {
        {"photo", {512, 256, photoLikePicture(512, 256, 12)}, true},
        {"text", text(512, 256), true},
        {"stripes one texel wide",
         paint(256, 256, [](std::uint32_t x, std::uint32_t, unsigned char* rgb) {
             rgb[0] = x % 2 ? 200 : 20;
             rgb[1] = 30;
             rgb[2] = x % 2 ? 30 : 200;
         }),
         true},
        {"random dither", paint(256, 256, [&](std::uint32_t, std::uint32_t, unsigned char* rgb) { grey(rgb, random() % 2 ? 255 : 0); }),
         true},
        {"checkerboard dither",
         paint(256, 128, [](std::uint32_t x, std::uint32_t y, unsigned char* rgb) { grey(rgb, (x + y) % 2 ? 255 : 0); }), true},
        {"flat", paint(128, 128, [](std::uint32_t, std::uint32_t, unsigned char* rgb) { grey(rgb, 51); }), true},
        {"tiny 4x4 gradient",
         paint(4, 4, [](std::uint32_t x, std::uint32_t y, unsigned char* rgb) { grey(rgb, static_cast<int>(40 + 16 * x + 3 * y)); }),
         true},
        {"tiny 2x2 flat", paint(2, 2, [](std::uint32_t, std::uint32_t, unsigned char* rgb) { grey(rgb, 200); }), true},
        {"uniform noise",
         paint(256, 256, [&](std::uint32_t, std::uint32_t, unsigned char* rgb) {
             for (int channel = 0; channel < 3; ++channel)
                 rgb[channel] = static_cast<unsigned char>(random());
         }),
         false},
    };
}

// A year late, the search meets seeds of the right seed's family (same low 16
// bits, a half-corrupted picture) long before it meets the right noise.
TEST(SeedSearch, FindsEveryStructuredPictureAYearLateAndNoSeedForNoise)
{
    for (const samplePicture& sample : samplePictures()) {
        SCOPED_TRACE(sample.name);
        const decodingSample encoded = encodeOnCpu(sample.image, seed);
        ASSERT_TRUE(canJudge(encoded));
        const seedRange range = candidateSeeds(seed + 365 * day);
        workProgress progress(searchedSeconds(range));
        const seedChoice choice = searchSeeds(encoded, range, &progress);
        EXPECT_EQ(choice.standsOut, sample.structured);
        // The progress line shows the share of the seconds tried.
        EXPECT_DOUBLE_EQ(progress.fraction(), double(choice.candidatesTried) / double(searchedSeconds(range)));
        EXPECT_EQ(looksLikeNoise(encoded, seed), !sample.structured);
        const bool bigEnough = std::size_t{sample.image.width} * sample.image.height >= leastNoiseVerdictTexels;
        EXPECT_EQ(looksLikeNoise(encoded, seed + 1), bigEnough);
        if (!sample.structured) {
            EXPECT_EQ(choice.candidatesTried, noiseSeedPeriod);
            continue;
        }
        EXPECT_EQ(choice.seed % noiseSeedPeriod, seed % noiseSeedPeriod);
        EXPECT_EQ(decodeSample(encoded, choice.seed), rowsOf(sample.image, encoded));
        EXPECT_LT(choice.bestScore, choice.runnerUpScore);
        EXPECT_GE(choice.evidence, evidenceBitsToStandOut(choice.candidatesTried));
        EXPECT_GE(choice.evidenceBesideBestRow, spreadEvidenceBits);
    }
}

// A file that was never encoded holds its picture as stored; an encoding
// holds noise, whatever its picture, and its seed is searched for.
TEST(SeedSearch, TellsAPictureAsStoredFromAnEncoding)
{
    for (const samplePicture& sample : samplePictures()) {
        SCOPED_TRACE(sample.name);
        EXPECT_FALSE(looksLikeAPictureAsStored(encodeOnCpu(sample.image, seed)));
        decodingSample asStored = encodeOnCpu(sample.image, seed);
        const std::vector<std::vector<unsigned char>> rows = rowsOf(sample.image, asStored);
        for (std::size_t row = 0; row < rows.size(); ++row)
            asStored.rows[row].encoded = rows[row];
        EXPECT_EQ(looksLikeAPictureAsStored(asStored), sample.structured);
    }
}

TEST(SeedSearch, NamesTheRightSeedWhenARelativeComesFirst)
{
    const picture tiny = samplePictures()[6].image;
    const decodingSample encoded = encodeOnCpu(tiny, seed);
    const std::uint32_t relative = seed + noiseSeedPeriod / 2;
    ASSERT_TRUE(standsOutAmong(encoded, relative, firstSearchStepSeconds)) << "the relative no longer stands out alone";
    const seedChoice choice = searchSeeds(encoded, candidateSeeds(relative));
    EXPECT_TRUE(choice.standsOut);
    EXPECT_EQ(choice.seed % noiseSeedPeriod, seed % noiseSeedPeriod);
}

std::uint32_t inverseModulo2To32(std::uint32_t odd)
{
    std::uint32_t inverse = odd; // right in the lowest 3 bits; each step doubles them
    for (int step = 0; step < 4; ++step)
        inverse *= 2 - odd * inverse;
    return inverse;
}

// The seed whose noise at texture row `row` is the noise that `seed` gave row
// `originalRow`: the noise bytes depend only on the state's low 24 bits, and
// any number of draws maps them one to one, so there is exactly one such
// seed among the 2^24 noises.
std::uint32_t seedMeetingRow(std::uint32_t width, std::uint32_t row, std::uint32_t originalRow, std::uint32_t seed)
{
    const noiseJump here = noiseJumpOver(std::uint64_t{row} * width * 3);
    const std::uint32_t wanted = noiseJumpOver(std::uint64_t{originalRow} * width * 3).stateFrom(seed);
    const std::uint32_t meeting = inverseModulo2To32(here.multiplier) * (wanted - here.increment);
    return seed - seed % noiseSeedPeriod + meeting % noiseSeedPeriod;
}

// Upside down, every sampled row of a vertical gradient (each row one colour)
// is decoded right by one wrong seed, with wrong rotations that leave it a few
// values. That row alone saved more than all 2^24 noises' bar; what the other
// rows save, as noise, keeps each such seed from standing out.
TEST(SeedSearch, NoSeedStandsOutOnOneRowOfAPictureUpsideDown)
{
    const picture gradient = paint(512, 256, [](std::uint32_t, std::uint32_t y, unsigned char* rgb) {
        rgb[0] = static_cast<unsigned char>(255 - y);
        rgb[1] = 0;
        rgb[2] = static_cast<unsigned char>(y);
    });
    const decodingSample upsideDown = encodeOnCpu(gradient, seed, true);
    double mostSavedByOneRow = 0;
    for (const sampledRow& row : upsideDown.rows) {
        const std::uint32_t originalRow = gradient.height - 1 - row.textureRow;
        const std::uint32_t meeting = seedMeetingRow(gradient.width, row.textureRow, originalRow, seed);
        SCOPED_TRACE("the seed meeting row " + std::to_string(row.textureRow) + ", " + std::to_string(meeting));
        const std::uint64_t rowBytes = std::uint64_t{gradient.width} * 3;
        for (std::uint64_t byte = 0; byte < rowBytes; byte += 101)
            ASSERT_EQ(noiseByteAt(meeting, row.textureRow * rowBytes + byte), noiseByteAt(seed, originalRow * rowBytes + byte));
        mostSavedByOneRow = std::max(mostSavedByOneRow, evidenceBits(upsideDown, meeting));
        EXPECT_LT(evidenceBesideBestRow(upsideDown, meeting), spreadEvidenceBits);
        EXPECT_FALSE(standsOutAmong(upsideDown, meeting, firstSearchStepSeconds));
    }
    ASSERT_GE(mostSavedByOneRow, evidenceBitsToStandOut(noiseSeedPeriod)) << "no seed meeting one row saves enough to test";
    EXPECT_FALSE(searchSeeds(upsideDown, candidateSeeds(seed)).standsOut);
}

TEST(SeedSearch, TriesEveryNoiseOnceNearestTheFileTimeFirst)
{
    const std::uint32_t last = noiseSeedPeriod - 1;
    const std::uint32_t early = earliestSeed + 100; // downwards meets 2000-01-01 after 100 s
    const struct {
        std::uint32_t fileTime;
        std::uint32_t index;
        std::uint32_t seed;
    } order[] = {
        {seed, 0, seed},
        {seed, day, seed + day},
        {seed, day + 1, seed - 1},
        {seed, last, seed + day - last},
        {early, day + 100, earliestSeed},
        {early, day + 101, early + day + 1},
        {early, last, earliestSeed + last},
        {631152000u, 0, earliestSeed}, // 1990-01-01
        {631152000u, last, earliestSeed + last},
        {0xFFFFFFFFu, 0, 0xFFFFFFFFu},
        {0xFFFFFFFFu, 1, 0xFFFFFFFEu},
    };
    for (const auto& step : order)
        EXPECT_EQ(seedInSearchOrder(candidateSeeds(step.fileTime), step.index), step.seed)
            << step.fileTime << " at " << step.index;
    EXPECT_EQ(candidateSeeds(seed).first, earliestSeed);
    EXPECT_EQ(candidateSeeds(seed).last, seed + day);
    EXPECT_EQ(candidateSeeds(631152000u).last, earliestSeed + last);
}

// The pass mark comes from the points' distribution for uniform noise; the
// rate measured on a million wrong seeds must not exceed it by much, or the
// later stages would cost more than planned, nor fall far below it, or the
// mark is needlessly high for the right seed.
TEST(QuickSeedTest, PassesWrongSeedsAtAboutTheRateItWasSetFor)
{
    std::mt19937 random(4);
    const picture noise = paint(1024, 1024, [&](std::uint32_t, std::uint32_t, unsigned char* rgb) {
        for (int channel = 0; channel < 3; ++channel)
            rgb[channel] = static_cast<unsigned char>(random());
    });
    const quickSeedTest quick(encodeOnCpu(noise, seed), 1e-3);
    const double planned = quick.noiseTail(quick.passMark());
    ASSERT_LE(planned, 1e-3);
    constexpr std::uint32_t tried = 1u << 20;
    std::uint64_t passed = 0;
    for (std::uint32_t first = 0; first < tried; first += quickSeedTest::lanes)
        passed += static_cast<std::uint64_t>(__builtin_popcount(quick.passingLanes(first)));
    EXPECT_LE(passed / double{tried}, 2 * planned);
    EXPECT_GE(passed / double{tried}, planned / 4);
}

TEST(NaturalnessTest, JudgesSamplesThatCouldStandOutAtAll)
{
    const struct {
        std::uint32_t width;
        std::uint32_t height;
        bool judged;
    } shapes[] = {{1, 1, false}, {2, 1, false}, {2, 2, true}, {1, 64, true}, {512, 512, true}};
    for (const auto& shape : shapes) {
        const picture flat =
            paint(shape.width, shape.height, [](std::uint32_t, std::uint32_t, unsigned char* rgb) { grey(rgb, 9); });
        EXPECT_EQ(canJudge(encodeOnCpu(flat, seed)), shape.judged) << shape.width << "x" << shape.height;
    }
}

TEST(RowsToSample, TakesSmallImagesWholeAndBandsOfTwoRowsFromLargeOnes)
{
    EXPECT_EQ(rowsToSample(2, 5), (std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(rowsToSample(0, 5).empty());
    EXPECT_EQ(rowsToSample(4096, 4096), (std::vector<std::uint32_t>{0, 1, 1024, 1025, 2048, 2049, 3072, 3073}));
    const std::vector<std::uint32_t> rows = rowsToSample(256, 256);
    EXPECT_EQ(rows.size(), 64u);
    for (std::size_t band = 0; band < rows.size(); band += 2)
        EXPECT_EQ(rows[band + 1], rows[band] + 1);
}

} // namespace
