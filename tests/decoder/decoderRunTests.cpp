// Both real programs on a private X server with Mesa: images encoded with the
// clock pinned and decoded again, compared pixel for pixel with SOIL's own
// texture of the input (its decoded pixels, up-scaled to powers of two).

#include "tests/support/encodedImages.h"

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

// ImageMagick's built-in pictures and a plasma, with the file time 0, 1 and 2
// seconds after the seed.
TEST(DecoderRun, FindsTheSeedFromTheFileTime)
{
    scratchDirectory scratch;
    const textLines pictures[] = {{"rose:", "-resize", "128x128!"}, {"logo:"}, {"-size", "256x256", "-seed", "11", "plasma:"}};
    int number = 0;
    for (textLines picture : pictures) {
        const std::string image = scratch.file("picture" + std::to_string(number++) + ".png");
        picture.push_back("PNG24:" + image);
        convert(picture);
        const rgbImage original = encodeFaithfully(image);
        for (std::uint32_t late : {0u, 1u, 2u}) {
            SCOPED_TRACE(image + " written " + std::to_string(late) + " s after its seed");
            setModificationTime(encodedPathOf(image), pinnedSeed + late);
            const processResult run = decode(encodedPathOf(image));
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(splitLines(run.out).back().rfind("seed " + std::to_string(pinnedSeed) + ", separation ", 0), 0u)
                << run.out;
            expectDecodedExactly(encodedPathOf(image), original);
        }
    }
}

// Encoded noise decodes to noise for every seed; so does a picture that was
// never encoded; and a single column has no neighbours to judge by. Nothing
// is written and the seed is asked for.
TEST(DecoderRun, RefusesWhenNoSeedStandsOut)
{
    scratchDirectory scratch;
    convert({"-size", "256x256", "-seed", "5", "xc:gray", "+noise", "Random", "PNG24:" + scratch.file("noise.png")});
    encodeFaithfully(scratch.file("noise.png"));
    setModificationTime(scratch.file("noise_enc.bmp"), pinnedSeed + 1);
    convert({"rose:", "-resize", "128x128!", "BMP3:" + scratch.file("plain.bmp")});
    makeImage(1, 64, {}, "PNG24:" + scratch.file("column.png"));
    encodeFaithfully(scratch.file("column.png"));

    for (const std::string& input : {scratch.file("noise_enc.bmp"), scratch.file("plain.bmp"), scratch.file("column_enc.bmp")}) {
        SCOPED_TRACE(input);
        const processResult run = decode(input);
        EXPECT_EQ(run.status, 1);
        const std::string why = input.find("column") == std::string::npos
                                    ? "pixveil-decode: no seed from "
                                    : "pixveil-decode: " + input + " is too small to tell its seed from its content; ";
        const std::string askForSeed = "give the seed: pixveil-decode " + input + " SEED\n";
        EXPECT_EQ(run.err.rfind(why, 0), 0u) << run.err;
        EXPECT_EQ(run.err.find(askForSeed), run.err.size() - askForSeed.size()) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "more than one line";
    }
    EXPECT_EQ(namesIn(scratch.path()),
              (textLines{"column.png", "column_enc.bmp", "noise.png", "noise_enc.bmp", "plain.bmp"}));
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
