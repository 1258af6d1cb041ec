// Both real programs on a private X server with Mesa: images encoded with the
// clock pinned and decoded again, compared pixel for pixel with SOIL's own
// texture of the input (its decoded pixels, up-scaled to powers of two), or
// with the input itself when the decoder gives it back at its own size; and
// an encoding kept in tests/data, decoded and written again.
// One file for every test that runs both programs, because they share the
// encode-then-decode helpers below.

#include "tests/support/encodedImages.h"

#include "core/noise.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

constexpr const char* keepTextureSize = "--keep-texture-size";

// Decodes to BMP, which the tests read texel by texel; the PNG the decoder
// writes by default is checked against it (WritesThePictureAsAsked).
processResult decode(const std::string& encodedPath, const std::string& seed = "", const std::string& option = "")
{
    textLines command = {PIXVEIL_DECODER, "--bmp"};
    if (!option.empty())
        command.push_back(option);
    command.push_back(encodedPath);
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

std::string sizeText(int width, int height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

// The picture's red, green and blue as ImageMagick reads them.
std::vector<unsigned char> pixelsOf(const std::string& image)
{
    scratchDirectory scratch;
    convert({image, "-depth", "8", "rgb:" + scratch.file("picture.rgb")});
    const std::string bytes = readFile(scratch.file("picture.rgb"));
    return {bytes.begin(), bytes.end()};
}

// Every format and shape, decoded with the seed given. Sides that are powers
// of two come back unchanged, other sizes bit for bit with the texture size
// kept, or else at their own size: SOIL up-scales what comes back to the very
// texture that was encoded, and it stays well under one level from the
// picture on average.
TEST(DecoderRun, RoundTripsGiveTheTextureOrThePictureAtItsOwnSize)
{
    scratchDirectory scratch;
    const textLines grain = {"-attenuate", "0.3", "+noise", "Gaussian"};
    const textLines text = {"-fill", "white", "-colorize", "100", "-fill", "black", "-font", "DejaVu-Sans",
                            "-pointsize", "15", "-annotate", "+8+30",
                            "Pixveil gives the picture back at its own size, 0123456789", "-annotate", "+8+90",
                            "small text, as in a screenshot"};
    const textLines lineArt = {"-fill", "white", "-colorize", "100", "-fill", "none", "-stroke", "black",
                               "-draw", "line 10,10 490,390", "-draw", "circle 250,200 250,300",
                               "-draw", "rectangle 50,50 150,120"};
    const textLines grey = {"-colorspace", "Gray", "-define", "png:color-type=0"};
    textLines greyGrain = grain;
    greyGrain.insert(greyGrain.end(), grey.begin(), grey.end());
    const struct {
        const char* format;
        const char* name;
        int width, height;
        textLines options;
        bool keepTextureSize;
    } inputs[] = {
        {"PNG24:", "rgb.png", 256, 128, {}, false},
        {"PNG32:", "rgba.png", 128, 64, {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel"},
         false},
        {"", "grey.png", 200, 100, grey, true},
        {"", "photo.jpg", 160, 120, {"-quality", "85"}, true},
        {"PNG24:", "odd.png", 300, 200, {}, true},
        {"PNG24:", "dot.png", 1, 1, {}, false},
        {"PNG24:", "column.png", 1, 64, {}, false},
        {"PNG24:", "pair.png", 2, 32, {}, false},
        {"PNG24:", "large.png", 1024, 1024, {}, false},
        {"PNG24:", "photo.png", 300, 200, grain, false},
        {"PNG24:", "wide.png", 640, 480, grain, false},
        {"PNG24:", "text.png", 640, 120, text, false},
        {"PNG24:", "lines.png", 500, 400, lineArt, false},
        {"", "grey-grain.png", 300, 200, greyGrain, false},
        {"PNG24:", "tiny.png", 17, 9, grain, false},
        {"PNG24:", "tall.png", 129, 257, grain, false},
        {"PNG24:", "half.png", 512, 300, grain, false},
    };
    for (const auto& input : inputs) {
        const std::string image = scratch.file(input.name);
        SCOPED_TRACE(image);
        makeImage(input.width, input.height, input.options, input.format + image);
        const rgbImage texture = encodeFaithfully(image);
        const bool powersOfTwo = texture.width == input.width && texture.height == input.height;
        const processResult run =
            decode(encodedPathOf(image), std::to_string(pinnedSeed), input.keepTextureSize ? keepTextureSize : "");
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::string size = sizeText(input.width, input.height);
        if (powersOfTwo || input.keepTextureSize) {
            // Standard output holds the result line alone, none of the shader library's reports.
            EXPECT_EQ(run.out, powersOfTwo ? "texture size " + size + " kept; no smaller original up-scales to it "
                                                                      "exactly\n"
                                           : "");
            expectDecodedExactly(encodedPathOf(image), texture);
            continue;
        }
        EXPECT_EQ(run.out, "original size " + size + " recovered; it up-scales to the encoded texture exactly\n");
        const std::string decodedPath = decodedPathOf(encodedPathOf(image));
        const rgbImage decoded = readBmp(decodedPath);
        ASSERT_EQ(decoded.width, input.width);
        ASSERT_EQ(decoded.height, input.height);
        EXPECT_TRUE(referenceTexture(decodedPath).rgb == texture.rgb) << "does not up-scale to the encoded texture";
        const double difference = meanAbsoluteDifference(pixelsOf(image), decoded.rgb);
        EXPECT_LT(difference, 0.5);
        std::printf("%-10s %8s  mean absolute difference %.3f\n", input.name, size.c_str(), difference);
    }
}

// A PNG's colour type, from its header.
int pngColourType(const std::string& path)
{
    const std::string bytes = readFile(path);
    return bytes.size() > 25 ? static_cast<unsigned char>(bytes[25]) : -1;
}

// The decoder writes PNG beside the input by default (grey for a grey
// picture), BMP with --bmp or for -o NAME.bmp, and PNG bytes alone to
// standard output for -o -, its result lines then going to standard error;
// every PNG holds the very texels of the BMP.
TEST(DecoderRun, WritesThePictureAsAsked)
{
    scratchDirectory scratch;
    const struct {
        const char* name;
        int width, height;
        textLines options;
        int colourType;
    } inputs[] = {
        {"photo.png", 300, 200, {"-attenuate", "0.3", "+noise", "Gaussian"}, 2},
        {"grey.png", 256, 128, {"-colorspace", "Gray", "-define", "png:color-type=0"}, 0},
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.name);
        const std::string image = scratch.file(input.name);
        makeImage(input.width, input.height, input.options, "PNG24:" + image);
        encodeFaithfully(image);
        const std::string encoded = encodedPathOf(image);
        const std::string seed = std::to_string(pinnedSeed);
        const std::string stem = input.name;
        const std::string png = scratch.file(stem.substr(0, stem.size() - 4) + "_dec.png");
        const std::string named = scratch.file("named.bmp");

        const processResult beside = runProcess({PIXVEIL_DECODER, encoded, seed});
        ASSERT_EQ(beside.status, 0);
        EXPECT_EQ(pngColourType(png), input.colourType);
        ASSERT_EQ(runProcess({PIXVEIL_DECODER, "-o", named, encoded, seed}).status, 0);
        EXPECT_EQ(readFile(named).substr(0, 2), "BM");
        const std::string bmpPixels = scratch.file("bmp.rgb");
        const std::string pngPixels = scratch.file("png.rgb");
        convert({named, "-depth", "8", "rgb:" + bmpPixels});
        convert({png, "-depth", "8", "rgb:" + pngPixels});
        EXPECT_TRUE(readFile(pngPixels) == readFile(bmpPixels)) << "the PNG's texels differ from the BMP's";

        const processResult piped = runProcess({PIXVEIL_DECODER, "-o", "-", encoded, seed});
        EXPECT_EQ(piped.status, 0);
        EXPECT_TRUE(piped.out == readFile(png)) << "standard output is not the PNG alone";
        EXPECT_EQ(piped.err, beside.out) << "the result line moves to standard error";
    }
}

// Started without standard output, the decoder writes its result line, or
// with -o - its PNG, to /dev/null in its place, not into the X connection that
// would otherwise have taken descriptor 1, and ends as usual.
TEST(DecoderRun, DecodesWithStandardOutputClosed)
{
    scratchDirectory scratch;
    const std::string image = scratch.file("in.png");
    makeImage(64, 64, {}, "PNG24:" + image);
    const rgbImage texture = encodeFaithfully(image);
    const std::string encoded = encodedPathOf(image);
    const auto decodeWithoutOutput = [&](const textLines& arguments) {
        textLines command = withStandardOutputClosed;
        command.push_back(PIXVEIL_DECODER);
        command.insert(command.end(), arguments.begin(), arguments.end());
        command.insert(command.end(), {encoded, std::to_string(pinnedSeed)});
        return childProcess(command).wait(60);
    };
    const processResult beside = decodeWithoutOutput({"--bmp"});
    EXPECT_EQ(beside.status, 0);
    EXPECT_EQ(beside.err, "");
    expectDecodedExactly(encoded, texture);
    const processResult piped = decodeWithoutOutput({"-o", "-"});
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.err, "texture size 64x64 kept; no smaller original up-scales to it exactly\n");
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
// a multiple of 2^24 seconds away makes the same noise. The texture size is
// kept: the stripes' rows are all alike, so a smaller height would fit them.
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
            const processResult run = decode(encodedPathOf(image), "", keepTextureSize);
            ASSERT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(seedPrinted(run) % noiseSeedPeriod, pinnedSeed % noiseSeedPeriod) << run.out;
            expectDecodedExactly(encodedPathOf(image), original);
        }
        const processResult given = decode(encodedPathOf(image), std::to_string(pinnedSeed), keepTextureSize);
        EXPECT_EQ(given.status, 0);
        EXPECT_EQ(given.err, "") << name;
        expectDecodedExactly(encodedPathOf(image), original);
    }
}

// Uniform noise decodes to noise for every seed; a picture that was never
// encoded is one as it is stored, which no encoding is; and a single texel
// cannot tell its seed. Nothing is written and the seed is asked for; given
// the seed, the noise comes back exactly.
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

    // The search's range, as dates: from 2000 to a day past the file's time.
    const processResult noiseRun = decode(scratch.file("noise_enc.bmp"));
    EXPECT_EQ(noiseRun.err, "pixveil-decode: no seed stands out among the encoding times from 2000-01-01 00:00:00 to "
                            "2026-01-02 00:00:01 UTC; the file is likely no encoding of pixveil, or was re-saved in a "
                            "lossy format such as JPEG, or was encoded with another GL driver; if you know the seed, "
                            "give the seed: pixveil-decode " + scratch.file("noise_enc.bmp") + " SEED\n");
    for (const std::string& input : {scratch.file("noise_enc.bmp"), scratch.file("plain.bmp"), scratch.file("dot_enc.bmp")}) {
        SCOPED_TRACE(input);
        const processResult run = decode(input);
        EXPECT_EQ(run.status, 1);
        const std::string why =
            input.find("dot") != std::string::npos
                ? "pixveil-decode: " + input + " is too small to tell its seed from its content; "
            : input.find("plain") != std::string::npos
                ? "pixveil-decode: " + input + " holds a picture as it is stored, where an encoding holds noise: "
                : "pixveil-decode: no seed stands out among the encoding times from 2000-01-01 00:00:00 to ";
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

// Encoded texels changed after encoding decode to bytes unrelated to the
// picture. Whether re-saved as JPEG, hit by flipped bits or by a run of lost
// bytes, such a file is refused by name, seed given or not, texture size
// kept or not, and nothing is written. A picture's own lonely texels (stars
// on a smooth sky, at a size the encoder did not up-scale) are no damage.
TEST(DecoderRun, RefusesATextureChangedAfterEncoding)
{
    scratchDirectory scratch;
    const std::string photo = scratch.file("photo.png");
    makeImage(192, 128, {"-attenuate", "0.3", "+noise", "Gaussian"}, "PNG24:" + photo);
    encodeFaithfully(photo);
    const std::string encoded = encodedPathOf(photo);
    const std::string intact = readFile(encoded);
    const size_t pixelData = 54;

    const auto flipBits = [&](std::string bytes) {
        std::uint32_t state = 1;
        for (int flip = 0; flip < 60; ++flip) {
            state = state * 1664525u + 1013904223u;
            bytes[pixelData + (state >> 8) % (bytes.size() - pixelData)] ^= char(1 << (state >> 29));
        }
        return bytes;
    };
    const auto loseARun = [&](std::string bytes) { return bytes.replace(bytes.size() / 2, 600, 600, '\0'); };
    const auto resaveAsJpeg = [&](const std::string&) {
        convert({encoded, "-quality", "100", "JPG:" + scratch.file("resaved.jpg")});
        convert({scratch.file("resaved.jpg"), "BMP3:" + scratch.file("resaved.bmp")});
        return readFile(scratch.file("resaved.bmp"));
    };
    const struct {
        const char* change;
        std::function<std::string(const std::string&)> apply;
    } changes[] = {{"re-saved as JPEG of quality 100", resaveAsJpeg}, {"60 bits flipped", flipBits},
                   {"600 bytes lost to zeros", loseARun}};
    const std::string damaged = scratch.file("damaged_enc.bmp");
    for (const auto& change : changes) {
        writeFile(damaged, change.apply(intact));
        setModificationTime(damaged, pinnedSeed);
        for (const std::string& seed : {std::string(), std::to_string(pinnedSeed)})
            for (const std::string& option : {std::string(), std::string(keepTextureSize)}) {
                SCOPED_TRACE(std::string(change.change) + (seed.empty() ? "" : ", seed given") + " " + option);
                const processResult run = decode(damaged, seed, option);
                EXPECT_EQ(run.status, 1);
                const std::string refusal =
                    "pixveil-decode: " + damaged + " was changed after encoding, for example re-saved as JPEG: ";
                EXPECT_EQ(run.err.rfind(refusal, 0), 0u) << run.err;
                EXPECT_FALSE(fileExists(decodedPathOf(damaged)));
            }
    }

    // Stars on a smooth sky, at a size the encoder kept; a dither of single
    // texels, which up-scaling leaves lonely by the thousand.
    const struct {
        const char* name;
        textLines make;
    } intactPictures[] = {
        {"sky.png", {"-size", "256x128", "-seed", "4242", "plasma:fractal", "-blur", "0x4", "-fill", "white", "-draw",
                     "point 40,30 point 200,90 point 128,64"}},
        {"dither.png", {"-size", "300x200", "pattern:gray50"}},
    };
    for (const auto& picture : intactPictures) {
        SCOPED_TRACE(picture.name);
        const std::string image = scratch.file(picture.name);
        textLines arguments = picture.make;
        arguments.push_back("PNG24:" + image);
        convert(arguments);
        const rgbImage texture = encodeFaithfully(image);
        setModificationTime(encodedPathOf(image), pinnedSeed);
        const processResult run = decode(encodedPathOf(image), "", keepTextureSize);
        ASSERT_EQ(run.status, 0) << run.err;
        expectDecodedExactly(encodedPathOf(image), texture);
    }
}

// Read upside down (its BMP height negated), an encoded vertical gradient is
// noise to every seed but one for each row, whose noise meets that row where
// it now lies and decodes it to a few values of its colour. These clocks are
// the five of fifteen (one every 7919 s) whose file such a seed got decoded,
// as noise, before a seed had to save bits on more than one row.
TEST(DecoderRun, RefusesAnEncodingReadUpsideDown)
{
    scratchDirectory scratch;
    const std::string image = scratch.file("gradient.png");
    convert({"-size", "300x200", "gradient:red-blue", "PNG24:" + image});
    const rgbImage texture = referenceTexture(image);
    for (const std::uint32_t step : {0u, 8u, 11u, 12u, 13u}) {
        const std::uint32_t clock = pinnedSeed + step * 7919u;
        SCOPED_TRACE("encoded at " + std::to_string(clock));
        expectEncodingOf(texture, image, clock);
        negateBmpHeight(encodedPathOf(image));
        setModificationTime(encodedPathOf(image), clock);
        std::remove(decodedPathOf(encodedPathOf(image)).c_str());
        const processResult run = decode(encodedPathOf(image), "", keepTextureSize);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err.rfind("pixveil-decode: no seed stands out among the encoding times from 2000-01-01 00:00:00 to ", 0), 0u) << run.err;
        EXPECT_EQ(namesIn(scratch.path()), (textLines{"gradient.png", "gradient_enc.bmp"}));
    }
}

// The rose photo shrunk to 4 x 4 saves 37 bits; found among the seeds of a
// few days, but not among all 2^24 noises, where chance alone may give a
// wrong seed's noise 24 bits.
TEST(DecoderRun, FindsATinyPhotoAmongTheSeedsOfAFewDays)
{
    scratchDirectory scratch;
    const std::string image = scratch.file("rose.png");
    convert({"rose:", "-resize", "4x4!", "PNG24:" + image});
    const rgbImage original = encodeFaithfully(image);
    constexpr std::uint32_t day = 86400;
    const struct {
        const char* when;
        std::uint32_t fileTime;
        bool found;
    } fileTimes[] = {{"exact", pinnedSeed, true}, {"five days late", pinnedSeed + 5 * day, true},
                     {"a year late", pinnedSeed + 365 * day, false}};
    for (const auto& [when, fileTime, found] : fileTimes) {
        SCOPED_TRACE(when);
        std::remove(decodedPathOf(encodedPathOf(image)).c_str());
        setModificationTime(encodedPathOf(image), fileTime);
        const processResult run = decode(encodedPathOf(image), "", keepTextureSize);
        if (!found) {
            EXPECT_EQ(run.status, 1);
            EXPECT_EQ(run.err.rfind("pixveil-decode: no seed stands out among the encoding times from 2000-01-01 00:00:00 to ", 0), 0u) << run.err;
            EXPECT_FALSE(fileExists(decodedPathOf(encodedPathOf(image))));
            continue;
        }
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(seedPrinted(run) % noiseSeedPeriod, pinnedSeed % noiseSeedPeriod) << run.out;
        expectDecodedExactly(encodedPathOf(image), original);
    }
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

// -O DIR and --output-dir DIR write the picture under its usual name into
// DIR, the very bytes of a decode beside the input, so that a read-only
// folder of encodings can be decoded. Root writes into a read-only folder all
// the same, so nothing may appear beside the input.
TEST(DecoderRun, WritesIntoAnOutputFolderAndNothingBesideTheInput)
{
    scratchDirectory scratch;
    const auto [inputs, outputs, image] = makeEncodedInputAndOutputFolders(scratch.path());
    const std::string encoded = encodedPathOf(image);
    const std::string seed = std::to_string(pinnedSeed);
    std::string ordinary[2];
    for (const bool bmp : {false, true}) {
        const std::string beside = inputs + (bmp ? "/photo_dec.bmp" : "/photo_dec.png");
        ASSERT_EQ(runProcess({PIXVEIL_DECODER, bmp ? "--bmp" : "--", encoded, seed}).status, 0);
        ordinary[bmp] = readFile(beside);
        ASSERT_EQ(std::remove(beside.c_str()), 0);
    }
    ASSERT_EQ(chmod(inputs.c_str(), 0555), 0);
    const struct {
        textLines arguments;
        std::string directory;
        bool bmp;
    } runs[] = {
        {{"-O", "out", "in/photo_enc.bmp", seed}, scratch.path(), false},
        {{"--bmp", "--output-dir", outputs + "/", encoded, seed}, "", true},
        {{"-O", ".", "--keep-texture-size", "../in/photo_enc.bmp"}, outputs, false},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.arguments[0] + " " + run.arguments[1]);
        textLines command = {PIXVEIL_DECODER};
        command.insert(command.end(), run.arguments.begin(), run.arguments.end());
        const processResult decoded = runProcess(command, {}, run.directory);
        EXPECT_EQ(decoded.status, 0) << decoded.err;
        EXPECT_EQ(decoded.err, "");
        const std::string name = run.bmp ? "photo_dec.bmp" : "photo_dec.png";
        EXPECT_TRUE(readFile(outputs + "/" + name) == ordinary[run.bmp]) << "not the ordinary run's file";
        EXPECT_EQ(namesIn(inputs), (textLines{"photo.png", "photo_enc.bmp"}));
        EXPECT_EQ(namesIn(outputs), textLines{name});
        std::remove((outputs + "/" + name).c_str());
    }
    ASSERT_EQ(chmod(inputs.c_str(), 0755), 0);
}

// An output that is the input itself, by its own name, another spelling of
// it, a hard link or a symbolic link, is refused with status 2 before any
// work; the encoding stays as it was.
TEST(DecoderRun, RefusesAnOutputThatIsTheInputItself)
{
    scratchDirectory scratch;
    makeImage(16, 16, {}, "PNG24:" + scratch.file("q.png"));
    encodeFaithfully(scratch.file("q.png"));
    const std::string encoding = readFile(scratch.file("q_enc.bmp"));
    ASSERT_EQ(link(scratch.file("q_enc.bmp").c_str(), scratch.file("hard.bmp").c_str()), 0);
    ASSERT_EQ(symlink("q_enc.bmp", scratch.file("soft.png").c_str()), 0);
    const std::string seed = std::to_string(pinnedSeed);
    const struct {
        textLines arguments;
        std::string output;
    } cases[] = {
        {{"-o", "q_enc.bmp", "q_enc.bmp"}, "q_enc.bmp"},
        {{"-o", "./q_enc.bmp", "q_enc.bmp", seed}, "./q_enc.bmp"},
        {{"--bmp", "-o", scratch.file("q_enc.bmp"), "./q_enc.bmp"}, scratch.file("q_enc.bmp")},
        {{"-o", "hard.bmp", "q_enc.bmp", seed}, "hard.bmp"},
        {{"--keep-texture-size", "-o", "q_enc.bmp", "hard.bmp"}, "q_enc.bmp"},
        {{"-o", "soft.png", "q_enc.bmp"}, "soft.png"},
    };
    for (const auto& refused : cases) {
        textLines command = {PIXVEIL_DECODER};
        command.insert(command.end(), refused.arguments.begin(), refused.arguments.end());
        const processResult run = runProcess(command, {}, scratch.path());
        SCOPED_TRACE(run.err);
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "pixveil-decode: the output " + refused.output +
                               " is the input itself; decoding would replace the encoding\n");
        EXPECT_TRUE(readFile(scratch.file("q_enc.bmp")) == encoding) << "the encoding changed";
    }
    EXPECT_EQ(namesIn(scratch.path()), (textLines{"hard.bmp", "q.png", "q_enc.bmp", "soft.png"}));
}

TEST(DecoderRun, RefusesBadCommandLinesInOneLine)
{
    scratchDirectory scratch;
    makeImage(8, 8, {}, "PNG24:" + scratch.file("in.png"));
    writeFile(scratch.file("text.bmp"), "this is no image\n");
    const std::string usage =
        "usage: pixveil-decode [--keep-texture-size] [--bmp] [-o FILE | -O DIR] ENCODED.bmp [SEED]\n";
    const struct {
        textLines arguments;
        std::string err;
    } cases[] = {
        {{}, usage},
        {{"a", "1", "2"}, usage},
        {{keepTextureSize}, usage},
        {{"--bmp", "-o", "-", scratch.file("in.png")},
         "pixveil-decode: standard output (-o -) takes PNG only, not --bmp\n"},
        {{"-o", "", scratch.file("in.png")}, "pixveil-decode: cannot name the output: the output path is empty\n"},
        {{"-O", scratch.file("missing"), scratch.file("in.png")},
         "pixveil-decode: the output folder " + scratch.file("missing") + " cannot be used: No such file or directory\n"},
        {{"--output-dir", scratch.file("in.png"), scratch.file("in.png")},
         "pixveil-decode: the output folder " + scratch.file("in.png") + " cannot be used: it is not a directory\n"},
        {{"-o", scratch.file("x.png"), "-O", scratch.path(), scratch.file("in.png")},
         "pixveil-decode: -o FILE names the output itself; it cannot be combined with -O DIR\n"},
        {{"-O", "/" + std::string(258, 'o'), scratch.file("in.png")},
         "pixveil-decode: the output folder /" + std::string(258, 'o') + " cannot be used: File name too long\n"},
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

// tests/data/kept-encoding holds a picture and its encoding made at the
// pinned clock by an earlier encoder. Every other test here encodes afresh and
// decodes with the same build, so a change to the noise or to the shaders that
// both programs share would pass them all and still leave every encoding made
// before it undecodable; these two would fail.

// The decoder gives the kept encoding's picture back exactly: with the seed
// given, and with the seed found from the file time.
TEST(KeptEncoding, DecodesToItsPicture)
{
    scratchDirectory scratch;
    const std::string encoded = scratch.file("photo_enc.bmp");
    writeFile(encoded, readFile(KEPT_ENCODING_DIR "/photo_enc.bmp"));
    const std::vector<unsigned char> picture = pixelsOf(KEPT_ENCODING_DIR "/photo.png");
    ASSERT_EQ(picture.size(), 64u * 32u * 3u);
    const std::string sizeLine = "texture size 64x32 kept; no smaller original up-scales to it exactly";
    for (const bool seedGiven : {true, false}) {
        SCOPED_TRACE(seedGiven ? "seed given" : "seed found");
        setModificationTime(encoded, pinnedSeed);
        std::remove(scratch.file("photo_dec.png").c_str());
        textLines command = {PIXVEIL_DECODER, encoded};
        if (seedGiven)
            command.push_back(std::to_string(pinnedSeed));
        const processResult run = runProcess(command);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const textLines lines = splitLines(run.out);
        ASSERT_EQ(lines.size(), seedGiven ? 1u : 2u) << run.out;
        if (!seedGiven) {
            EXPECT_EQ(lines[0].rfind("seed " + std::to_string(pinnedSeed) + ", separation ", 0), 0u) << run.out;
        }
        EXPECT_EQ(lines.back(), sizeLine);
        EXPECT_TRUE(pixelsOf(scratch.file("photo_dec.png")) == picture)
            << "the kept encoding no longer decodes to its picture";
    }
}

// The encoder, at the clock the kept encoding was made at, writes it byte for
// byte again.
TEST(KeptEncoding, IsWhatTheEncoderWrites)
{
    scratchDirectory scratch;
    const std::string image = scratch.file("photo.png");
    writeFile(image, readFile(KEPT_ENCODING_DIR "/photo.png"));
    const processResult run = runProcess({PIXVEIL_ENCODER, image}, pinnedClock());
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, encoderSuccessOutput);
    EXPECT_EQ(run.err, "");
    const std::string written = readFile(encodedPathOf(image));
    const std::string kept = readFile(KEPT_ENCODING_DIR "/photo_enc.bmp");
    ASSERT_EQ(written.size(), kept.size());
    const auto differs = std::mismatch(written.begin(), written.end(), kept.begin()).first;
    EXPECT_TRUE(differs == written.end())
        << "the encoding differs from the kept one from byte " << differs - written.begin() << " on";
}

} // namespace
