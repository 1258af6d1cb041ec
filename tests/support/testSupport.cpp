#include "tests/support/testSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

std::string temporaryFile(const char* role)
{
    std::string name = std::string("/tmp/pixveil-test-") + role + "-XXXXXX";
    const int descriptor = mkstemp(name.data());
    if (descriptor < 0)
        throw std::runtime_error("cannot make a temporary file");
    close(descriptor);
    return name;
}

// Runs in the forked child. The test programs run one thread, so the child
// may allocate before exec.
[[noreturn]] void execute(const textLines& arguments, const textLines& environment, const std::string& directory,
                          const std::string& outPath, const std::string& errPath)
{
    const int input = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_TRUNC);
    const int err = open(errPath.c_str(), O_WRONLY | O_TRUNC);
    if (input < 0 || out < 0 || err < 0 || dup2(input, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
        _exit(126);
    for (const std::string& entry : environment) {
        const std::size_t equals = entry.find('=');
        setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    // A test runner started in the background may have these ignored, and an
    // ignored signal stays ignored across exec.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    if (!directory.empty() && chdir(directory.c_str()) != 0)
        _exit(126);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

} // namespace

childProcess::childProcess(const textLines& arguments, const textLines& environment, const std::string& directory)
    : outPath(temporaryFile("out")), errPath(temporaryFile("err"))
{
    child = fork();
    if (child == 0)
        execute(arguments, environment, directory, outPath, errPath);
}

childProcess::~childProcess()
{
    if (child > 0 && !reaped) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    unlink(outPath.c_str());
    unlink(errPath.c_str());
}

bool childProcess::running()
{
    if (!reaped && waitpid(child, &waitStatus, WNOHANG) == child)
        reaped = true;
    return !reaped;
}

std::string childProcess::outputSoFar() const
{
    return readFile(outPath);
}

processResult childProcess::wait(double timeoutSeconds)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (timeoutSeconds > 0 && running() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (timeoutSeconds > 0 && running())
        kill(child, SIGKILL);
    if (!reaped)
        waitpid(child, &waitStatus, 0);
    reaped = true;
    processResult result;
    result.signal = WIFSIGNALED(waitStatus) ? WTERMSIG(waitStatus) : 0;
    result.status = result.signal ? 128 + result.signal : WEXITSTATUS(waitStatus);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

processResult runProcess(const textLines& arguments, const textLines& environment, const std::string& directory)
{
    return childProcess(arguments, environment, directory).wait();
}

scratchDirectory::scratchDirectory()
{
    char name[] = "/tmp/pixveil-test-XXXXXX";
    if (!mkdtemp(name))
        throw std::runtime_error("cannot make a scratch directory");
    directory = name;
    fs::permissions(directory, fs::perms(0755));
}

scratchDirectory::~scratchDirectory()
{
    std::error_code ignored;
    fs::remove_all(directory, ignored);
}

unprivilegedUser::unprivilegedUser() : switchesUser(geteuid() == 0) {}

textLines unprivilegedUser::command(textLines arguments)
{
    if (!switchesUser)
        return arguments;
    arguments.front() = copyOf(arguments.front());
    arguments.insert(arguments.begin(), {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"});
    return arguments;
}

textLines unprivilegedUser::environment()
{
    if (!switchesUser)
        return {};
    textLines entries;
    if (const char* authority = std::getenv("XAUTHORITY"))
        entries.push_back("XAUTHORITY=" + copyOf(authority));
    // The loader takes the preloaded libraries separated by colons or spaces.
    if (const char* preloaded = std::getenv("LD_PRELOAD")) {
        std::string copied;
        std::istringstream libraries(preloaded);
        for (std::string library; std::getline(libraries, library, ':');) {
            std::istringstream words(library);
            for (std::string word; words >> word;)
                copied += (copied.empty() ? "" : ":") + (word.find('/') == std::string::npos ? word : copyOf(word));
        }
        entries.push_back("LD_PRELOAD=" + copied);
    }
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"})
        if (const char* options = std::getenv(name))
            entries.push_back(std::string(name) + "=" + withSuppressionsCopied(options));
    return entries;
}

std::string unprivilegedUser::copyOf(const std::string& path)
{
    const std::string copy = copies.file(fs::path(path).filename().string());
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
    const bool runnable = access(path.c_str(), X_OK) == 0;
    fs::permissions(copy, fs::perms(runnable ? 0755 : 0644));
    return copy;
}

// The options as this pass writes them: "name=value" entries separated by
// colons, none of which quotes a colon.
std::string unprivilegedUser::withSuppressionsCopied(const std::string& options)
{
    const std::string key = "suppressions=";
    std::string copied;
    std::istringstream entries(options);
    for (std::string entry; std::getline(entries, entry, ':');) {
        if (entry.rfind(key, 0) == 0 && entry.size() > key.size())
            entry = key + copyOf(entry.substr(key.size()));
        copied += (copied.empty() ? "" : ":") + entry;
    }
    return copied;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream(path, std::ios::binary) << contents;
}

bool fileExists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

textLines namesIn(const std::string& directory)
{
    textLines names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

textLines splitLines(const std::string& text)
{
    textLines lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string littleEndianBytes(std::uint32_t value, int byteCount)
{
    std::string bytes;
    for (int byte = 0; byte < byteCount; ++byte)
        bytes += static_cast<char>(value >> (8 * byte));
    return bytes;
}

std::uint32_t littleEndianAt(const std::string& bytes, std::size_t at, int byteCount)
{
    std::uint32_t value = 0;
    for (int byte = byteCount - 1; byte >= 0; --byte)
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(byte)]);
    return value;
}

void convert(const textLines& arguments)
{
    // On more than one thread ImageMagick's seeded -fx rand() draws different
    // numbers each run, and repeats some across threads: seeded images are
    // made on one, so that they are the same on every machine.
    textLines command = {"/usr/bin/convert", "-limit", "thread", "1"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    const processResult result = runProcess(command);
    if (result.status != 0)
        throw std::runtime_error("convert failed for " + arguments.back() + ": " + result.err);
}

void makeImage(int width, int height, const textLines& options, const std::string& output)
{
    textLines arguments = {"-size", std::to_string(width) + "x" + std::to_string(height),
                           "-seed", "4242", "plasma:fractal", "-depth", "8"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.push_back(output);
    convert(arguments);
}

// The libraries replace the sanitizer pass's own preload, which keeps Mesa's
// driver loaded for the leak check: its threads would then outlive
// libfaketime's clean-up at exit and wait on its torn-down clock. So the leak
// check is off in these processes; the unpinned runs keep it.
textLines preloading(const std::string& libraries)
{
    const char* options = std::getenv("ASAN_OPTIONS");
    return {"LD_PRELOAD=" + libraries,
            std::string("ASAN_OPTIONS=") + (options ? options : "") + ":verify_asan_link_order=0:detect_leaks=0"};
}

// An absolute time without "@" stops libfaketime's clock there; with "@" it
// would run on, and a run that reaches its seeding a second later would seed
// with the next second.
textLines pinnedClock(std::uint32_t seed, const std::string& libraries)
{
    const std::time_t seconds = seed;
    std::tm calendar{};
    gmtime_r(&seconds, &calendar);
    char fakeTime[32];
    std::strftime(fakeTime, sizeof fakeTime, "%Y-%m-%d %H:%M:%S", &calendar);
    textLines environment = preloading(FAKETIME_LIBRARY + (libraries.empty() ? "" : ":" + libraries));
    environment.insert(environment.end(),
                       {std::string("FAKETIME=") + fakeTime, "TZ=UTC", "DONT_FAKE_MONOTONIC=1"});
    return environment;
}
