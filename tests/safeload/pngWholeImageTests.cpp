// The common PNG inflated whole: every colour type it takes, with each of the
// five row filters and with one image chunk or many, gives ImageMagick's
// pixels; and a file with anything it cannot vouch for gets the answer
// libspng alone gives, pixels or refusal.

#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "safeload/formats/pngWholeImage.h"
#include "tests/support/testSupport.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <spng.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace {

const unsigned char* asBytes(const std::string& bytes)
{
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

spng_ihdr headerOf(const std::string& png)
{
    spng_ihdr header {};
    spng_ctx* context = spng_ctx_new(0);
    spng_set_png_buffer(context, png.data(), png.size());
    EXPECT_EQ(spng_get_ihdr(context, &header), 0);
    spng_ctx_free(context);
    return header;
}

// The file's pixels as decodePng gives them, or its reason for refusing.
struct decodeAnswer {
    std::optional<std::string> pixels;
    std::string refusal;
};

decodeAnswer decodeWithPixveil(const std::string& png)
{
    int width = 0, height = 0, channels = 0;
    const char* reason = nullptr;
    unsigned char* pixels = decodePng(asBytes(png), int(png.size()), &width, &height, &channels, &reason);
    if (!pixels)
        return {std::nullopt, reason};
    const std::string bytes(reinterpret_cast<const char*>(pixels), size_t(width) * height * channels);
    std::free(pixels);
    return {bytes, ""};
}

// libspng alone, as the decoder ran it before: the image in its own 8-bit
// format, then every chunk up to the end.
std::optional<std::string> decodeWithLibspngAlone(const std::string& png, int channels)
{
    spng_ctx* context = spng_ctx_new(0);
    spng_set_png_buffer(context, png.data(), png.size());
    const spng_ihdr header = headerOf(png);
    const int format = header.color_type == SPNG_COLOR_TYPE_GRAYSCALE ? SPNG_FMT_G8
        : header.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA        ? SPNG_FMT_PNG
        : channels == 4                                               ? SPNG_FMT_RGBA8
                                                                      : SPNG_FMT_RGB8;
    std::string pixels(size_t(header.width) * header.height * size_t(channels), '\0');
    const bool decoded = spng_decode_image(context, &pixels[0], pixels.size(), format, SPNG_DECODE_TRNS) == 0
        && spng_decode_chunks(context) == 0;
    spng_ctx_free(context);
    return decoded ? std::optional<std::string>(pixels) : std::nullopt;
}

std::string bigEndianBytes(uint32_t value)
{
    return {char(value >> 24), char(value >> 16), char(value >> 8), char(value)};
}

std::string chunkOf(const std::string& type, const std::string& data)
{
    const std::string typed = type + data;
    return bigEndianBytes(uint32_t(data.size())) + typed
        + bigEndianBytes(libdeflate_crc32(0, typed.data(), typed.size()));
}

// Where the file's chunks after the image begin (the last IDAT's end).
size_t afterImageChunks(const std::string& png)
{
    size_t end = png.rfind("IDAT");
    EXPECT_NE(end, std::string::npos);
    return end - 4 + 12 + (uint32_t(static_cast<unsigned char>(png[end - 4])) << 24
        | uint32_t(static_cast<unsigned char>(png[end - 3])) << 16
        | uint32_t(static_cast<unsigned char>(png[end - 2])) << 8 | static_cast<unsigned char>(png[end - 1]));
}

TEST(PngWholeImage, ReadsEveryColourTypeAndFilterAsImageMagickDoes)
{
    const struct {
        const char* colourType;
        int channels;
        int format; // libspng's output format of the same layout
        const char* rawFormat;
        textLines extra;
    } kinds[] = {
        {"0", 1, SPNG_FMT_G8, "gray", {"-colorspace", "Gray"}},
        {"4", 2, SPNG_FMT_PNG, "graya",
         {"-colorspace", "Gray", "-alpha", "set", "-channel", "A", "-fx", "u.r", "+channel"}},
        {"2", 3, SPNG_FMT_RGB8, "rgb", {}},
        {"6", 4, SPNG_FMT_RGBA8, "rgba", {"-alpha", "set", "-channel", "A", "-fx", "u.g", "+channel"}},
    };
    scratchDirectory scratch;
    for (const auto& kind : kinds)
        for (const char* filter : {"0", "1", "2", "3", "4"})
            // Small enough for one image chunk, and large enough for many.
            for (const int side : {19, 300}) {
                SCOPED_TRACE(std::string("colour type ") + kind.colourType + ", filter " + filter + ", side "
                             + std::to_string(side));
                textLines options = kind.extra;
                options.insert(options.end(), {"-define", "png:color-type=" + std::string(kind.colourType), "-define",
                                               "png:compression-filter=" + std::string(filter)});
                const std::string image = scratch.file("image.png");
                makeImage(side, side * 2 / 3, options, "PNG:" + image);
                const std::string png = readFile(image);
                convert({image, "-depth", "8", std::string(kind.rawFormat) + ":" + scratch.file("expected.raw")});
                const std::string expected = readFile(scratch.file("expected.raw"));

                const spng_ihdr header = headerOf(png);
                ASSERT_TRUE(suitsWholeDecode(header, SPNG_ECHUNKAVAIL));
                std::string pixels(expected.size(), '\0');
                ASSERT_TRUE(decodePngWhole(asBytes(png), png.size(), header, kind.format, kind.channels,
                                           reinterpret_cast<unsigned char*>(&pixels[0])));
                EXPECT_TRUE(pixels == expected);
                EXPECT_TRUE(decodeWithPixveil(png).pixels == expected);
            }
}

TEST(PngWholeImage, LeavesWhatItCannotVouchForToLibspng)
{
    scratchDirectory scratch;
    makeImage(300, 200, {"-define", "png:color-type=2"}, "PNG:" + scratch.file("image.png"));
    const std::string png = readFile(scratch.file("image.png"));
    const size_t rest = afterImageChunks(png);
    const size_t firstImage = png.find("IDAT") - 4;
    const std::string iend = chunkOf("IEND", "");

    std::string badImageChecksum = png;
    badImageChecksum[firstImage + 20] ^= 0x01;
    std::string extraStreamBytes = png.substr(0, rest) + chunkOf("IDAT", "spare") + png.substr(rest);
    const struct {
        const char* name;
        std::string file;
    } files[] = {
        {"an image chunk's data changed", badImageChecksum},
        {"bytes after the compressed stream", extraStreamBytes},
        {"text with an empty keyword after the image", png.substr(0, rest) + chunkOf("tEXt", std::string("\0x", 2)) + iend},
        {"text with a bad checksum after the image",
         png.substr(0, rest) + chunkOf("tEXt", std::string("Comment\0x", 9)).replace(17, 4, "\0\0\0\0", 4) + iend},
        {"an unknown critical chunk after the image", png.substr(0, rest) + chunkOf("ZZZZ", "x") + iend},
        {"a second time stamp after the image", png.substr(0, rest) + chunkOf("tIME", std::string("\x07\xea\1\1\0\0\0", 7))
            + chunkOf("tIME", std::string("\x07\xea\1\1\0\0\0", 7)) + iend},
        {"no end chunk", png.substr(0, rest)},
        {"bytes after the end chunk", png + "trailing"},
    };
    for (const auto& [name, file] : files) {
        SCOPED_TRACE(name);
        const decodeAnswer ours = decodeWithPixveil(file);
        const std::optional<std::string> libspngAlone = decodeWithLibspngAlone(file, 3);
        EXPECT_EQ(ours.pixels.has_value(), libspngAlone.has_value()) << ours.refusal;
        if (ours.pixels && libspngAlone) {
            EXPECT_TRUE(*ours.pixels == *libspngAlone);
        }
    }
}

} // namespace
