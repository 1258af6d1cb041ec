// The decoder's pure parts: the generator's jump-ahead and period, rotation,
// and seeds from the command line.

#include "core/noise.h"
#include "seedsearch/seedSearch.h"

#include <gtest/gtest.h>

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

// What the search relies on to try 2^24 seeds and no more, and why it weighs
// seeds that share their low 16 bits against each other.
TEST(NoiseSeeds, RepeatEvery2To24SecondsAndDifferInTheTopBitHalfWayThere)
{
    std::vector<unsigned char> noise(3 * 4096);
    std::vector<unsigned char> other(noise.size());
    for (std::uint32_t seed : {0u, 1767225600u, 0xFFFFFFFFu}) {
        fillNoise(noise.data(), noise.size(), seed);
        fillNoise(other.data(), other.size(), seed + noiseSeedPeriod);
        EXPECT_EQ(other, noise) << seed;
        fillNoise(other.data(), other.size(), seed + noiseSeedPeriod / 2);
        for (unsigned char& byte : other)
            byte ^= 0x80;
        EXPECT_EQ(other, noise) << seed;
    }
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
