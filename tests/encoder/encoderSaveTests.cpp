// The encoder's output under failed saves, simultaneous runs and signals: a
// file at the output path is always complete, and no temporary file stays.

#include "core/bmpLayout.h"
#include "tests/support/encodedImages.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>

namespace {

const textLines withFileSizeLimit = {"/bin/bash", "-c", "trap '' XFSZ; ulimit -f 4; exec \"$0\" \"$@\""};

textLines failingStdio(const std::string& call)
{
    textLines environment = preloading(FAILING_STDIO);
    environment.insert(environment.end(), {"FAILING_STDIO_CALL=" + call, "FAILING_STDIO_PATH=pixveil.tmp."});
    return environment;
}

textLines withEntries(textLines environment, const textLines& entries)
{
    environment.insert(environment.end(), entries.begin(), entries.end());
    return environment;
}

textLines encoderCommand(const std::string& image, textLines prefix = {})
{
    prefix.insert(prefix.end(), {PIXVEIL_ENCODER, image});
    return prefix;
}

const std::string noTextureName = "Failed to generate an OpenGL texture name; missing OpenGL context?";

// 64 x 32 RGBA, so that no other buffer has the noise's size (64 * 32 * 3).
class EncoderSave : public ::testing::Test {
protected:
    void SetUp() override { makeImage(64, 32, {"-alpha", "set"}, "PNG32:" + input); }

    // One line on standard error naming the output and containing `reason`,
    // status 1, and nothing in the directory but the input and what was there.
    void expectFailedSave(const processResult& run, const std::string& reason, const textLines& namesBefore)
    {
        EXPECT_EQ(run.status, 1);
        const std::string prefix = "pixveil: " + output + " was not written: ";
        EXPECT_EQ(run.err.rfind(prefix, 0), 0u) << run.err;
        EXPECT_NE(run.err.find(reason, prefix.size()), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "not exactly one line: " << run.err;
        EXPECT_EQ(namesIn(scratch.path()), namesBefore);
    }

    scratchDirectory scratch;
    // Root ignores the permissions that make a directory read-only, so a run
    // as root drops to an unprivileged user for that case.
    unprivilegedUser unprivileged;
    const std::string input = scratch.file("photo.png");
    const std::string output = scratch.file("photo_enc.bmp");
};

TEST_F(EncoderSave, AFailedSaveLeavesTheEarlierOutput)
{
    ASSERT_EQ(runProcess(encoderCommand(input)).status, 0);
    const std::string earlierOutput = readFile(output);
    ASSERT_EQ(earlierOutput.size(), bmpFileSize(64, 32));
    const struct {
        const char* name;
        bool readOnly;
        textLines command;
        textLines environment;
        const char* reason;
        std::string extraOut;
    } cases[] = {
        {"read-only directory", true, unprivileged.command(encoderCommand(input)), unprivileged.environment(),
         "Permission denied", ""},
        {"disk full while writing", false, encoderCommand(input), failingStdio("fwrite"),
         "No space left on device after 1000 of 6198 bytes", ""},
        {"disk full when closing", false, encoderCommand(input), failingStdio("fclose"), "No space left on device", ""},
        {"device error on flushing", false, encoderCommand(input), failingStdio("fsync"), "Input/output error", ""},
        {"file size limit", false, encoderCommand(input, withFileSizeLimit), {}, "File too large after 4096 of 6198 bytes",
         ""},
        // While the image decodes, its texture's storage takes the first name
        // and the noise texture the second.
        {"no name for the noise texture", false, encoderCommand(input),
         withEntries(preloading(FAIL_TEXTURE_NAME), {"PIXVEIL_TEST_FAIL_TEXTURE_NAME=2"}),
         "the noise texture could not be made (Failed to generate an OpenGL texture name; missing OpenGL context?)",
         "Something is wrong...\nTexture loading failed: '" + noTextureName + "'\n"},
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.name);
        chmod(scratch.path().c_str(), failure.readOnly ? 0555 : 0755);
        const processResult run = runProcess(failure.command, failure.environment);
        chmod(scratch.path().c_str(), 0755);
        EXPECT_EQ(run.out, encoderSuccessOutput + failure.extraOut);
        expectFailedSave(run, failure.reason, {"photo.png", "photo_enc.bmp"});
        EXPECT_TRUE(readFile(output) == earlierOutput) << "the earlier output changed";
    }
}

// A large frame is read and written a strip at a time: a write that fails in
// a later strip still says how far the whole file got.
TEST_F(EncoderSave, AWriteCutOffInALaterStripSaysHowFarTheFileGot)
{
    makeImage(2048, 1024, {}, "PNG24:" + input);
    const textLines withFiveMegabytes = {"/bin/bash", "-c", "trap '' XFSZ; ulimit -f 5000; exec \"$0\" \"$@\""};
    const processResult run = runProcess(encoderCommand(input, withFiveMegabytes));
    EXPECT_EQ(run.out, encoderSuccessOutput);
    expectFailedSave(run, "File too large after 5120000 of " + std::to_string(bmpFileSize(2048, 1024)) + " bytes",
                     {"photo.png"});
}

TEST_F(EncoderSave, NoiseAllocationFailureFails)
{
    const processResult run = runProcess(encoderCommand(input), withEntries(preloading(FAIL_ALLOCATION),
                                                                            {"PIXVEIL_TEST_FAIL_MALLOC_SIZE=6144"}));
    EXPECT_EQ(run.out, encoderSuccessOutput);
    expectFailedSave(run, "no memory for the 6144-byte noise buffer", {"photo.png"});
}

// While they run, whatever is at the output path is that same complete image.
TEST_F(EncoderSave, EightSimultaneousRunsWriteWhatOneRunWrites)
{
    makeImage(512, 512, {}, "PNG24:" + input);
    ASSERT_EQ(runProcess(encoderCommand(input), pinnedClock()).status, 0);
    const std::string singleRunOutput = readFile(output);

    std::list<childProcess> runs;
    for (int run = 0; run < 8; ++run)
        runs.emplace_back(encoderCommand(input), pinnedClock());
    int incompleteOutputsSeen = 0;
    for (childProcess& run : runs) {
        while (run.running())
            incompleteOutputsSeen += readFile(output) != singleRunOutput;
        EXPECT_EQ(run.wait().status, 0);
    }
    EXPECT_EQ(incompleteOutputsSeen, 0);
    EXPECT_TRUE(readFile(output) == singleRunOutput) << "the output differs from a single run's";
    EXPECT_EQ(namesIn(scratch.path()), (textLines{"photo.png", "photo_enc.bmp"}));
}

pid_t childNamed(pid_t parent, const std::string& name)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string pid, command, state;
        pid_t parentPid = 0;
        if (stat >> pid >> command >> state >> parentPid && parentPid == parent && command == "(" + name + ")")
            return std::stoi(pid);
    }
    return -1;
}

// SIGINT and SIGTERM while the output is written, to the encoder and to the
// run command's private X server wrapper (./pixveil hands over to it when
// there is no display): the encoder ends by the signal, the wrapper with
// 128 + the signal after stopping its server, and no file is left.
TEST_F(EncoderSave, ASignalDuringTheWriteLeavesNoFile)
{
    convert({"-size", "4096x4096", "gradient:red-blue", "PNG24:" + input});
    const struct {
        bool wrapped;
        int signalNumber;
    } cases[] = {{false, SIGTERM}, {true, SIGINT}, {true, SIGTERM}};
    for (const auto& interruption : cases) {
        SCOPED_TRACE(std::string(interruption.wrapped ? "wrapper, " : "encoder, ") + strsignal(interruption.signalNumber));
        childProcess run(encoderCommand(input, interruption.wrapped ? textLines{XVFB_RUN_PRIVATE} : textLines{}));
        bool seen = false;
        while (!seen && run.running())
            seen = namesIn(scratch.path()).size() > 1;
        ASSERT_TRUE(seen) << "the run ended before its temporary file appeared";
        const pid_t serverPid = childNamed(run.pid(), "Xvfb");
        kill(run.pid(), interruption.signalNumber);
        const processResult result = run.wait();

        EXPECT_EQ(result.status, 128 + interruption.signalNumber);
        EXPECT_EQ(result.signal, interruption.wrapped ? 0 : interruption.signalNumber);
        EXPECT_EQ(namesIn(scratch.path()), textLines{"photo.png"});
        if (interruption.wrapped) {
            ASSERT_GT(serverPid, 0);
            EXPECT_NE(kill(serverPid, 0), 0) << "the private X server is still running";
        }
    }
}

} // namespace
