// Our own decoders and the checks we run before a library's, called in this
// process rather than in the sandboxed child, so that the sanitizer pass sees
// any read or write out of bounds: every file of the malformed corpus, and
// valid images of each format cut short and with bytes changed, must decode
// or be refused, and nothing else; and a decoder's pixels must not depend on
// what the heap held before. (SOIL's decoders are left out: their
// faults are known, and only the sandbox contains them.)

#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "tests/support/testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <dirent.h>
#include <string>
#include <vector>

namespace {

using decoder = unsigned char* (*)(const unsigned char*, int, int*, int*, int*, const char**);

struct formatUnderTest {
    const char* extension;
    decoder decode;
    textLines imageMagickOptions; // for a valid image to change
    const char* kind = ""; // tells two rows of one format apart
};

const formatUnderTest formats[] = {
    {"bmp", decodeBmp, {"-colors", "16", "-type", "Palette", "-compress", "RLE"}},
    {"psd", decodePsd, {"-compress", "RLE"}},
    {"ppm", decodePnm, {}},
    {"png", decodePng, {"-colors", "12"}},
    // Inflated whole rather than by libspng: 8-bit RGBA.
    {"png", decodePng, {"-define", "png:color-type=6"}, "_rgba"},
    {"gif", decodeGif, {"-interlace", "GIF"}},
    {"jpg", decodeJpeg, {"-quality", "80"}},
    {"tiff", decodeTiff, {"-compress", "lzw", "-define", "tiff:tile-geometry=16x16"}},
    {"webp", decodeWebp, {"-quality", "80"}},
};

// Decodes and frees; the decoder must give pixels of its stated size or a
// reason. What matters is that the sanitizer saw nothing.
void decodeOnce(const formatUnderTest& format, const std::string& bytes, const std::string& what)
{
    // A heap block of the file's very size, so that a read past its end
    // meets the sanitizer's red zone (a short string's bytes would not).
    const std::unique_ptr<unsigned char[]> file(new unsigned char[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), file.get());
    int width = 0, height = 0, channels = 0;
    const char* reason = nullptr;
    unsigned char* pixels = format.decode(file.get(), int(bytes.size()), &width, &height, &channels, &reason);
    if (pixels) {
        EXPECT_TRUE(width > 0 && height > 0 && channels >= 1 && channels <= 4) << what;
        std::free(pixels);
    } else {
        EXPECT_NE(reason, nullptr) << what << ": refused without a reason";
    }
}

// The file cut at a spread of lengths, and with single bytes changed at a
// spread of places (the header's first bytes all of them), each in three ways.
std::vector<std::string> changedCopies(const std::string& bytes)
{
    std::vector<std::string> copies;
    for (size_t cut = 0; cut < bytes.size(); cut += 1 + bytes.size() / 40)
        copies.push_back(bytes.substr(0, cut));
    for (size_t at = 0; at < bytes.size(); at += at < 64 ? 1 : 1 + bytes.size() / 64)
        for (int value : {0x00, 0xff, static_cast<unsigned char>(bytes[at]) ^ 0x80}) {
            std::string copy = bytes;
            copy[at] = static_cast<char>(value);
            copies.push_back(copy);
        }
    return copies;
}

std::vector<std::string> corpusFilesEndingIn(const std::string& extension)
{
    std::vector<std::string> files;
    DIR* folder = opendir(MALFORMED_IMAGES_DIR);
    if (!folder)
        return files;
    while (const dirent* entry = readdir(folder)) {
        const std::string name = entry->d_name;
        if (name.size() > extension.size() && name.compare(name.size() - extension.size(), extension.size(), extension) == 0)
            files.push_back(std::string(MALFORMED_IMAGES_DIR) + "/" + name);
    }
    closedir(folder);
    return files;
}

class DecoderRobustness : public testing::TestWithParam<formatUnderTest> {
protected:
    // Mutated headers may claim large images; a few megabytes is enough.
    void SetUp() override
    {
        savedLimit = decodedImageByteLimit();
        setDecodedImageByteLimit(uint64_t(4) << 20);
    }
    void TearDown() override { setDecodedImageByteLimit(savedLimit); }

    uint64_t savedLimit = 0;
};

TEST_P(DecoderRobustness, MalformedAndChangedFilesDecodeOrAreRefused)
{
    const formatUnderTest& format = GetParam();
    scratchDirectory scratch;
    const std::string valid = scratch.file(std::string("valid.") + format.extension);
    makeImage(37, 23, format.imageMagickOptions, valid);
    std::vector<std::string> sources = corpusFilesEndingIn(std::string(".") + format.extension);
    sources.push_back(valid);
    for (const std::string& source : sources) {
        const std::string bytes = readFile(source);
        decodeOnce(format, bytes, source);
        for (const std::string& copy : changedCopies(bytes))
            decodeOnce(format, copy, source + " changed");
    }
}

// Corpus files whose damage a reader could overlook and draw over are
// refused, each for what is wrong with it.
TEST(MalformedCorpus, DamageAReaderCouldDrawOverIsRefusedByName)
{
    const struct {
        const char* name;
        decoder decode;
        const char* refusal;
    } files[] = {
        {"tga-colour-index-past-map-refused.tga", decodeTga, "TGA colour index past its colour map"},
        {"bmp-rle8-run-past-row-refused.bmp", decodeBmp, "BMP RLE data runs past the end of a row"},
        {"bmp-rle4-run-past-row-refused.bmp", decodeBmp, "BMP RLE data runs past the end of a row"},
        {"bmp-rle8-pixels-past-image-refused.bmp", decodeBmp, "BMP RLE data runs past the end of the image"},
        {"bmp-rle8-jump-past-row-refused.bmp", decodeBmp, "BMP RLE jump runs past the end of a row"},
        {"bmp-rle4-jump-past-image-refused.bmp", decodeBmp, "BMP RLE jump runs past the end of the image"},
        {"jpeg-comment-length-zero-refused.jpg", decodeJpeg, "JPEG segment with an impossible length"},
    };
    for (const auto& file : files) {
        const std::string bytes = readFile(std::string(MALFORMED_IMAGES_DIR) + "/" + file.name);
        ASSERT_FALSE(bytes.empty()) << file.name;
        int width = 0, height = 0, channels = 0;
        const char* reason = nullptr;
        unsigned char* pixels = file.decode(reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()),
                                            &width, &height, &channels, &reason);
        EXPECT_EQ(pixels, nullptr) << file.name;
        std::free(pixels);
        EXPECT_STREQ(reason ? reason : "", file.refusal) << file.name;
    }
}

// Leaves the heap's free blocks of `bytes` holding set bits, as a long-running
// process's heap may: a decoder that reads a block it has not cleared then
// sees them.
void dirtyFreedBlocks(size_t bytes)
{
    std::vector<void*> blocks;
    for (int i = 0; i < 16; ++i) {
        blocks.push_back(std::malloc(bytes));
        if (blocks.back())
            std::memset(blocks.back(), 0xff, bytes);
    }
    for (void* block : blocks)
        std::free(block);
}

// An interlaced palette image of `bitDepth` bits an index and `colours`
// colours, decoded in this process after the heap's free blocks were dirtied,
// against ImageMagick's pixels.
void expectInterlacedPaletteDecodesRight(int bitDepth, int colours)
{
    constexpr int width = 67, height = 45;
    scratchDirectory scratch;
    const std::string name = scratch.file("palette" + std::to_string(bitDepth) + ".png");
    makeImage(width, height, {"-colors", std::to_string(colours), "-type", "palette", "-define",
                              "png:bit-depth=" + std::to_string(bitDepth), "-interlace", "PNG"},
              "PNG8:" + name);
    const std::string bytes = readFile(name);
    // IHDR's bit depth, colour type (3: palette) and interlace method (1: Adam7).
    ASSERT_GT(bytes.size(), 28u);
    ASSERT_EQ(bytes[24], bitDepth);
    ASSERT_EQ(bytes[25], 3);
    ASSERT_EQ(bytes[28], 1);
    convert({name, "-depth", "8", "RGB:" + scratch.file("expected.rgb")});

    dirtyFreedBlocks(size_t(width * bitDepth + 7) / 8 * height);
    int decodedWidth = 0, decodedHeight = 0, channels = 0;
    const char* reason = nullptr;
    const std::unique_ptr<unsigned char, decltype(&std::free)> pixels(
        decodePng(reinterpret_cast<const unsigned char*>(bytes.data()), int(bytes.size()), &decodedWidth,
                  &decodedHeight, &channels, &reason),
        &std::free);
    ASSERT_NE(pixels, nullptr) << reason;
    ASSERT_EQ(decodedWidth, width);
    ASSERT_EQ(decodedHeight, height);
    ASSERT_EQ(channels, 3);
    const std::string decoded(reinterpret_cast<const char*>(pixels.get()), size_t(width) * height * 3);
    EXPECT_TRUE(decoded == readFile(scratch.file("expected.rgb")));
}

// Interlaced palette images of fewer than 8 bits an index, with fewer colours
// than the indexes could name, decode whatever the heap held before: libspng
// puts the passes of such an image together by adding each index's bits to
// the byte already in its buffer.
TEST(InterlacedPalettePng, DecodesToImageMagicksPixelsWhateverTheHeapHeld)
{
    const struct {
        int bitDepth;
        int colours;
    } kinds[] = {{1, 1}, {2, 3}, {4, 12}};
    for (const auto& kind : kinds) {
        SCOPED_TRACE(std::to_string(kind.bitDepth) + " bits, " + std::to_string(kind.colours) + " colours");
        expectInterlacedPaletteDecodesRight(kind.bitDepth, kind.colours);
    }
}

INSTANTIATE_TEST_SUITE_P(, DecoderRobustness, testing::ValuesIn(formats),
                         [](const auto& info) { return std::string(info.param.extension) + info.param.kind; });

} // namespace
