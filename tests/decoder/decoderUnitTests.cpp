// The decoder's pure parts: the generator's jump-ahead and period, rotation,
// seeds from the command line, and the PNG writer's coder.

#include "core/noise.h"
#include "decoder/pngFile.h"
#include "decoder/runDeflate.h"
#include "seedsearch/seedSearch.h"
#include "tests/support/testSupport.h"

#include <gtest/gtest.h>
#include <spng.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(JumpAhead, LandsOnTheGeneratorsOwnBytes)
{
    const std::uint32_t seeds[] = {0u, 1u, pinnedSeed, 0xFFFFFFFFu};
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
    for (std::uint32_t seed : {0u, pinnedSeed, 0xFFFFFFFFu}) {
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
            EXPECT_EQ(rotateRight(rotateLeft(static_cast<unsigned char>(value), shift), shift), value)
                << value << " by " << shift;
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

// Bytes that are noise with runs of every length around the coder's limits.
std::vector<unsigned char> noiseWithRuns(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<unsigned char> bytes;
    static constexpr std::size_t runLengths[] = {1, 2, 3, 4, 257, 258, 259, 517, 1000};
    for (std::size_t next = 0; bytes.size() < size; ++next) {
        bytes.push_back(static_cast<unsigned char>(random()));
        if (next % 7 == 0)
            bytes.insert(bytes.end(), runLengths[next / 7 % 9], bytes.back());
    }
    bytes.resize(size);
    return bytes;
}

// zlib's inflation of a raw deflate stream (or with `zlibWrapped`, of a zlib
// stream, whose checksum it checks) that should hold `expectedSize` bytes.
std::vector<unsigned char> inflateAll(const std::vector<unsigned char>& deflated, std::size_t expectedSize,
                                      bool zlibWrapped = false)
{
    std::vector<unsigned char> inflated(expectedSize + 1);
    z_stream stream{};
    EXPECT_EQ(inflateInit2(&stream, zlibWrapped ? 15 : -15), Z_OK);
    stream.next_in = const_cast<unsigned char*>(deflated.data());
    stream.avail_in = static_cast<uInt>(deflated.size());
    stream.next_out = inflated.data();
    stream.avail_out = static_cast<uInt>(inflated.size());
    EXPECT_EQ(inflate(&stream, Z_FINISH), Z_STREAM_END);
    EXPECT_EQ(stream.avail_in, 0u) << "bytes after the final block";
    inflated.resize(stream.total_out);
    inflateEnd(&stream);
    return inflated;
}

// Whole or cut into parts coded one after another, the stream inflates back
// to its bytes: runs at every length, at part and block boundaries, noise
// that uses every literal, and nothing at all.
TEST(RunDeflate, InflatesBackToItsBytesWholeAndInParts)
{
    struct example {
        const char* name;
        std::vector<unsigned char> bytes;
    };
    const std::vector<example> examples = {
        {"nothing", {}},
        {"one byte", {42}},
        {"one long run", std::vector<unsigned char>(100000, 0)},
        {"noise with runs", noiseWithRuns(50000, 1)},
        {"past one block", noiseWithRuns(3 << 20, 2)},
    };
    for (const example& input : examples) {
        const std::size_t size = input.bytes.size();
        for (const std::vector<std::size_t>& cuts : std::vector<std::vector<std::size_t>>{
                 {}, {size / 2}, {size / 5, size / 3, size - size / 5}}) {
            std::vector<unsigned char> deflated;
            std::size_t start = 0;
            for (std::size_t cut : cuts) {
                appendRunDeflate(input.bytes.data() + start, cut - start, false, deflated);
                start = cut;
            }
            appendRunDeflate(input.bytes.data() + start, size - start, true, deflated);
            EXPECT_TRUE(inflateAll(deflated, size) == input.bytes) << input.name << ", " << cuts.size() + 1 << " parts";
        }
    }
}

struct freeContext {
    void operator()(spng_ctx* context) const { spng_ctx_free(context); }
};

// The data of a PNG file's IDAT chunks, one zlib stream.
std::vector<unsigned char> imageData(const std::vector<unsigned char>& file)
{
    std::vector<unsigned char> data;
    for (std::size_t at = 8; at + 12 <= file.size();) {
        const std::size_t length = std::size_t{file[at]} << 24 | std::size_t{file[at + 1]} << 16
                                   | std::size_t{file[at + 2]} << 8 | file[at + 3];
        if (std::string(file.begin() + static_cast<long>(at) + 4, file.begin() + static_cast<long>(at) + 8) == "IDAT")
            data.insert(data.end(), file.begin() + static_cast<long>(at) + 8,
                        file.begin() + static_cast<long>(at + 8 + length));
        at += 12 + length;
    }
    return data;
}

// libspng's reading of a PNG file: its pixels and colour type. libspng stops
// at the last pixel, so zlib checks the stream's end and checksum.
std::vector<unsigned char> pixelsOfPng(const fileParts& parts, std::size_t filteredSize, int& colourType)
{
    std::vector<unsigned char> file;
    for (const std::vector<unsigned char>& part : parts)
        file.insert(file.end(), part.begin(), part.end());
    EXPECT_EQ(inflateAll(imageData(file), filteredSize, true).size(), filteredSize);
    std::unique_ptr<spng_ctx, freeContext> context(spng_ctx_new(0));
    spng_set_png_buffer(context.get(), file.data(), file.size());
    spng_ihdr header{};
    EXPECT_EQ(spng_get_ihdr(context.get(), &header), 0);
    colourType = header.color_type;
    std::size_t size = 0;
    EXPECT_EQ(spng_decoded_image_size(context.get(), SPNG_FMT_PNG, &size), 0);
    std::vector<unsigned char> pixels(size);
    EXPECT_EQ(spng_decode_image(context.get(), pixels.data(), size, SPNG_FMT_PNG, 0), 0);
    return pixels;
}

// libspng, checking every chunk's CRC and the stream's checksum, reads back
// the pixels given, grey or in colour, in one strip or several.
TEST(PngFile, ReadsBackAsThePixelsGiven)
{
    struct example {
        std::uint32_t width, height;
        int channels;
    };
    for (const example& input : {example{1, 1, 3}, example{3, 5, 1}, example{257, 3, 3}, example{1024, 1500, 3},
                                 example{3000, 2000, 1}}) {
        const std::vector<unsigned char> pixels =
            noiseWithRuns(std::size_t{input.width} * input.height * static_cast<std::size_t>(input.channels), 3);
        const std::size_t filteredSize = (pixels.size() / input.height + 1) * input.height;
        int colourType = -1;
        fileParts file;
        std::string reason;
        ASSERT_TRUE(pngFileOf(pixels.data(), input.width, input.height, input.channels, file, reason)) << reason;
        EXPECT_TRUE(pixelsOfPng(file, filteredSize, colourType) == pixels) << input.width << "x" << input.height;
        EXPECT_EQ(colourType, input.channels == 1 ? SPNG_COLOR_TYPE_GRAYSCALE : SPNG_COLOR_TYPE_TRUECOLOR);
    }
}

} // namespace
