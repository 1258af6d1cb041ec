// Image variants that SOIL refused or read wrongly, made with ImageMagick at
// test time. Each must decode in the sandbox to ImageMagick's own pixels with
// the image's channel count, and for a few the real encoder's output must be
// the encoding of those pixels.

#include "base/limits.h"
#include "safeload/formats/imageFormats.h"
#include "safeload/imageSandbox.h"
#include "tests/support/encodedImages.h"
#include "tests/support/formatVariants.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

// How GoogleTest names a variant in its messages.
void PrintTo(const formatVariant& image, std::ostream* stream)
{
    *stream << image.name;
}

namespace {

const std::set<std::string> encodedInFull = {"grey-baseline.jpg", "grey-key.png", "lossy.webp",
                                             "lossless-alpha.webp", "photo.heic"};

sandboxDecodeResult decodeInSandbox(const std::string& bytes)
{
    const auto* start = reinterpret_cast<const unsigned char*>(bytes.data());
    const imageDecoderChoice decoder = chooseImageDecoder(start, bytes.size());
    EXPECT_NE(decoder.decode, nullptr) << decoder.refusal;
    if (!decoder.decode)
        return {};
    return decodeImageInSandbox(start, bytes.size(), sandboxLimitsForFile(bytes.size(), largestTextureSide),
                                largestTextureBytes, decoder.decode, decoder.confinement);
}

// The samples of a decoded pixel as RGBA.
std::vector<int> asRgba(const unsigned char* pixel, int channels)
{
    switch (channels) {
    case 1: return {pixel[0], pixel[0], pixel[0], 255};
    case 2: return {pixel[0], pixel[0], pixel[0], pixel[1]};
    case 3: return {pixel[0], pixel[1], pixel[2], 255};
    default: return {pixel[0], pixel[1], pixel[2], pixel[3]};
    }
}

class FormatVariant : public testing::TestWithParam<formatVariant> {
protected:
    void SetUp() override
    {
        image = makeFormatVariant(GetParam(), scratch, 67, 45);
    }

    scratchDirectory scratch;
    std::string image;
};

TEST_P(FormatVariant, DecodesAndEncodesImageMagicksPixels)
{
    const sandboxDecodeResult decoded = decodeInSandbox(readFile(image));
    ASSERT_TRUE(decoded.decoded) << decoded.failureReason;
    ASSERT_EQ(decoded.width, 67);
    ASSERT_EQ(decoded.height, 45);
    EXPECT_EQ(decoded.channels, GetParam().channels);
    convert({image + "[0]", "-depth", "8", "RGBA:" + scratch.file("expected.rgba")});
    const std::string expected = readFile(scratch.file("expected.rgba"));
    ASSERT_EQ(expected.size(), size_t(67 * 45 * 4));
    size_t colourOff = 0, alphaOff = 0;
    for (size_t pixel = 0; pixel < size_t(67 * 45); ++pixel) {
        const std::vector<int> actual = asRgba(decoded.pixels + pixel * decoded.channels, decoded.channels);
        for (int channel = 0; channel < 4; ++channel) {
            const int off = std::abs(actual[channel] - static_cast<unsigned char>(expected[pixel * 4 + channel]));
            // ImageMagick 6 keeps alpha as opacity, so its 8 bits of a 16-bit
            // alpha round up where every other sample rounds down.
            if (channel == 3)
                alphaOff += off > 1;
            else
                colourOff += off > GetParam().tolerance;
        }
    }
    EXPECT_EQ(colourOff, 0u);
    EXPECT_EQ(alphaOff, 0u);

    // What the encoder's shader must sample: ImageMagick's pixels, up-scaled by
    // SOIL. Past the decode checked above, the texture depends on the channel
    // count alone, so the whole encoder runs on one variant of each count and
    // on one read within a tolerance.
    if (!encodedInFull.count(GetParam().name))
        return;
    convert({image + "[0]", "-alpha", "off", "-depth", "8", "-type", "TrueColor", "BMP3:" + scratch.file("im.bmp")});
    expectEncodingOf(referenceTexture(scratch.file("im.bmp")), image, pinnedSeed, nullptr, GetParam().tolerance);
}

// Kinds a library would hand over with made-up colours are refused by name.
TEST(FormatRefusal, KindsReadWronglyAreRefusedByName)
{
    const struct {
        const char* name;
        textLines options;
        const char* refusal;
    } kinds[] = {
        {"lab.tiff", {"-colorspace", "Lab"}, "not supported: TIFF in L*a*b* colours"},
        {"signed.tiff", {"-define", "quantum:format=signed"}, "not supported: TIFF with signed samples"},
        {"double.tiff", {"-define", "quantum:format=floating-point", "-depth", "64", "-compress", "zip"},
            "not supported: TIFF of floating-point samples other than 32-bit grey, RGB or CMYK"},
    };
    scratchDirectory scratch;
    for (const auto& kind : kinds) {
        makeImage(67, 45, kind.options, scratch.file(kind.name));
        const sandboxDecodeResult decoded = decodeInSandbox(readFile(scratch.file(kind.name)));
        EXPECT_FALSE(decoded.decoded) << kind.name;
        EXPECT_EQ(decoded.failureReason, kind.refusal);
    }
}

// Every ink against every black, in 8 and 16 bits: libtiff's own RGBA reader
// rounds each down, ImageMagick rounds to nearest, and Pixveil follows
// ImageMagick, the reference for every other format too.
TEST(CmykInks, EveryInkAndBlackTurnIntoImageMagicksRgb)
{
    scratchDirectory scratch;
    std::string inks;
    for (int black = 0; black < 256; ++black)
        for (int ink = 0; ink < 256; ++ink)
            inks += std::string{char(ink), char(255 - ink), char(ink * 7), char(black)};
    writeFile(scratch.file("inks.cmyk"), inks);
    for (const char* depth : {"8", "16"}) {
        const std::string tiff = scratch.file(std::string("inks") + depth + ".tiff");
        convert({"-size", "256x256", "-depth", "8", "cmyk:" + scratch.file("inks.cmyk"), "-depth", depth, tiff});
        convert({tiff, "-depth", "8", "RGB:" + scratch.file("expected.rgb")});
        const std::string expected = readFile(scratch.file("expected.rgb"));
        const sandboxDecodeResult decoded = decodeInSandbox(readFile(tiff));
        ASSERT_TRUE(decoded.decoded) << decoded.failureReason;
        ASSERT_EQ(decoded.channels, 3);
        ASSERT_EQ(expected.size(), size_t(256 * 256 * 3));
        size_t samplesOff = 0;
        for (size_t sample = 0; sample < expected.size(); ++sample)
            samplesOff += decoded.pixels[sample] != static_cast<unsigned char>(expected[sample]);
        EXPECT_EQ(samplesOff, 0u) << depth << "-bit inks";
    }
}

// libjpeg fills in the part of a JPEG-compressed TIFF it cannot decode and
// only warns; such a file is refused as a plain JPEG with damaged data is.
TEST(FormatRefusal, JpegTiffWithDamagedDataIsRefusedAsCorrupt)
{
    scratchDirectory scratch;
    makeImage(67, 45, {"-compress", "jpeg"}, scratch.file("jpeg.tiff"));
    std::string bytes = readFile(scratch.file("jpeg.tiff"));
    // An end-of-image marker amid the entropy-coded data of the last strip.
    const size_t scan = bytes.rfind("\xff\xda");
    ASSERT_NE(scan, std::string::npos);
    const size_t scanData = scan + 2 + (size_t(static_cast<unsigned char>(bytes[scan + 2])) << 8 |
                                        static_cast<unsigned char>(bytes[scan + 3]));
    ASSERT_LT(scanData + 42, bytes.size());
    bytes.replace(scanData + 40, 2, "\xff\xd9");
    const sandboxDecodeResult decoded = decodeInSandbox(bytes);
    EXPECT_FALSE(decoded.decoded);
    EXPECT_EQ(decoded.failureReason, "TIFF Corrupt JPEG data: premature end of data segment");
}

// A TGA file of 32 x 2 pixels: the header, a colour map of `mapEntryBits`
// entries whose first has the index `mapFirst` if given, and the data as stored.
std::string tgaFile(int imageType, int bitsPerPixel, int descriptor, const std::string& data,
                    const std::string& map = "", int mapEntryBits = 0, int mapFirst = 0)
{
    const int mapEntries = map.empty() ? 0 : int(map.size()) / ((mapEntryBits + 7) / 8);
    const int fields[18] = {0, map.empty() ? 0 : 1, imageType, mapFirst & 255, mapFirst >> 8, mapEntries & 255,
        mapEntries >> 8, mapEntryBits, 0, 0, 0, 0, 32, 0, 2, 0, bitsPerPixel, descriptor};
    unsigned char header[18];
    for (int i = 0; i < 18; ++i)
        header[i] = static_cast<unsigned char>(fields[i]);
    return std::string(reinterpret_cast<const char*>(header), 18) + map + data;
}

std::string littleEndianWords(const std::vector<unsigned>& words)
{
    std::string bytes;
    for (unsigned word : words)
        bytes += littleEndianBytes(word, 2);
    return bytes;
}

// 64 map entries of `entryBytes` bytes (blue, green, red and alpha), all different.
std::string mapOfColours(int entryBytes)
{
    std::string map;
    for (int i = 0; i < 64; ++i)
        map += std::string{char(i * 4), char(255 - i * 3), char(i * 7), char(i * 4 + 1)}.substr(0, size_t(entryBytes));
    return map;
}

// The indexes 0 to 63 counted from `first`, stored raw or in run-length
// packets (a run of 3, then literals).
std::string indexesFrom(int first, bool inRuns)
{
    std::string indexes;
    for (int i = 0; i < 64; ++i)
        indexes += char(first + i);
    if (!inRuns)
        return indexes;
    return "\x82" + indexes.substr(5, 1) + "\x3c" + indexes.substr(0, 61);
}

// 64 colours of 1-5-5-5 bits covering every 5-bit value, alpha bit alternating.
std::vector<unsigned> fiveBitColours()
{
    std::vector<unsigned> colours;
    for (unsigned i = 0; i < 64; ++i)
        colours.push_back((i % 2) << 15 | (i % 32) << 10 | (31 - i % 32) << 5 | (i * 7 % 32));
    return colours;
}

// A V3 BMP of one row with bit fields: each pixel is the next value of the
// red field with the green field's `pixel`th value too.
std::string bmpWithFields(int bitsPerPixel, const std::vector<uint32_t>& masks)
{
    const auto lowest = [](uint32_t mask) { return mask & (~mask + 1); };
    const uint32_t values = masks[0] / lowest(masks[0]) + 1;
    std::string data;
    for (uint32_t value = 0; value < values; ++value) {
        const uint32_t green = (value * lowest(masks[1])) & masks[1];
        const uint32_t pixel = value * lowest(masks[0]) | green;
        data += littleEndianBytes(pixel, bitsPerPixel / 8);
    }
    data.resize((data.size() + 3) / 4 * 4, '\0');
    const uint32_t dataAt = 14 + 40 + 12;
    std::string file = "BM";
    for (uint32_t field : {dataAt + uint32_t(data.size()), 0u, dataAt, 40u, values, 1u,
                           1u | uint32_t(bitsPerPixel) << 16, 3u, uint32_t(data.size()), 0u, 0u, 0u, 0u,
                           masks[0], masks[1], masks[2]})
        file += littleEndianBytes(field);
    return file + data;
}

// An uncompressed V3 BMP's bitmap with an OS/2 2.x header of `headerBytes`
// instead: the 40-byte header's fields as far as they reach, zeros beyond.
std::string withOs2Header(const std::string& v3, uint32_t headerBytes)
{
    std::string header = littleEndianBytes(headerBytes) + v3.substr(18, 36);
    header.resize(headerBytes, '\0');
    const int32_t growth = int32_t(headerBytes) - 40;
    return "BM" + littleEndianBytes(uint32_t(int32_t(v3.size()) + growth)) + v3.substr(6, 4)
        + littleEndianBytes(uint32_t(int32_t(littleEndianAt(v3, 10)) + growth)) + header + v3.substr(54);
}

// A bitmap array holding one bitmap; offsets count from the array's start.
std::string inBitmapArray(const std::string& bitmap)
{
    return "BA" + littleEndianBytes(uint32_t(bitmap.size()) + 14) + std::string(8, '\0') + bitmap.substr(0, 10)
        + littleEndianBytes(littleEndianAt(bitmap, 10) + 14) + bitmap.substr(14);
}

// The sandbox's pixels of `file` as RGBA, and their channel count.
std::string decodedAsRgba(const std::string& file, int& channels)
{
    const sandboxDecodeResult decoded = decodeInSandbox(file);
    EXPECT_TRUE(decoded.decoded) << decoded.failureReason;
    channels = decoded.channels;
    std::string rgba;
    for (size_t pixel = 0; decoded.decoded && pixel < size_t(decoded.width) * size_t(decoded.height); ++pixel)
        for (int sample : asRgba(decoded.pixels + pixel * size_t(decoded.channels), decoded.channels))
            rgba += char(sample);
    return rgba;
}

// ImageMagick's RGBA of `file`, a file of the kind `extension` names.
std::string imageMagicksRgba(const std::string& file, const std::string& extension)
{
    scratchDirectory scratch;
    writeFile(scratch.file("image." + extension), file);
    convert({scratch.file("image." + extension), "-depth", "8", "RGBA:" + scratch.file("expected.rgba")});
    return readFile(scratch.file("expected.rgba"));
}

// Files made here of kinds SOIL misread or refused decode to ImageMagick's
// pixels: every TGA kind with 16-bit values; BMP bit fields of each width from
// 3 to 8 bits in 16- and 32-bit pixels, which ImageMagick widens by the
// field's size and the pixel's; OS/2 2.x headers of every length and bitmap
// arrays, to the pixels of the V3 bitmap they hold (ImageMagick misreads the
// palettes of some of these). TGA grey with alpha, which ImageMagick reads as
// a 5-bit colour's brightness, is read as its stored grey and alpha.
TEST(HandMadeFiles, DecodeToImageMagicksPixels)
{
    scratchDirectory scratch;
    const std::string colours = littleEndianWords(fiveBitColours());
    std::string indexes;
    for (int i = 0; i < 64; ++i)
        indexes += char(i % 32);
    const std::string runs = "\xbf" + colours.substr(6, 2) + "\x9f" + colours.substr(8, 2) + "\x1f" + colours.substr(0, 64);
    struct handMade {
        std::string name;
        std::string file;
        int channels;
        std::string reference = ""; // the file ImageMagick reads instead, when not this one
    };
    std::vector<handMade> files = {
        {"RGB555.tga", tgaFile(2, 16, 0x20, colours), 3},
        {"15 bits.tga", tgaFile(2, 15, 0x20, colours), 3},
        {"ARGB1555.tga", tgaFile(2, 16, 0x21, colours), 4},
        {"ARGB1555 in runs.tga", tgaFile(10, 16, 0x21, runs), 4},
        {"map of 5-bit colours.tga", tgaFile(1, 8, 0x20, indexes, colours.substr(0, 64), 16), 3},
        {"bottom-left origin.tga", tgaFile(2, 16, 0x00, colours), 3},
        // Colour maps of each entry size, from index 0 and from others.
        {"map of 24-bit colours.tga", tgaFile(1, 8, 0x20, indexesFrom(0, false), mapOfColours(3), 24), 3},
        {"map of 24-bit colours from 100.tga", tgaFile(1, 8, 0x20, indexesFrom(100, false), mapOfColours(3), 24, 100), 3},
        {"map of 24-bit colours from 100 in runs.tga", tgaFile(9, 8, 0x20, indexesFrom(100, true), mapOfColours(3), 24, 100), 3},
        {"map of 32-bit colours.tga", tgaFile(1, 8, 0x28, indexesFrom(0, false), mapOfColours(4), 32), 4},
        {"map of 32-bit colours from 192.tga", tgaFile(1, 8, 0x28, indexesFrom(192, false), mapOfColours(4), 32, 192), 4},
        {"map of 16-bit colours from 7 in runs.tga", tgaFile(9, 8, 0x20, indexesFrom(7, true), colours, 16, 7), 3},
        {"map of 15-bit colours from 1.tga", tgaFile(1, 8, 0x20, indexesFrom(1, false), colours, 15, 1), 3},
        {"6-5-5.bmp", bmpWithFields(16, {0xfc00, 0x03e0, 0x001f}), 3},
        {"5-6-5.bmp", bmpWithFields(16, {0xf800, 0x07e0, 0x001f}), 3},
        {"7-5-4.bmp", bmpWithFields(16, {0xfe00, 0x01f0, 0x000f}), 3},
        {"3-3-2.bmp", bmpWithFields(16, {0x00e0, 0x001c, 0x0003}), 3},
        {"7-8-7.bmp", bmpWithFields(32, {0x3f800000, 0x007f8000, 0x7f}), 3},
        {"6-8-8.bmp", bmpWithFields(32, {0x3f000000, 0x00ff0000, 0xff}), 3},
    };
    for (const textLines& options : {textLines{}, textLines{"-colors", "100", "-type", "Palette", "-compress", "none"}}) {
        makeImage(67, 45, options, "BMP3:" + scratch.file("v3.bmp"));
        const std::string v3 = readFile(scratch.file("v3.bmp")), kind = options.empty() ? " " : " palette ";
        for (uint32_t headerBytes : {16u, 24u, 64u})
            files.push_back({std::to_string(headerBytes) + "-byte OS/2" + kind + "header.bmp",
                             withOs2Header(v3, headerBytes), 3, v3});
        files.push_back({"bitmap array of V3" + kind + "bitmap.bmp", inBitmapArray(v3), 3, v3});
        files.push_back({"bitmap array of OS/2" + kind + "bitmap.bmp", inBitmapArray(withOs2Header(v3, 64)), 3, v3});
    }
    for (const handMade& made : files) {
        int channels = 0;
        const std::string extension = made.name.substr(made.name.rfind('.') + 1);
        EXPECT_TRUE(decodedAsRgba(made.file, channels)
                    == imageMagicksRgba(made.reference.empty() ? made.file : made.reference, extension))
            << made.name;
        EXPECT_EQ(channels, made.channels) << made.name;
    }

    std::string greyAndAlpha;
    for (int i = 0; i < 64; ++i)
        greyAndAlpha += {char(i * 4), char(255 - i * 3)};
    const sandboxDecodeResult grey = decodeInSandbox(tgaFile(3, 16, 0x28, greyAndAlpha));
    ASSERT_TRUE(grey.decoded) << grey.failureReason;
    ASSERT_EQ(grey.channels, 2);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(grey.pixels), 128), greyAndAlpha);
}

// A GIF with its logical screen resized to width x height and its first
// frame moved to (left, top).
std::string withScreenAndPlace(std::string gif, int width, int height, int left, int top)
{
    const auto word = [](int value) { return littleEndianBytes(uint32_t(value), 2); };
    const int flags = static_cast<unsigned char>(gif[10]);
    size_t at = 13 + (flags & 0x80 ? 3 * (size_t(2) << (flags & 7)) : 0);
    while (at < gif.size() && gif[at] == '\x21') {
        for (at += 2; at < gif.size() && gif[at] != 0; at += static_cast<unsigned char>(gif[at]) + 1) {
        }
        ++at;
    }
    EXPECT_TRUE(at < gif.size() && gif[at] == '\x2c') << "no image descriptor found";
    gif.replace(6, 4, word(width) + word(height));
    gif.replace(at + 1, 4, word(left) + word(top));
    return gif;
}

// A frame that reaches past its logical screen is cut to the screen, as
// ImageMagick puts it there; where it leaves the screen uncovered, transparent.
TEST(HandMadeFiles, GifFrameReachingPastItsScreenIsCutToIt)
{
    scratchDirectory scratch;
    makeImage(20, 10, {"-colors", "50"}, scratch.file("frame.gif"));
    const std::string frame = readFile(scratch.file("frame.gif"));
    const struct {
        const char* name;
        std::string file;
        int width, height, channels;
    } cases[] = {
        {"past the right and bottom", withScreenAndPlace(frame, 16, 8, 4, 2), 16, 8, 4},
        {"larger than the screen", withScreenAndPlace(frame, 12, 6, 0, 0), 12, 6, 3},
    };
    for (const auto& gif : cases) {
        writeFile(scratch.file("clipped.gif"), gif.file);
        convert({scratch.file("clipped.gif") + "[0]", "-background", "rgba(0,0,0,0)", "-flatten", "-depth", "8",
                 "RGBA:" + scratch.file("expected.rgba")});
        const std::string expected = readFile(scratch.file("expected.rgba"));
        ASSERT_EQ(expected.size(), size_t(gif.width * gif.height * 4)) << gif.name;
        int channels = 0;
        EXPECT_TRUE(decodedAsRgba(gif.file, channels) == expected) << gif.name;
        EXPECT_EQ(channels, gif.channels) << gif.name;
    }
}

INSTANTIATE_TEST_SUITE_P(, FormatVariant, testing::ValuesIn(formatVariants()), [](const auto& info) {
    std::string name = fileNameOf(info.param);
    for (char& c : name)
        c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

} // namespace
