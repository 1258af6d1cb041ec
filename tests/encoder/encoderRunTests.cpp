// The real encoder on a private X server with Mesa: every output pixel is
// checked against SOIL's own texture of the input and the noise of the pinned
// clock second; and what the encoder says when it cannot encode.

#include "tests/support/encodedImages.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace {

// Each kind of texture the shader samples (RGB, RGBA, grey, compressed) and
// shapes; the other formats' textures are checked in-process (tests/safeload).
TEST(EncoderRun, EncodesEveryKindOfTextureAndShapeFaithfully)
{
    scratchDirectory scratch;
    const textLines translucent = {"-alpha", "set", "-channel", "A", "-evaluate", "set", "60%", "+channel"};
    const struct {
        const char* format;
        const char* name;
        int width, height;
        textLines options;
        int textureWidth, textureHeight;
    } inputs[] = {
        {"PNG24:", "rgb.png", 300, 200, {}, 512, 256},
        {"PNG32:", "rgba.png", 128, 64, translucent, 128, 64},
        {"", "grey.png", 200, 100, {"-colorspace", "Gray", "-define", "png:color-type=0"}, 256, 128},
        {"", "compressed.dds", 64, 32, {"-define", "dds:compression=dxt1", "-define", "dds:mipmaps=0"}, 64, 32},
        // Rows of 1 and 2 texels are no multiple of 4 bytes.
        {"PNG24:", "one.png", 1, 64, {}, 1, 64},
        {"PNG24:", "two.png", 2, 32, {}, 2, 32},
        {"PNG24:", "stretched.png", 2, 100, {}, 2, 128},
        // Beyond the window's first size (800 x 600) and beyond the screen.
        {"PNG24:", "large.png", 1024, 1024, {}, 1024, 1024},
        {"PNG24:", "huge.png", 1500, 1100, {}, 2048, 2048},
    };
    std::bitset<8> rotationsUsed;
    for (const auto& input : inputs) {
        makeImage(input.width, input.height, input.options, input.format + scratch.file(input.name));
        const rgbImage texture = encodeFaithfully(scratch.file(input.name), pinnedSeed, &rotationsUsed);
        EXPECT_EQ(texture.width, input.textureWidth) << input.name;
        EXPECT_EQ(texture.height, input.textureHeight) << input.name;
    }
    EXPECT_TRUE(rotationsUsed.all()) << rotationsUsed;
}

// The noise, and with it the file, depends on the clock's second alone.
TEST(EncoderRun, SameSecondGivesTheSameFileAndAnotherSecondAnother)
{
    scratchDirectory scratch;
    const std::string image = scratch.file("in.png");
    makeImage(64, 64, {}, "PNG24:" + image);
    encodeFaithfully(image);
    const std::string first = readFile(encodedPathOf(image));
    encodeFaithfully(image);
    EXPECT_TRUE(readFile(encodedPathOf(image)) == first);
    encodeFaithfully(image, pinnedSeed + 60);
    EXPECT_FALSE(readFile(encodedPathOf(image)) == first);
}

// Started without standard output, or without any standard descriptor, the
// encoder opens /dev/null in their place: its X connection would otherwise
// take descriptor 1, and the capability report written into it would leave
// the server and the encoder waiting on each other for good. It ends as usual
// and writes the very file of an ordinary run.
TEST(EncoderRun, EncodesWithItsStandardDescriptorsClosed)
{
    scratchDirectory scratch;
    const std::string image = scratch.file("in.png");
    makeImage(64, 64, {}, "PNG24:" + image);
    encodeFaithfully(image);
    const std::string ordinary = readFile(encodedPathOf(image));
    for (const textLines& closing : {withStandardOutputClosed, withStandardDescriptorsClosed}) {
        SCOPED_TRACE(closing[2]);
        std::remove(encodedPathOf(image).c_str());
        textLines command = closing;
        command.insert(command.end(), {PIXVEIL_ENCODER, image});
        const processResult run = childProcess(command, pinnedClock()).wait(60);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(readFile(encodedPathOf(image)) == ordinary) << "not the ordinary run's file";
    }
}

// -O DIR and --output-dir DIR write the output under its usual name into
// DIR, the very bytes of a run beside the input at the same clock second, so
// that a read-only folder of images can be encoded. Root writes into a
// read-only folder all the same, so nothing may appear beside the input. The
// path in the folder has the usual limits. With one argument, that argument
// is the image whatever its name: "-O" too.
TEST(EncoderRun, WritesIntoAnOutputFolderAndNothingBesideTheInput)
{
    scratchDirectory scratch;
    const auto [inputs, outputs, image] = makeEncodedInputAndOutputFolders(scratch.path());
    const std::string ordinary = readFile(encodedPathOf(image));
    ASSERT_EQ(std::remove(encodedPathOf(image).c_str()), 0);
    ASSERT_EQ(chmod(inputs.c_str(), 0555), 0);
    const struct {
        textLines arguments;
        std::string directory;
    } runs[] = {
        {{"-O", "out", "in/photo.png"}, scratch.path()},
        {{"--output-dir", outputs + "/", image}, ""},
        {{"-O", ".", "../in/photo.png"}, outputs},
    };
    for (const auto& run : runs) {
        SCOPED_TRACE(run.arguments[0] + " " + run.arguments[1]);
        textLines command = {PIXVEIL_ENCODER};
        command.insert(command.end(), run.arguments.begin(), run.arguments.end());
        const processResult encoded = runProcess(command, pinnedClock(), run.directory);
        EXPECT_EQ(encoded.status, 0) << encoded.err;
        EXPECT_EQ(encoded.out, encoderSuccessOutput);
        EXPECT_EQ(encoded.err, "");
        EXPECT_TRUE(readFile(outputs + "/photo_enc.bmp") == ordinary) << "not the ordinary run's file";
        EXPECT_EQ(namesIn(inputs), textLines{"photo.png"});
        EXPECT_EQ(namesIn(outputs), textLines{"photo_enc.bmp"});
        std::remove((outputs + "/photo_enc.bmp").c_str());
    }
    ASSERT_EQ(chmod(inputs.c_str(), 0755), 0);

    const std::string deepFolder = scratch.file(std::string(230, 'o'));
    ASSERT_EQ(mkdir(deepFolder.c_str(), 0755), 0);
    const processResult tooLong = runProcess({PIXVEIL_ENCODER, "-O", deepFolder, image});
    EXPECT_EQ(tooLong.status, 1);
    EXPECT_EQ(tooLong.out, "");
    EXPECT_EQ(tooLong.err, "pixveil: cannot name the output: the output path would be longer than 259 characters\n");
    EXPECT_EQ(namesIn(deepFolder), textLines{});

    ASSERT_EQ(rename(image.c_str(), scratch.file("-O").c_str()), 0);
    const processResult named = runProcess({PIXVEIL_ENCODER, "-O"}, pinnedClock(), scratch.path());
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_TRUE(readFile(scratch.file("-O_enc.bmp")) == ordinary) << "the file named -O was not encoded as itself";
}

// Refused before any window opens: the capability report, which comes with
// the window, is not printed, and nothing is written.
TEST(EncoderRun, RefusesBadCommandLinesBeforeAnyWindow)
{
    scratchDirectory scratch;
    const std::string wrongCount = "There's something wrong with parameters, I guess...\n";
    const struct {
        textLines arguments;
        std::string out;
        std::string err;
    } cases[] = {
        {{}, wrongCount, ""},
        {{"a.png", "b.png"}, wrongCount, ""},
        {{"-O", "a.png"}, wrongCount, ""},
        {{"-O", scratch.path(), "a.png", "b.png"}, wrongCount, ""},
        {{"-o", scratch.path(), "a.png"}, wrongCount, ""},
        {{"a.png", "-O", scratch.path()}, wrongCount, ""},
        {{"-O", scratch.file("missing"), "a.png"}, "",
         "pixveil: the output folder " + scratch.file("missing") + " cannot be used: No such file or directory\n"},
        {{"--output-dir", "/dev/null", "a.png"}, "",
         "pixveil: the output folder /dev/null cannot be used: it is not a directory\n"},
        {{std::string(252, 'a') + ".png"}, "",
         "pixveil: cannot name the output: the image file name is longer than 251 characters (without its "
         "extension)\n"},
    };
    for (const auto& refused : cases) {
        textLines command = {PIXVEIL_ENCODER};
        command.insert(command.end(), refused.arguments.begin(), refused.arguments.end());
        const processResult run = runProcess(command, {}, scratch.path());
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, refused.out);
        EXPECT_EQ(run.err, refused.err);
    }
    EXPECT_EQ(namesIn(scratch.path()), textLines{});
}

TEST(EncoderRun, InputsThatAreNoImageEndInGlutsFatalError)
{
    scratchDirectory scratch;
    writeFile(scratch.file("text.png"), "this is no image\n");
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
        const processResult run = runProcess({PIXVEIL_ENCODER, input.path});
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, std::string(encoderSuccessOutput) + "Something is wrong with your image...\n" +
                               "Texture loading failed: '" + input.reason + "'\n");
        EXPECT_EQ(run.err, "freeglut (Pixveil4242):  ERROR:  Function <glutReshapeWindow> called with no current "
                           "window defined.\n");
    }
    EXPECT_EQ(namesIn(scratch.path()), (textLines{"folder.png", "pipe.png", "text.png"}));
}

} // namespace
