#pragma once

// What the test programs share: programs run with their output captured,
// scratch directories, files, images made with ImageMagick, and the
// environment that preloads a library or pins the encoder's clock.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

using textLines = std::vector<std::string>;

struct processResult {
    int status = -1; // exit status, or 128 + the number of the signal that ended it
    int signal = 0;  // that signal, 0 when the program exited
    std::string out;
    std::string err;
};

// A program started with standard input from /dev/null, standard output and
// error captured, SIGINT and SIGTERM at their defaults, `environment` entries
// ("NAME=value") added to this process's environment, in `directory` when it
// is not empty. The first argument is the program, looked up in PATH.
class childProcess {
public:
    explicit childProcess(const textLines& arguments, const textLines& environment = {},
                          const std::string& directory = "");
    ~childProcess();
    childProcess(const childProcess&) = delete;
    childProcess& operator=(const childProcess&) = delete;

    pid_t pid() const { return child; }
    // Whether the program is still running; reaps it once it has ended.
    bool running();
    // What it has written to standard output so far.
    std::string outputSoFar() const;
    // Waits for the program to end; with a timeout, one still running then is
    // killed (status 128 + SIGKILL).
    processResult wait(double timeoutSeconds = 0);

private:
    pid_t child = -1;
    int waitStatus = -1;
    bool reaped = false;
    std::string outPath;
    std::string errPath;
};

processResult runProcess(const textLines& arguments, const textLines& environment = {},
                         const std::string& directory = "");

// A fresh directory under /tmp, readable by everyone, removed with everything
// in it on destruction.
class scratchDirectory {
public:
    scratchDirectory();
    ~scratchDirectory();
    const std::string& path() const { return directory; }
    std::string file(const std::string& name) const { return directory + "/" + name; }

private:
    std::string directory;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool fileExists(const std::string& path);
// The names in a directory, sorted.
textLines namesIn(const std::string& directory);
textLines splitLines(const std::string& text);

// Runs ImageMagick's convert with these arguments; throws when it fails.
void convert(const textLines& arguments);
// A photo-like picture (a seeded plasma, 8 bits a sample) of the given size;
// `options` go before `output`, which may carry a format prefix ("PNG24:...").
void makeImage(int width, int height, const textLines& options, const std::string& output);

// LD_PRELOAD of `libraries` (colon-separated), and AddressSanitizer told to
// accept a preloaded library ahead of its runtime.
textLines preloading(const std::string& libraries);

// 2026-01-01 00:00:00 UTC.
inline constexpr std::uint32_t pinnedSeed = 1767225600u;
// The calendar clock stopped at second `seed`, so that the encoder seeds its
// noise with it, plus `libraries` to preload. The monotonic clock runs on, for
// the timeouts that rely on it.
textLines pinnedClock(std::uint32_t seed = pinnedSeed, const std::string& libraries = "");
