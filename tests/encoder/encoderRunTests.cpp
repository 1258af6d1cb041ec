// The real encoder on a private X server with Mesa: every output pixel is
// checked against SOIL's own texture of the input and the noise of the pinned
// clock second.

#include "tests/encoder/encoderTestSupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

namespace {

// What a successful run prints: the shader library's capability report and the
// three log blocks of the program build (Mesa's logs are empty on success).
const char* const successfulOutput = "OpenGL 2.0 (or higher) is available!\n"
                                     "[OK] OpenGL Shading Language is available!\n"
                                     "\n"
                                     "***GLSL Compiler Log (Vertex Shader):\n"
                                     "[e06] Compiler log is not available!\n"
                                     "***GLSL Compiler Log (Fragment Shader):\n"
                                     "[e06] Compiler log is not available!\n"
                                     "***GLSL Linker Log:\n"
                                     "[e05] Linker log is not available!\n";

const char* const resizeWithoutWindow =
    "freeglut (Pixveil4242):  ERROR:  Function <glutReshapeWindow> called with no current window defined.\n";

struct encodedRun {
    processResult result;
    std::uint32_t firstPossibleSeed;
    std::uint32_t lastPossibleSeed;
};

std::uint32_t secondsSinceEpoch()
{
    using namespace std::chrono;
    return static_cast<std::uint32_t>(duration_cast<seconds>(system_clock::now().time_since_epoch()).count());
}

// Runs the encoder with the clock pinned to `fakeTime`, which libfaketime lets
// run on from there; the seed lies between the pinned second and the pinned
// second plus the run's length.
encodedRun encode(const std::string& image, std::uint32_t pinnedStart = pinnedSeed,
                  const std::string& fakeTime = "@2026-01-01 00:00:00", const std::string& extraPreload = "",
                  std::vector<std::string> extraEnvironment = {})
{
    std::vector<std::string> environment = pinnedClock(fakeTime, extraPreload);
    environment.insert(environment.end(), extraEnvironment.begin(), extraEnvironment.end());
    const std::uint32_t before = secondsSinceEpoch();
    encodedRun run{runProcess({PIXVEIL_BINARY, image}, environment), pinnedStart, 0};
    run.lastPossibleSeed = pinnedStart + (secondsSinceEpoch() - before) + 1;
    return run;
}

std::string withoutExtension(const std::string& path)
{
    return path.substr(0, path.rfind('.'));
}

// Encodes `image` and checks the output's size, layout and every pixel.
void expectFaithfulEncoding(const std::string& image, int expectedWidth, int expectedHeight)
{
    SCOPED_TRACE(image);
    const rgbImage input = referenceTexture(image);
    ASSERT_EQ(input.width, expectedWidth);
    ASSERT_EQ(input.height, expectedHeight);

    const encodedRun run = encode(image);
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(run.result.out, successfulOutput);
    EXPECT_EQ(run.result.err, "");

    std::string layoutProblem;
    const rgbImage output = readBmp(withoutExtension(image) + "_enc.bmp", layoutProblem);
    ASSERT_EQ(layoutProblem, "");
    ASSERT_EQ(output.width, expectedWidth);
    ASSERT_EQ(output.height, expectedHeight);

    const std::uint32_t seed = findSeed(input, output, run.firstPossibleSeed, run.lastPossibleSeed);
    ASSERT_NE(seed, 0u) << "no seed of the run's seconds explains every pixel; with the pinned one "
                        << checkEncoding(input, output, pinnedSeed).wrongPixels << " of "
                        << input.rgb.size() / 3 << " pixels are wrong";
}

class EncoderRun : public ::testing::Test {
protected:
    scratchDirectory scratch;
};

TEST_F(EncoderRun, EncodesEveryFormatFaithfully)
{
    const struct {
        const char* name;
        int width, height;
        std::vector<std::string> options;
        int textureWidth, textureHeight;
    } inputs[] = {
        {"PNG24:rgb.png", 300, 200, {}, 512, 256},
        {"PNG32:rgba.png", 128, 64, {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel"}, 128, 64},
        {"grey.png", 200, 100, {"-colorspace", "Gray", "-define", "png:color-type=0"}, 256, 128},
        {"PNG8:palette.png", 64, 64, {"-colors", "64"}, 64, 64},
        {"photo.jpg", 160, 120, {"-quality", "90", "-interlace", "none"}, 256, 128},
        {"BMP3:picture.bmp", 100, 50, {}, 128, 64},
        // SOIL turns bottom-left TGAs upside down; the loader does not (tests/safeload).
        {"picture.tga", 64, 32, {"-orient", "TopLeft"}, 64, 32},
        {"compressed.dds", 64, 32, {"-define", "dds:compression=dxt1", "-define", "dds:mipmaps=0"}, 64, 32},
        {"plain.dds", 32, 16, {"-define", "dds:compression=none", "-define", "dds:mipmaps=0"}, 32, 16},
    };
    for (const auto& input : inputs) {
        std::string name = input.name;
        const std::string file = name.substr(name.find(':') + 1);
        makeImage(input.width, input.height, input.options,
                  name.find(':') == std::string::npos ? scratch.file(name) : name.substr(0, name.find(':') + 1) + scratch.file(file));
        expectFaithfulEncoding(scratch.file(file), input.textureWidth, input.textureHeight);
    }
}

// Widths of 1 and 2 texels have rows that are not a multiple of 4 bytes.
TEST_F(EncoderRun, EncodesNarrowImagesWithinTheirBuffers)
{
    makeImage(1, 64, {}, "PNG24:" + scratch.file("one.png"));
    expectFaithfulEncoding(scratch.file("one.png"), 1, 64);
    makeImage(2, 32, {}, "PNG24:" + scratch.file("two.png"));
    expectFaithfulEncoding(scratch.file("two.png"), 2, 32);
    makeImage(2, 100, {}, "PNG24:" + scratch.file("stretched.png"));
    expectFaithfulEncoding(scratch.file("stretched.png"), 2, 128);
}

// The window grows beyond its creation size of 800 x 600, and past the X
// screen (1280 x 1024): the whole capture must still come from the drawn frame.
TEST_F(EncoderRun, EncodesImagesLargerThanTheFirstWindowAndTheScreen)
{
    makeImage(1024, 1024, {}, "PNG24:" + scratch.file("large.png"));
    expectFaithfulEncoding(scratch.file("large.png"), 1024, 1024);
    makeImage(1500, 1100, {}, "PNG24:" + scratch.file("huge.png"));
    expectFaithfulEncoding(scratch.file("huge.png"), 2048, 2048);
}

TEST_F(EncoderRun, UsesAllEightRotations)
{
    makeImage(256, 256, {}, "PNG24:" + scratch.file("in.png"));
    const encodedRun run = encode(scratch.file("in.png"));
    ASSERT_EQ(run.result.status, 0);
    std::string layoutProblem;
    const rgbImage output = readBmp(scratch.file("in_enc.bmp"), layoutProblem);
    const rgbImage input = referenceTexture(scratch.file("in.png"));
    const std::uint32_t seed = findSeed(input, output, run.firstPossibleSeed, run.lastPossibleSeed);
    ASSERT_NE(seed, 0u);
    EXPECT_TRUE(checkEncoding(input, output, seed).shiftsUsed.all());
}

TEST_F(EncoderRun, SameSecondGivesTheSameFileAndAnotherSecondAnother)
{
    makeImage(64, 64, {}, "PNG24:" + scratch.file("in.png"));
    const std::string output = scratch.file("in_enc.bmp");
    const rgbImage input = referenceTexture(scratch.file("in.png"));
    std::string layoutProblem;

    ASSERT_EQ(encode(scratch.file("in.png")).result.status, 0);
    const std::string first = readFile(output);
    ASSERT_EQ(checkEncoding(input, readBmp(output, layoutProblem), pinnedSeed).wrongPixels, 0u)
        << "the first run did not make its noise in the pinned second";
    ASSERT_EQ(encode(scratch.file("in.png")).result.status, 0);
    ASSERT_EQ(checkEncoding(input, readBmp(output, layoutProblem), pinnedSeed).wrongPixels, 0u)
        << "the second run did not make its noise in the pinned second";
    EXPECT_EQ(readFile(output), first);

    ASSERT_EQ(encode(scratch.file("in.png"), pinnedSeed + 60, "@2026-01-01 00:01:00").result.status, 0);
    EXPECT_NE(readFile(output), first);
    EXPECT_EQ(checkEncoding(input, readBmp(output, layoutProblem), pinnedSeed + 60).wrongPixels, 0u);
}

TEST(EncoderArguments, AnythingButOneArgumentIsRefused)
{
    const std::vector<std::vector<std::string>> commands = {{PIXVEIL_BINARY}, {PIXVEIL_BINARY, "a.png", "b.png"}};
    for (const auto& command : commands) {
        const processResult result = runProcess(command);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "There's something wrong with parameters, I guess...\n");
        EXPECT_EQ(result.err, "");
    }
}

// A path that does not fit is refused before any window opens: nothing is
// printed on standard output (the capability report comes with the window)
// and nothing is written.
TEST_F(EncoderRun, PathsThatDoNotFitAreRefusedBeforeAnyWindow)
{
    const struct {
        std::string path;
        const char* limit;
    } cases[] = {
        {std::string(200, 'd') + "/" + std::string(59, 'a') + ".png", "the image path is longer than 259 characters"},
        {std::string(255, 'd') + "/a", "the directory part of the image path is longer than 255 characters"},
        {std::string(252, 'a') + ".png", "the image file name is longer than 251 characters (without its extension)"},
        {"a." + std::string(255, 'e'), "the extension of the image file name is longer than 255 characters"},
        {std::string(199, 'd') + "/" + std::string(52, 'a'), "the output path would be longer than 259 characters"},
    };
    for (const auto& refused : cases) {
        const processResult result = runProcess({PIXVEIL_BINARY, refused.path}, {}, scratch.path());
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, std::string("pixveil: cannot name the output: ") + refused.limit + "\n");
    }
    EXPECT_TRUE(listDirectory(scratch.path()).empty());
}

TEST_F(EncoderRun, InputsThatAreNoImageEndInGlutsFatalError)
{
    std::ofstream(scratch.file("text.png")) << "this is no image\n";
    mkdir(scratch.file("folder.png").c_str(), 0755);
    mkfifo(scratch.file("pipe.png").c_str(), 0644);
    const struct {
        std::string path;
        const char* reason;
    } cases[] = {
        {scratch.file("missing.png"), "Unable to open file"},
        {scratch.file("text.png"), "Image not of any known type, or corrupt (formats read: PNG, JPEG, GIF, WebP, "
                                   "TIFF, BMP, PNM, PSD, TGA, HDR, DDS, HEIC, AVIF)"},
        {scratch.file("folder.png"), "not a regular file"},
        // Neither a FIFO without a writer nor an endless device is waited on or read.
        {scratch.file("pipe.png"), "not a regular file"},
        {"/dev/zero", "not a regular file"},
    };
    for (const auto& input : cases) {
        const processResult result = encode(input.path).result;
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, std::string(successfulOutput) + "Something is wrong with your image...\n"
                                  + "Texture loading failed: '" + input.reason + "'\n");
        EXPECT_EQ(result.err, resizeWithoutWindow);
    }
    EXPECT_EQ(listDirectory(scratch.path()).size(), 3u) << "an output file was written";
}

// The failed save's reason is the writer's; the encoder's part is one line on
// standard error that names the output, a failure status, and no output.
void expectOneFailureLine(const processResult& result, const std::string& output)
{
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, successfulOutput);
    const std::string prefix = "pixveil: " + output + " was not written: ";
    EXPECT_EQ(result.err.compare(0, prefix.size(), prefix), 0) << result.err;
    EXPECT_GT(result.err.size(), prefix.size() + 1) << "no reason given";
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "not exactly one line: " << result.err;
}

TEST_F(EncoderRun, AnOutputThatCannotBeCreatedFails)
{
    makeImage(32, 32, {}, "PNG24:" + scratch.file("in.png"));
    mkdir(scratch.file("in_enc.bmp").c_str(), 0755);
    expectOneFailureLine(encode(scratch.file("in.png")).result, scratch.file("in_enc.bmp"));
    EXPECT_EQ(listDirectory(scratch.path()).size(), 2u) << "something was left beside the input";
}

// A full disk, made with a file size limit: the writer's short file is found
// by its size and reported, and no output is left.
TEST_F(EncoderRun, AShortOutputFileFails)
{
    makeImage(64, 64, {}, "PNG24:" + scratch.file("in.png"));
    const processResult result =
        runProcess({"/bin/bash", "-c", "trap '' XFSZ; ulimit -f 4; exec \"$0\" \"$@\"", PIXVEIL_BINARY,
                    scratch.file("in.png")},
                   pinnedClock());
    expectOneFailureLine(result, scratch.file("in_enc.bmp"));
    EXPECT_NE(result.err.find("12342"), std::string::npos) << "the reason does not name the expected size";
    EXPECT_EQ(listDirectory(scratch.path()), std::vector<std::string>{"in.png"});
}

// The first texture name goes to the image, the second to the noise.
TEST_F(EncoderRun, AFailedNoiseTextureFails)
{
    makeImage(32, 32, {}, "PNG24:" + scratch.file("in.png"));
    const processResult result = encode(scratch.file("in.png"), pinnedSeed, "@2026-01-01 00:00:00",
                                        PIXVEIL_FAIL_TEXTURE_NAME, {"PIXVEIL_TEST_FAIL_TEXTURE_NAME=2"})
                                     .result;
    EXPECT_EQ(result.status, 1);
    const std::string reason = "Failed to generate an OpenGL texture name; missing OpenGL context?";
    EXPECT_EQ(result.out, std::string(successfulOutput) + "Something is wrong...\nTexture loading failed: '" + reason
                              + "'\n");
    EXPECT_EQ(result.err, "pixveil: " + scratch.file("in_enc.bmp")
                              + " was not written: the noise texture could not be made (" + reason + ")\n");
    EXPECT_FALSE(fileExists(scratch.file("in_enc.bmp")));
}

// 64 x 32 RGBA: the noise buffer is the only allocation of 64 * 32 * 3 bytes.
TEST_F(EncoderRun, NoiseAllocationFailureFails)
{
    makeImage(64, 32, {"-alpha", "set"}, "PNG32:" + scratch.file("in.png"));
    const processResult result = encode(scratch.file("in.png"), pinnedSeed, "@2026-01-01 00:00:00",
                                        PIXVEIL_FAIL_ALLOCATION, {"PIXVEIL_TEST_FAIL_MALLOC_SIZE=6144"})
                                     .result;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, successfulOutput);
    EXPECT_EQ(result.err, "pixveil: " + scratch.file("in_enc.bmp")
                              + " was not written: no memory for the 6144-byte noise buffer\n");
    EXPECT_FALSE(fileExists(scratch.file("in_enc.bmp")));
}

} // namespace
