// Both real programs on a private X server with Mesa: images encoded with the
// clock pinned and decoded again, compared pixel for pixel with SOIL's own
// texture of the input (its decoded pixels, up-scaled to powers of two).

#include "tests/support/encodedImages.h"

#include "core/noise.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

namespace {

processResult decode(const std::string& encodedPath, const std::string& seed = "")
{
    textLines command = {PIXVEIL_DECODER, encodedPath};
    if (!seed.empty())
        command.push_back(seed);
    return runProcess(command);
}

std::string decodedPathOf(const std::string& encodedPath)
{
    return encodedPath.substr(0, encodedPath.size() - std::string("_enc.bmp").size()) + "_dec.bmp";
}

void expectDecodedExactly(const std::string& encodedPath, const rgbImage& original)
{
    const rgbImage decoded = readBmp(decodedPathOf(encodedPath));
    EXPECT_EQ(decoded.width, original.width);
    EXPECT_EQ(decoded.height, original.height);
    EXPECT_TRUE(decoded.rgb == original.rgb) << "the decoded pixels differ";
}

void setModificationTime(const std::string& path, std::uint32_t seconds)
{
    const timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Every format and shape, decoded with the seed given.
TEST(DecoderRun, RoundTripsAreBitExact)
{
    scratchDirectory scratch;
    const struct {
        const char* format;
        const char* name;
        int width, height;
        textLines options;
    } inputs[] = {
        {"PNG24:", "rgb.png", 256, 128, {}},
        {"PNG32:", "rgba.png", 128, 64, {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel"}},
        {"", "grey.png", 200, 100, {"-colorspace", "Gray", "-define", "png:color-type=0"}},
        {"", "photo.jpg", 160, 120, {"-quality", "85"}},
        {"PNG24:", "odd.png", 300, 200, {}},
        {"PNG24:", "dot.png", 1, 1, {}},
        {"PNG24:", "column.png", 1, 64, {}},
        {"PNG24:", "pair.png", 2, 32, {}},
        {"PNG24:", "large.png", 1024, 1024, {}},
    };
    for (const auto& input : inputs) {
        const std::string image = scratch.file(input.name);
        SCOPED_TRACE(image);
        makeImage(input.width, input.height, input.options, input.format + image);
        const rgbImage original = encodeFaithfully(image);
        const processResult run = decode(encodedPathOf(image), std::to_string(pinnedSeed));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        expectDecodedExactly(encodedPathOf(image), original);
    }
}

std::uint32_t seedPrinted(const processResult& run)
{
    const textLines lines = splitLines(run.out);
    if (lines.empty() || lines.back().rfind("seed ", 0) != 0 || lines.back().find(", separation ") == std::string::npos)
        return 0;
    return static_cast<std::uint32_t>(std::stoul(lines.back().substr(5)));
}

// Pictures with sharp detail and tiny ones as well as a photo, each found
// with the file time exact, a second before the seed, days and a year late,
// and useless; then decoded with the seed given, without a warning. A seed
// a multiple of 2^24 seconds away makes the same noise.
TEST(DecoderRun, FindsTheSeedWheneverThePictureWasEncoded)
{
    scratchDirectory scratch;
    const struct {
        const char* name;
        textLines picture;
    } pictures[] = {
        {"photo", {"rose:", "-resize", "128x128!"}},
        {"text", {"-size", "256x64", "xc:white", "-font", "DejaVu-Sans", "-pointsize", "13", "-annotate", "+4+18",
                  "The quick brown fox jumps over the lazy dog", "-annotate", "+4+44", "0123456789 pixveil ()[]{}"}},
        {"stripes", {"-size", "128x128", "xc:", "-fx", "i%2"}},
        {"dither", {"-size", "128x128", "gradient:gray20-gray80", "-dither", "FloydSteinberg", "-monochrome"}},
        {"tiny", {"-size", "4x4", "gradient:red-blue"}},
    };
    constexpr std::uint32_t day = 86400;
    const struct {
        const char* when;
        std::uint32_t fileTime;
    } fileTimes[] = {
        {"exact", pinnedSeed},
        {"a second early", pinnedSeed - 1},
        {"five days late", pinnedSeed + 5 * day},
        {"a year late", pinnedSeed + 365 * day},
        {"in 1990", 631152000u},
    };
    for (const auto& [name, picture] : pictures) {
        const std::string image = scratch.file(std::string(name) + ".png");
        textLines arguments = picture;
        arguments.push_back("PNG24:" + image);
        convert(arguments);
        const rgbImage original = encodeFaithfully(image);
        for (const auto& [when, fileTime] : fileTimes) {
            SCOPED_TRACE(std::string(name) + " with the file time " + when);
            setModificationTime(encodedPathOf(image), fileTime);
            const processResult run = decode(encodedPathOf(image));
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(seedPrinted(run) % noiseSeedPeriod, pinnedSeed % noiseSeedPeriod) << run.out;
            expectDecodedExactly(encodedPathOf(image), original);
        }
        const processResult given = decode(encodedPathOf(image), std::to_string(pinnedSeed));
        EXPECT_EQ(given.status, 0);
        EXPECT_EQ(given.err, "") << name;
        expectDecodedExactly(encodedPathOf(image), original);
    }
}

// Uniform noise decodes to noise for every seed; so does a picture that was
// never encoded; and a single texel cannot tell its seed. Nothing is written
// and the seed is asked for; given the seed, the noise comes back exactly.
TEST(DecoderRun, RefusesWhenNoSeedStandsOut)
{
    scratchDirectory scratch;
    convert({"-size", "128x128", "-seed", "5", "xc:", "-channel", "RGB", "-fx", "rand()",
             "PNG24:" + scratch.file("noise.png")});
    const rgbImage noise = encodeFaithfully(scratch.file("noise.png"));
    setModificationTime(scratch.file("noise_enc.bmp"), pinnedSeed + 1);
    convert({"rose:", "-resize", "128x128!", "BMP3:" + scratch.file("plain.bmp")});
    makeImage(1, 1, {}, "PNG24:" + scratch.file("dot.png"));
    encodeFaithfully(scratch.file("dot.png"));

    for (const std::string& input : {scratch.file("noise_enc.bmp"), scratch.file("plain.bmp"), scratch.file("dot_enc.bmp")}) {
        SCOPED_TRACE(input);
        const processResult run = decode(input);
        EXPECT_EQ(run.status, 1);
        const std::string why = input.find("dot") == std::string::npos
                                    ? "pixveil-decode: no seed from 946684800 to "
                                    : "pixveil-decode: " + input + " is too small to tell its seed from its content; ";
        const std::string askForSeed = "give the seed: pixveil-decode " + input + " SEED\n";
        EXPECT_EQ(run.err.rfind(why, 0), 0u) << run.err;
        EXPECT_EQ(run.err.find(askForSeed), run.err.size() - askForSeed.size()) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "more than one line";
    }
    EXPECT_EQ(namesIn(scratch.path()), (textLines{"dot.png", "dot_enc.bmp", "noise.png", "noise_enc.bmp", "plain.bmp"}));

    const processResult given = decode(scratch.file("noise_enc.bmp"), std::to_string(pinnedSeed));
    EXPECT_EQ(given.status, 0) << given.err;
    EXPECT_NE(given.err.find(" looks like noise; "), std::string::npos) << given.err;
    expectDecodedExactly(scratch.file("noise_enc.bmp"), noise);
}

TEST(DecoderRun, AWrongSeedStillDecodesButWarns)
{
    scratchDirectory scratch;
    makeImage(128, 128, {}, "PNG24:" + scratch.file("in.png"));
    encodeFaithfully(scratch.file("in.png"));
    for (std::uint32_t wrong : {pinnedSeed - 1, pinnedSeed + 3}) {
        const processResult run = decode(scratch.file("in_enc.bmp"), std::to_string(wrong));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "pixveil-decode: warning: " + scratch.file("in_dec.bmp") + " looks like noise; the seed " +
                               std::to_string(wrong) + " or the GL driver is probably not the one that encoded it\n");
        EXPECT_TRUE(fileExists(scratch.file("in_dec.bmp")));
    }
}

// A user may re-save an output as PNG or as the BMP ImageMagick writes by
// default (a V5 header); either still decodes exactly.
TEST(DecoderRun, ReSavedOutputsDecodeExactly)
{
    scratchDirectory scratch;
    makeImage(64, 32, {}, "PNG24:" + scratch.file("in.png"));
    const rgbImage original = encodeFaithfully(scratch.file("in.png"));
    for (const std::string& resaved : {scratch.file("png_enc.png"), scratch.file("v5_enc.bmp")}) {
        SCOPED_TRACE(resaved);
        convert({scratch.file("in_enc.bmp"), resaved});
        const processResult run = decode(resaved, std::to_string(pinnedSeed));
        ASSERT_EQ(run.status, 0) << run.err;
        expectDecodedExactly(resaved, original);
    }
}

TEST(DecoderRun, RefusesBadCommandLinesInOneLine)
{
    scratchDirectory scratch;
    makeImage(8, 8, {}, "PNG24:" + scratch.file("in.png"));
    writeFile(scratch.file("text.bmp"), "this is no image\n");
    const std::string usage = "usage: pixveil-decode ENCODED.bmp [SEED]\n";
    const struct {
        textLines arguments;
        std::string err;
    } cases[] = {
        {{}, usage},
        {{"a", "1", "2"}, usage},
        {{scratch.file("in.png"), "12x"}, "pixveil-decode: the seed must be a whole number from 0 to 4294967295, not '12x'\n"},
        {{std::string(252, 'a') + ".bmp"},
         "pixveil-decode: cannot name the output: the image file name is longer than 251 characters (without its "
         "extension)\n"},
        {{scratch.file("missing.bmp")},
         "pixveil-decode: cannot read " + scratch.file("missing.bmp") + ": No such file or directory\n"},
        {{scratch.path()}, "pixveil-decode: cannot read " + scratch.path() + ": it is not a regular file\n"},
        {{scratch.file("text.bmp"), "1"},
         "pixveil-decode: cannot load " + scratch.file("text.bmp") +
             ": Image not of any known type, or corrupt (formats read: PNG, JPEG, GIF, WebP, TIFF, BMP, PNM, PSD, "
             "TGA, HDR, DDS, HEIC, AVIF)\n"},
    };
    for (const auto& refused : cases) {
        textLines command = {PIXVEIL_DECODER};
        command.insert(command.end(), refused.arguments.begin(), refused.arguments.end());
        const processResult run = runProcess(command);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(splitLines(run.err).back() + "\n", refused.err);
    }
    EXPECT_EQ(namesIn(scratch.path()), (textLines{"in.png", "text.bmp"}));
}

} // namespace
