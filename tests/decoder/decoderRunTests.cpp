// Both real programs on a private X server with Mesa: images encoded with the
// clock pinned and decoded again, compared pixel for pixel with SOIL's own
// texture of the input (its decoded pixels, up-scaled to powers of two), or
// with the input itself when the decoder gives it back at its own size.

#include "tests/encoder/encoderTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::uint32_t secondsSinceEpoch()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

std::string withoutExtension(const std::string& path)
{
    return path.substr(0, path.rfind('.'));
}

std::string lastLine(const std::string& text)
{
    const std::size_t end = text.empty() || text.back() != '\n' ? text.size() : text.size() - 1;
    const std::size_t start = text.rfind('\n', end == 0 ? 0 : end - 1);
    return text.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

struct encodedImage {
    std::string path;     // <name>_enc.bmp
    rgbImage original;    // SOIL's texture of the input
    std::uint32_t seed;   // the second the encoder's noise came from
};

// Encodes `image` with the clock pinned to 2026-01-01 00:00:00 UTC. libfaketime
// lets the clock run on from there, so the seed is found among the seconds the
// run took, as the one whose noise explains every pixel.
encodedImage encode(const std::string& image)
{
    encodedImage encoded{withoutExtension(image) + "_enc.bmp", referenceTexture(image), 0};
    const std::uint32_t before = secondsSinceEpoch();
    const processResult run = runProcess({PIXVEIL_BINARY, image}, pinnedClock());
    const std::uint32_t last = pinnedSeed + (secondsSinceEpoch() - before) + 1;
    EXPECT_EQ(run.status, 0) << run.err;
    std::string layoutProblem;
    const rgbImage output = readBmp(encoded.path, layoutProblem);
    EXPECT_EQ(layoutProblem, "");
    encoded.seed = findSeed(encoded.original, output, pinnedSeed, last);
    EXPECT_NE(encoded.seed, 0u) << "the encoding of " << image << " is not faithful";
    return encoded;
}

constexpr const char* keepTextureSize = "--keep-texture-size";

processResult decode(const std::string& encodedPath, const std::string& seed = "", const std::string& option = "")
{
    std::vector<std::string> arguments = {PIXVEIL_DECODE_BINARY};
    if (!option.empty())
        arguments.push_back(option);
    arguments.push_back(encodedPath);
    if (!seed.empty())
        arguments.push_back(seed);
    return runProcess(arguments);
}

void setModificationTime(const std::string& path, std::uint32_t seconds)
{
    const processResult touched = runProcess({"/usr/bin/touch", "-d", "@" + std::to_string(seconds), path});
    ASSERT_EQ(touched.status, 0) << touched.err;
}

std::string decodedPathOf(const encodedImage& encoded)
{
    return encoded.path.substr(0, encoded.path.size() - std::string("_enc.bmp").size()) + "_dec.bmp";
}

std::size_t differingBytes(const rgbImage& expected, const rgbImage& actual)
{
    if (expected.width != actual.width || expected.height != actual.height)
        return static_cast<std::size_t>(-1);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < expected.rgb.size(); ++i)
        differing += expected.rgb[i] != actual.rgb[i] ? 1 : 0;
    return differing;
}

void expectDecodedExactly(const encodedImage& encoded)
{
    std::string layoutProblem;
    const rgbImage decoded = readBmp(decodedPathOf(encoded), layoutProblem);
    ASSERT_EQ(layoutProblem, "");
    EXPECT_EQ(decoded.width, encoded.original.width);
    EXPECT_EQ(decoded.height, encoded.original.height);
    EXPECT_EQ(differingBytes(encoded.original, decoded), 0u);
}

// Runs ImageMagick with the given arguments, the output last.
void convert(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "/usr/bin/convert");
    const processResult result = runProcess(arguments);
    ASSERT_EQ(result.status, 0) << result.err;
}

// An input made with makeImage: `format` is ImageMagick's prefix for the
// output ("PNG24:"), or empty to go by the name's extension.
struct roundTripInput {
    std::string format;
    std::string name;
    int width;
    int height;
    std::vector<std::string> options;
};

// Every format and shape whose sides are powers of two, decoded with the seed
// given, and a picture of another size with the texture size kept.
TEST(DecoderRun, RoundTripsAreBitExact)
{
    scratchDirectory scratch;
    const roundTripInput inputs[] = {
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
    for (const roundTripInput& input : inputs) {
        const std::string file = scratch.file(input.name);
        SCOPED_TRACE(file);
        makeImage(input.width, input.height, input.options, input.format + file);
        const encodedImage encoded = encode(file);
        const bool powersOfTwo = encoded.original.width == input.width && encoded.original.height == input.height;
        const processResult run =
            decode(encoded.path, std::to_string(encoded.seed), powersOfTwo ? "" : keepTextureSize);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        if (powersOfTwo)
            EXPECT_EQ(lastLine(run.out), "texture size " + std::to_string(input.width) + "x" +
                                             std::to_string(input.height) +
                                             " kept; no smaller original up-scales to it exactly");
        else
            EXPECT_EQ(run.out.find(" kept; "), std::string::npos) << run.out;
        expectDecodedExactly(encoded);
    }
}

// The picture's red, green and blue as ImageMagick reads them.
rgbImage readPicture(const std::string& image, int width, int height)
{
    scratchDirectory scratch;
    const std::string raw = scratch.file("picture.rgb");
    convert({image, "-depth", "8", "rgb:" + raw});
    const std::string bytes = readFile(raw);
    return {width, height, std::vector<unsigned char>(bytes.begin(), bytes.end())};
}

double meanAbsoluteDifference(const rgbImage& a, const rgbImage& b)
{
    double sum = 0;
    for (std::size_t i = 0; i < a.rgb.size(); ++i)
        sum += std::abs(a.rgb[i] - b.rgb[i]);
    return sum / static_cast<double>(a.rgb.size());
}

// Pictures whose sides are not both powers of two come back at their own
// size; SOIL up-scales what comes back to the very texture that was encoded,
// and it stays well under one level from the picture on average.
TEST(DecoderRun, PicturesComeBackAtTheirOwnSize)
{
    scratchDirectory scratch;
    const std::vector<std::string> grain = {"-attenuate", "0.3", "+noise", "Gaussian"};
    const std::vector<std::string> text = {"-fill", "white", "-colorize", "100", "-fill", "black", "-font",
                                           "DejaVu-Sans", "-pointsize", "15", "-annotate", "+8+30",
                                           "Pixveil gives the picture back at its own size, 0123456789",
                                           "-annotate", "+8+90", "small text, as in a screenshot"};
    const std::vector<std::string> lineArt = {"-fill", "white", "-colorize", "100", "-fill", "none", "-stroke",
                                              "black", "-draw", "line 10,10 490,390", "-draw",
                                              "circle 250,200 250,300", "-draw", "rectangle 50,50 150,120"};
    std::vector<std::string> grey = grain;
    grey.insert(grey.end(), {"-colorspace", "Gray", "-define", "png:color-type=0"});
    const roundTripInput inputs[] = {
        {"PNG24:", "photo.png", 300, 200, grain},     {"PNG24:", "wide.png", 640, 480, grain},
        {"PNG24:", "text.png", 640, 120, text},       {"PNG24:", "lines.png", 500, 400, lineArt},
        {"", "grey.png", 300, 200, grey},             {"PNG24:", "tiny.png", 17, 9, grain},
        {"PNG24:", "tall.png", 129, 257, grain},      {"PNG24:", "half.png", 512, 300, grain},
    };
    for (const roundTripInput& input : inputs) {
        const std::string file = scratch.file(input.name);
        SCOPED_TRACE(file);
        makeImage(input.width, input.height, input.options, input.format + file);
        const encodedImage encoded = encode(file);
        const processResult run = decode(encoded.path, std::to_string(encoded.seed));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::string size = std::to_string(input.width) + "x" + std::to_string(input.height);
        EXPECT_EQ(lastLine(run.out), "original size " + size + " recovered; it up-scales to the encoded texture exactly");

        std::string layoutProblem;
        const rgbImage decoded = readBmp(decodedPathOf(encoded), layoutProblem);
        ASSERT_EQ(layoutProblem, "");
        ASSERT_EQ(decoded.width, input.width);
        ASSERT_EQ(decoded.height, input.height);
        EXPECT_EQ(differingBytes(encoded.original, referenceTexture(decodedPathOf(encoded))), 0u);
        const rgbImage picture = readPicture(file, input.width, input.height);
        const double difference = meanAbsoluteDifference(picture, decoded);
        EXPECT_LT(difference, 0.5);
        std::printf("%-10s %8s  mean absolute difference %.3f, %.2f %% of bytes differ\n", input.name.c_str(),
                    size.c_str(), difference, 100.0 * differingBytes(picture, decoded) / picture.rgb.size());
    }
}

// ImageMagick's built-in pictures and a plasma, with the file time 0, 1 and 2
// seconds after the seed.
TEST(DecoderRun, FindsTheSeedFromTheFileTime)
{
    scratchDirectory scratch;
    const std::vector<std::vector<std::string>> pictures = {
        {"rose:", "-resize", "128x128!"},
        {"logo:"},
        {"-size", "256x256", "-seed", "11", "plasma:"},
    };
    int number = 0;
    for (const auto& picture : pictures) {
        const std::string image = scratch.file("picture" + std::to_string(number++) + ".png");
        std::vector<std::string> arguments = picture;
        arguments.push_back("PNG24:" + image);
        convert(arguments);
        const encodedImage encoded = encode(image);
        for (std::uint32_t late : {0u, 1u, 2u}) {
            SCOPED_TRACE(image + " written " + std::to_string(late) + " s after its seed");
            setModificationTime(encoded.path, encoded.seed + late);
            const processResult run = decode(encoded.path, "", keepTextureSize);
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(lastLine(run.out).rfind("seed " + std::to_string(encoded.seed) + ", separation ", 0), 0u)
                << run.out;
            expectDecodedExactly(encoded);
        }
    }
}

// Encoded noise decodes to noise for every seed; so does a picture that was
// never encoded. Nothing is written and the seed is asked for.
TEST(DecoderRun, RefusesWhenNoSeedStandsOut)
{
    scratchDirectory scratch;
    convert({"-size", "256x256", "-seed", "5", "xc:gray", "+noise", "Random", "PNG24:" + scratch.file("noise.png")});
    const encodedImage noise = encode(scratch.file("noise.png"));
    setModificationTime(noise.path, noise.seed + 1);
    convert({"rose:", "-resize", "128x128!", "BMP3:" + scratch.file("plain.bmp")});

    for (const std::string& input : {noise.path, scratch.file("plain.bmp")}) {
        SCOPED_TRACE(input);
        const processResult run = decode(input);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind("pixveil-decode: no seed from ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("give the seed: pixveil-decode " + input + " SEED\n"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "more than one line";
    }
    EXPECT_FALSE(fileExists(scratch.file("noise_dec.bmp")));
    EXPECT_FALSE(fileExists(scratch.file("plain_dec.bmp")));

    // Too narrow to judge: the seed must be given.
    makeImage(1, 64, {}, "PNG24:" + scratch.file("column.png"));
    const encodedImage column = encode(scratch.file("column.png"));
    const processResult narrow = decode(column.path);
    EXPECT_EQ(narrow.status, 1);
    EXPECT_EQ(narrow.err, "pixveil-decode: " + column.path + " is too small to tell its seed from its content; "
                          "give the seed: pixveil-decode " + column.path + " SEED\n");
}

TEST(DecoderRun, AWrongSeedStillDecodesButWarns)
{
    scratchDirectory scratch;
    makeImage(128, 128, {}, "PNG24:" + scratch.file("in.png"));
    const encodedImage encoded = encode(scratch.file("in.png"));
    const std::string output = scratch.file("in_dec.bmp");
    for (std::uint32_t wrong : {encoded.seed - 1, encoded.seed + 3}) {
        const processResult run = decode(encoded.path, std::to_string(wrong));
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "pixveil-decode: warning: " + output + " looks like noise; the seed " +
                               std::to_string(wrong) + " or the GL driver is probably not the one that encoded it\n");
        EXPECT_TRUE(fileExists(output));
    }
}

TEST(DecoderRun, RefusesBadCommandLinesInOneLine)
{
    scratchDirectory scratch;
    makeImage(8, 8, {}, "PNG24:" + scratch.file("in.png"));
    const std::string longPath = std::string(252, 'a') + ".bmp";
    const struct {
        std::vector<std::string> arguments;
        std::string error;
    } cases[] = {
        {{}, "usage: pixveil-decode [--keep-texture-size] ENCODED.bmp [SEED]\n"},
        {{"a", "1", "2"}, "usage: pixveil-decode [--keep-texture-size] ENCODED.bmp [SEED]\n"},
        {{keepTextureSize}, "usage: pixveil-decode [--keep-texture-size] ENCODED.bmp [SEED]\n"},
        {{scratch.file("in.png"), "12x"},
         "pixveil-decode: the seed must be a whole number from 0 to 4294967295, not '12x'\n"},
        {{longPath},
         "pixveil-decode: cannot name the output: the image file name is longer than 251 characters (without its "
         "extension)\n"},
        {{scratch.file("missing.bmp")}, "pixveil-decode: cannot read " + scratch.file("missing.bmp") +
                                            ": No such file or directory\n"},
        {{scratch.path()}, "pixveil-decode: cannot read " + scratch.path() + ": it is not a regular file\n"},
    };
    for (const auto& refused : cases) {
        std::vector<std::string> arguments = {PIXVEIL_DECODE_BINARY};
        arguments.insert(arguments.end(), refused.arguments.begin(), refused.arguments.end());
        const processResult run = runProcess(arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, refused.error);
    }
    EXPECT_EQ(listDirectory(scratch.path()).size(), 1u) << "an output file was written";

    std::ofstream(scratch.file("text.bmp")) << "this is no image\n";
    const processResult run = decode(scratch.file("text.bmp"), "1");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(lastLine(run.err), "pixveil-decode: cannot load " + scratch.file("text.bmp") +
                                     ": Image not of any known type, or corrupt");
    EXPECT_FALSE(fileExists(scratch.file("text_dec.bmp")));
}

} // namespace
