// The decoder's pure parts: the generator's jump-ahead, and the scoring and
// choice of candidate seeds on CPU-made samples.

#include "core/noise.h"
#include "decoder/seedSearch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(JumpAhead, LandsOnTheGeneratorsOwnBytes)
{
    const std::uint32_t seeds[] = {0u, 1u, 1767225600u, 0xFFFFFFFFu};
    for (std::uint32_t seed : seeds) {
        std::vector<unsigned char> noise(3 * 4099);
        fillNoise(noise.data(), noise.size(), seed);
        for (std::size_t index : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{1000},
                                  std::size_t{3 * 4096}, noise.size() - 1})
            EXPECT_EQ(noiseByteAt(seed, index), noise[index]) << seed << " at " << index;
    }
    EXPECT_EQ(noiseStateAfter(12345u, 0), 12345u);
    // Jumps compose: a billion draws, then seven more, step by step.
    std::uint32_t state = noiseStateAfter(42u, 1000000000ull);
    for (int i = 0; i < 7; ++i)
        state = nextNoiseState(state);
    EXPECT_EQ(noiseStateAfter(42u, 1000000007ull), state);
}

TEST(RotateRight, UndoesEveryLeftRotation)
{
    for (int value = 0; value < 256; ++value) {
        for (int shift = 0; shift < 8; ++shift) {
            const auto rotatedLeft = static_cast<unsigned char>((value << shift) | (value >> (8 - shift)));
            EXPECT_EQ(rotateRight(rotatedLeft, shift), value) << value << " by " << shift;
        }
    }
    EXPECT_EQ(rotateRight(0x03, 1), 0x81);
}

TEST(RowsToSample, TakesSmallImagesWholeAndSpreadsOverLargeOnes)
{
    EXPECT_EQ(rowsToSample(2, 5), (std::vector<std::uint32_t>{0, 1, 2, 3, 4}));
    EXPECT_TRUE(rowsToSample(0, 5).empty());
    EXPECT_EQ(rowsToSample(256, 256).size(), 64u);

    const std::vector<std::uint32_t> rows = rowsToSample(8192, 8192);
    ASSERT_EQ(rows.size(), 8u);
    for (std::size_t i = 1; i < rows.size(); ++i)
        EXPECT_LT(rows[i - 1], rows[i]);
    EXPECT_EQ(rows.front(), 0u);
    EXPECT_GE(rows.back(), 7000u);
    EXPECT_LT(rows.back(), 8192u);
}

// A smooth picture, encoded on the CPU as the shader does it: rotate left by a
// per-texel amount, then XOR the noise of `seed`.
decodingSample encodedGradient(std::uint32_t width, std::uint32_t height, std::uint32_t seed)
{
    std::vector<unsigned char> noise(std::size_t{width} * height * 3);
    fillNoise(noise.data(), noise.size(), seed);
    decodingSample sample;
    sample.width = width;
    for (std::uint32_t rowIndex : rowsToSample(width, height)) {
        sampledRow row;
        row.textureRow = rowIndex;
        for (std::uint32_t x = 0; x < width; ++x) {
            const int shift = static_cast<int>((x * 7 + rowIndex * 3) % 8);
            row.shifts.push_back(static_cast<unsigned char>(shift));
            for (int channel = 0; channel < 3; ++channel) {
                const int value = (x + rowIndex + 40 * channel) % 256;
                const auto rotated = static_cast<unsigned char>(((value << shift) | (value >> (8 - shift))) & 0xFF);
                row.encoded.push_back(rotated ^ noise[(std::size_t{rowIndex} * width + x) * 3 + channel]);
            }
        }
        sample.rows.push_back(row);
    }
    return sample;
}

TEST(NaturalnessScore, TellsThePictureFromNoise)
{
    const decodingSample sample = encodedGradient(200, 100, 777u);
    // Neighbours of the gradient differ by 1, except where it wraps from 255 to 0.
    EXPECT_LT(naturalnessScore(sample, 777u), 5.0);
    for (std::uint32_t wrong : {776u, 778u, 0u}) {
        const double score = naturalnessScore(sample, wrong);
        EXPECT_GT(score, 80.0) << wrong;
        EXPECT_LT(score, 91.0) << wrong;
    }
    decodingSample narrow;
    narrow.width = 1;
    narrow.rows.push_back({0, {1, 2, 3}, {0}});
    EXPECT_EQ(neighbourDifferenceCount(narrow), 0u);
    EXPECT_FALSE(canJudge(narrow));
    EXPECT_EQ(naturalnessScore(narrow, 1u), 0.0);
    EXPECT_TRUE(canJudge(sample));
}

// The lowest score wins when every other is at least 5 times higher; a flat
// picture scores 0 and still stands out against noise.
TEST(ChooseSeed, NeedsAClearWinner)
{
    const struct {
        std::vector<std::uint32_t> seeds;
        std::vector<double> scores;
        bool standsOut;
        std::uint32_t seed;
    } choices[] = {
        {{10, 9, 8, 7}, {85.0, 2.0, 84.0, 86.0}, true, 9},
        {{5, 4}, {85.0, 0.0}, true, 4},
        {{10, 9, 8}, {85.0, 80.0, 86.0}, false, 0},
        {{10, 9, 8}, {85.0, 2.0, 9.0}, false, 0},
        {{10}, {1.0}, false, 0},
        {{10, 9}, {1.0}, false, 0},
        {{5, 4, 3}, {1.0, 1.0, 85.0}, false, 0},
    };
    for (const auto& choice : choices) {
        const seedChoice chosen = chooseSeed(choice.seeds, choice.scores);
        EXPECT_EQ(chosen.standsOut, choice.standsOut) << ::testing::PrintToString(choice.scores);
        EXPECT_EQ(chosen.standsOut ? chosen.seed : 0, choice.seed);
        EXPECT_TRUE(std::isfinite(chosen.separation));
    }
    const seedChoice clear = chooseSeed({10, 9, 8, 7}, {85.0, 2.0, 84.0, 86.0});
    EXPECT_DOUBLE_EQ(clear.bestScore, 2.0);
    EXPECT_DOUBLE_EQ(clear.runnerUpScore, 84.0);
    EXPECT_DOUBLE_EQ(clear.separation, 42.0);
}

TEST(SeedSearch, FindsTheSeedAmongTheSecondsBeforeTheFileTime)
{
    const std::uint32_t seed = 1767225600u;
    const decodingSample sample = encodedGradient(64, 64, seed);
    for (std::uint32_t late : {0u, 1u, 2u, 9u}) {
        const seedChoice choice = searchSeeds(sample, candidateSeeds(seed + late, 64, 64));
        EXPECT_TRUE(choice.standsOut) << late;
        EXPECT_EQ(choice.seed, seed) << late;
    }
    EXPECT_FALSE(searchSeeds(sample, candidateSeeds(seed - 1, 64, 64)).standsOut);

    EXPECT_FALSE(looksLikeNoise(sample, seed));
    EXPECT_TRUE(looksLikeNoise(sample, seed - 1));
    EXPECT_TRUE(looksLikeNoise(sample, seed + 1));
}

TEST(CandidateSeeds, EndAtTheFileTimeWithAMarginThatGrowsWithTheImage)
{
    const seedRange small = candidateSeeds(1000u, 64, 64);
    const seedRange large = candidateSeeds(1000u, 8192, 8192);
    EXPECT_EQ(small.last, 1000u);
    EXPECT_EQ(large.last, 1000u);
    EXPECT_LE(small.first, 1000u - 3);
    EXPECT_LT(large.first, small.first);
    EXPECT_EQ(candidateSeeds(4u, 64, 64).first, 0u);
}

TEST(ParseSeed, TakesDecimalNumbersOfThirtyTwoBits)
{
    for (const auto& [text, value] : {std::pair<const char*, std::uint32_t>{"0", 0u}, {"4294967295", 4294967295u},
                                      {"0001767225600", 1767225600u}}) {
        std::uint32_t seed = 7;
        EXPECT_TRUE(parseSeed(text, seed)) << text;
        EXPECT_EQ(seed, value);
    }
    std::uint32_t seed = 7;
    for (const char* wrong : {"", "4294967296", "-1", "+5", "12a", " 12", "0x10", "99999999999999999999"})
        EXPECT_FALSE(parseSeed(wrong, seed)) << wrong;
}

} // namespace
