// The decoder's pure parts: output naming, the generator's jump-ahead and
// period, rotation, and seeds from the command line.

#include "core/noise.h"
#include "core/outputPath.h"
#include "decoder/seedSearch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

std::string decodedPathFor(const std::string& input)
{
    char output[pathCapacity];
    std::memset(output, 'x', sizeof output);
    if (const char* problem = deriveDecodedPath(input.c_str(), output))
        return std::string("refused: ") + problem + (output[0] == 0 ? "" : " (output not cleared)");
    return output;
}

std::string encodedPathFor(const std::string& input)
{
    char output[pathCapacity];
    if (const char* problem = deriveOutputPath(input.c_str(), output))
        return std::string("refused: ") + problem;
    return output;
}

TEST(DecodedPath, DropsTheEncodersEndingAndAddsItsOwn)
{
    const std::pair<const char*, const char*> namings[] = {
        {"photo_enc.bmp", "photo_dec.bmp"},
        {"C:\\pics\\cat_enc.bmp", "C:\\pics\\cat_dec.bmp"},
        {"../in/x_enc.png", "../in/x_dec.bmp"},
        {"picture.bmp", "picture_dec.bmp"},
        {"x_enc_enc.bmp", "x_enc_dec.bmp"},
        {"photo_ENC.bmp", "photo_ENC_dec.bmp"},
        {"dir_enc/photo.bmp", "dir_enc/photo_dec.bmp"},
        // A name that is nothing but the ending keeps it.
        {"_enc.bmp", "_enc_dec.bmp"},
    };
    for (const auto& [input, output] : namings)
        EXPECT_EQ(decodedPathFor(input), output);
}

// The decoder refuses exactly the paths the encoder refuses, for the same reasons.
TEST(DecodedPath, RefusesWhatTheEncoderRefuses)
{
    const std::string longName(252, 'a');
    const std::string longDirectory = std::string(255, 'd') + "/";
    const std::vector<std::string> refused = {
        std::string(260, 'p'), longName + ".bmp", longDirectory + "a.bmp", "a." + std::string(255, 'e'),
        std::string(199, 'd') + "/" + std::string(52, 'a')};
    for (const std::string& input : refused) {
        SCOPED_TRACE(input.size());
        const std::string encoderVerdict = encodedPathFor(input);
        ASSERT_EQ(encoderVerdict.rfind("refused: ", 0), 0u);
        EXPECT_EQ(decodedPathFor(input), encoderVerdict);
    }
    // The longest output the encoder can write decodes to a path as long.
    const std::string directory200 = std::string(199, 'd') + "/";
    EXPECT_EQ(decodedPathFor(directory200 + std::string(47, 'a') + "_enc.bmp"),
              directory200 + std::string(47, 'a') + "_dec.bmp");
}

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
    std::uint32_t seed = 7;
    EXPECT_TRUE(parseSeed("0", seed));
    EXPECT_EQ(seed, 0u);
    EXPECT_TRUE(parseSeed("4294967295", seed));
    EXPECT_EQ(seed, 4294967295u);
    EXPECT_TRUE(parseSeed("0001767225600", seed));
    EXPECT_EQ(seed, 1767225600u);
    for (const char* wrong : {"", "4294967296", "-1", "+5", "12a", " 12", "0x10", "99999999999999999999"})
        EXPECT_FALSE(parseSeed(wrong, seed)) << wrong;
}

} // namespace
