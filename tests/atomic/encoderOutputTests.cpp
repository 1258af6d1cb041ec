// The encoder's output under a failed save, eight simultaneous runs and
// signals during the write: the real binary on Mesa under an X server.
// A file at the output path is always complete, and no temporary file stays.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Arguments = std::vector<std::string>;

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::vector<std::string> temporariesIn(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        if (entry.path().filename().string().find(".tmp.") != std::string::npos)
            names.push_back(entry.path().filename().string());
    return names;
}

// A child process with extra environment entries, its standard error in a
// file. SIGINT and SIGTERM start at their defaults whatever the test runner
// was given.
class childProcess {
public:
    childProcess(const Arguments& arguments, const Arguments& extraEnvironment, const fs::path& errorPath)
    {
        std::vector<std::string> environment(extraEnvironment);
        for (char** entry = environ; *entry; ++entry)
            environment.emplace_back(*entry);
        std::vector<char*> argumentPointers;
        for (const std::string& argument : arguments)
            argumentPointers.push_back(const_cast<char*>(argument.c_str()));
        argumentPointers.push_back(nullptr);
        std::vector<char*> environmentPointers;
        for (const std::string& entry : environment)
            environmentPointers.push_back(const_cast<char*>(entry.c_str()));
        environmentPointers.push_back(nullptr);

        posix_spawn_file_actions_t redirections;
        posix_spawn_file_actions_init(&redirections);
        posix_spawn_file_actions_addopen(&redirections, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&redirections, 2, errorPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGTERM);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        if (posix_spawnp(&pid, argumentPointers[0], &redirections, &attributes, argumentPointers.data(),
                         environmentPointers.data()) != 0)
            pid = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&redirections);
    }

    // The raw wait status.
    int wait()
    {
        int status = -1;
        waitpid(pid, &status, 0);
        return status;
    }

    pid_t pid = -1;
};

// AddressSanitizer must accept a preloaded library ahead of its runtime.
Arguments runEnvironment(const std::string& preload = "")
{
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    return {"LD_PRELOAD=" + preload,
            std::string("ASAN_OPTIONS=") + (asanOptions ? asanOptions : "") + ":verify_asan_link_order=0"};
}

Arguments failingStdioEnvironment(const std::string& call)
{
    Arguments environment = runEnvironment(FAILING_STDIO_PATH);
    environment.insert(environment.end(), {"FAILING_STDIO_CALL=" + call, "FAILING_STDIO_PATH=pixveil.tmp."});
    return environment;
}

// The noise is seeded with the clock's second. A clock that starts at a fixed
// second and runs on ("@" form) is not enough here: eight runs sharing two
// cores take more than a second to reach the seeding, and some then seed with
// the next second. So the clock stands still.
Arguments pinnedClockEnvironment()
{
    Arguments environment = runEnvironment("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");
    environment.push_back("FAKETIME=2026-01-01 00:00:00");
    return environment;
}

void makeImage(const fs::path& path, const std::string& size, const std::string& picture)
{
    std::string command =
        "/usr/bin/convert -size " + size + " -seed 7 " + picture + " -depth 8 '" + path.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class EncoderOutput : public ::testing::Test {
protected:
    void SetUp() override
    {
        char directoryTemplate[] = "/tmp/pixveil-output-XXXXXX";
        directory = mkdtemp(directoryTemplate);
        // Readable for the unprivileged user of the read-only case.
        fs::permissions(directory, fs::perms(0755));
        scratch = directory.string() + "-scratch";
        fs::create_directory(scratch);
        errorPath = scratch / "stderr";
    }
    void TearDown() override
    {
        umount2((scratch / "disk").c_str(), MNT_DETACH);
        fs::remove_all(directory);
        fs::remove_all(scratch);
    }

    // Encodes `input` and waits; returns the wait status.
    int encode(const fs::path& input, const Arguments& prefix = {}, const Arguments& environment = runEnvironment())
    {
        Arguments arguments(prefix);
        arguments.push_back(ENCODER_PATH);
        arguments.push_back(input.string());
        return childProcess(arguments, environment, errorPath).wait();
    }

    // Starts `arguments`, sends `signalNumber` as soon as a temporary file
    // appears beside `input`, and returns the wait status. Fails the test if
    // the run ended before a temporary file was seen.
    int interruptWhileWriting(const Arguments& arguments, int signalNumber, pid_t* serverPid = nullptr)
    {
        childProcess run(arguments, runEnvironment(), errorPath);
        bool seen = false;
        int status = -1;
        while (!seen && waitpid(run.pid, &status, WNOHANG) == 0) {
            seen = !temporariesIn(directory).empty();
            if (seen && serverPid)
                *serverPid = childNamed(run.pid, "Xvfb");
            if (seen)
                kill(run.pid, signalNumber);
        }
        EXPECT_TRUE(seen) << "the run ended before its temporary file appeared";
        return seen ? run.wait() : status;
    }

    static pid_t childNamed(pid_t parent, const std::string& name)
    {
        for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
            std::ifstream stat(entry.path() / "stat");
            std::string pid, command, state;
            pid_t parentPid = 0;
            if (stat >> pid >> command >> state >> parentPid && parentPid == parent && command == "(" + name + ")")
                return std::stoi(pid);
        }
        return -1;
    }

    std::vector<std::string> errorLines() const
    {
        std::vector<std::string> lines;
        std::istringstream stream(readFile(errorPath));
        for (std::string line; std::getline(stream, line);)
            lines.push_back(line);
        return lines;
    }

    fs::path directory;
    fs::path scratch;
    fs::path errorPath;
};

} // namespace

TEST_F(EncoderOutput, AnEarlierOutputSurvivesAFailedSave)
{
    const fs::path input = directory / "photo.png";
    const fs::path output = directory / "photo_enc.bmp";
    makeImage(input, "64x64", "plasma:fractal");
    ASSERT_EQ(encode(input), 0) << readFile(errorPath);
    const std::string earlierOutput = readFile(output);
    ASSERT_EQ(earlierOutput.size(), 54u + 64 * 64 * 3);

    struct failureCase {
        std::string name;
        Arguments prefix;
        Arguments environment;
    };
    const std::vector<failureCase> cases = {
        {"read-only directory for an unprivileged user",
         {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"},
         runEnvironment()},
        {"disk full while writing", {}, failingStdioEnvironment("fwrite")},
        {"disk full when closing", {}, failingStdioEnvironment("fclose")},
        {"device error on flushing", {}, failingStdioEnvironment("fsync")},
    };
    for (const failureCase& failure : cases) {
        SCOPED_TRACE(failure.name);
        const int status = encode(input, failure.prefix, failure.environment);

        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "wait status " << status;
        const std::vector<std::string> lines = errorLines();
        ASSERT_EQ(lines.size(), 1u) << readFile(errorPath);
        EXPECT_NE(lines[0].find(output.string()), std::string::npos) << lines[0];
        EXPECT_TRUE(readFile(output) == earlierOutput) << "the earlier output changed";
        EXPECT_EQ(temporariesIn(directory), std::vector<std::string>{});
    }
}

// A real full disk: a small file system with room for an earlier, smaller
// output but not for the new one.
TEST_F(EncoderOutput, AnEarlierOutputSurvivesAFullDisk)
{
    const fs::path smallDisk = scratch / "disk";
    fs::create_directory(smallDisk);
    if (mount("tmpfs", smallDisk.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    const fs::path input = smallDisk / "photo.png";
    const fs::path output = smallDisk / "photo_enc.bmp";
    makeImage(input, "64x64", "gradient:red-blue");
    EXPECT_EQ(encode(input), 0) << readFile(errorPath);
    const std::string earlierOutput = readFile(output);
    makeImage(input, "128x128", "gradient:red-blue");

    const int status = encode(input);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "wait status " << status;
    EXPECT_NE(readFile(errorPath).find(output.string()), std::string::npos) << readFile(errorPath);
    EXPECT_EQ(earlierOutput.size(), 54u + 64 * 64 * 3);
    EXPECT_TRUE(readFile(output) == earlierOutput) << "the earlier output changed";
    EXPECT_EQ(temporariesIn(smallDisk), std::vector<std::string>{});
}

// While they run, whatever is at the output path is that same complete image.
TEST_F(EncoderOutput, EightSimultaneousRunsWriteWhatOneRunWrites)
{
    const fs::path input = directory / "photo.png";
    const fs::path output = directory / "photo_enc.bmp";
    makeImage(input, "512x512", "plasma:fractal");
    ASSERT_EQ(encode(input, {}, pinnedClockEnvironment()), 0) << readFile(errorPath);
    const std::string singleRunOutput = readFile(output);
    ASSERT_EQ(singleRunOutput.size(), 54u + 512 * 512 * 3);

    std::vector<childProcess> runs;
    for (int run = 0; run < 8; ++run)
        runs.emplace_back(Arguments{ENCODER_PATH, input.string()}, pinnedClockEnvironment(),
                          scratch / ("stderr" + std::to_string(run)));
    int incompleteOutputsSeen = 0;
    for (childProcess& run : runs) {
        int status = -1;
        while (waitpid(run.pid, &status, WNOHANG) == 0)
            if (readFile(output) != singleRunOutput)
                ++incompleteOutputsSeen;
        EXPECT_EQ(status, 0);
    }

    EXPECT_EQ(incompleteOutputsSeen, 0);
    EXPECT_TRUE(readFile(output) == singleRunOutput) << "the output differs from a single run's";
    EXPECT_EQ(temporariesIn(directory), std::vector<std::string>{});
}

TEST_F(EncoderOutput, SigtermDuringTheWriteLeavesNoFile)
{
    const fs::path input = directory / "large.png";
    makeImage(input, "4096x4096", "gradient:red-blue");

    const int status = interruptWhileWriting({ENCODER_PATH, input.string()}, SIGTERM);

    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << "wait status " << status;
    EXPECT_FALSE(fs::exists(directory / "large_enc.bmp"));
    EXPECT_EQ(temporariesIn(directory), std::vector<std::string>{});
}

// The run command (./pixveil hands over to this script when there is no
// display) passes SIGINT and SIGTERM on and still stops its X server.
TEST_F(EncoderOutput, TheRunCommandForwardsSignalsAndStopsItsServer)
{
    const fs::path input = directory / "large.png";
    makeImage(input, "4096x4096", "gradient:red-blue");
    for (int signalNumber : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(signalNumber));
        pid_t serverPid = -1;

        const int status = interruptWhileWriting({XVFB_RUN_PRIVATE_PATH, ENCODER_PATH, input.string()},
                                                 signalNumber, &serverPid);

        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 128 + signalNumber) << "wait status " << status;
        EXPECT_FALSE(fs::exists(directory / "large_enc.bmp"));
        EXPECT_EQ(temporariesIn(directory), std::vector<std::string>{});
        ASSERT_GT(serverPid, 0);
        EXPECT_NE(kill(serverPid, 0), 0) << "the private X server is still running";
    }
}
