// The decoder's pure parts: output naming, the generator's jump-ahead, and
// the scoring and choice of candidate seeds on CPU-made samples.

#include "core/noise.h"
#include "core/outputPath.h"
#include "decoder/seedSearch.h"

#include <gtest/gtest.h>

#include <cmath>
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

TEST(ChooseSeed, NeedsAClearWinner)
{
    const seedChoice clear = chooseSeed({10, 9, 8, 7}, {85.0, 2.0, 84.0, 86.0});
    EXPECT_TRUE(clear.standsOut);
    EXPECT_EQ(clear.seed, 9u);
    EXPECT_DOUBLE_EQ(clear.bestScore, 2.0);
    EXPECT_DOUBLE_EQ(clear.runnerUpScore, 84.0);
    EXPECT_DOUBLE_EQ(clear.separation, 42.0);

    EXPECT_FALSE(chooseSeed({10, 9, 8}, {85.0, 80.0, 86.0}).standsOut);
    EXPECT_FALSE(chooseSeed({10, 9, 8}, {85.0, 2.0, 9.0}).standsOut);
    EXPECT_FALSE(chooseSeed({10}, {1.0}).standsOut);
    EXPECT_FALSE(chooseSeed({10, 9}, {1.0}).standsOut);

    // A flat picture scores 0; it still stands out against noise.
    const seedChoice flat = chooseSeed({5, 4}, {85.0, 0.0});
    EXPECT_TRUE(flat.standsOut);
    EXPECT_EQ(flat.seed, 4u);
    EXPECT_TRUE(std::isfinite(flat.separation));
    // Two equally good seeds: neither stands out.
    EXPECT_FALSE(chooseSeed({5, 4, 3}, {1.0, 1.0, 85.0}).standsOut);
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
