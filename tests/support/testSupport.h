#pragma once

// What the test programs share: programs run with their output captured,
// scratch directories, files, images made with ImageMagick, and the
// environment that preloads a library or pins the encoder's clock.

#include <sys/types.h>

#include <algorithm>
#include <cmath>
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

// Put before a command, these run it as `command >&-` and `command <&- >&-
// 2>&-` do: with standard output, or all three standard descriptors, closed.
inline const textLines withStandardOutputClosed = {"/bin/sh", "-c", "exec \"$0\" \"$@\" >&-"};
inline const textLines withStandardDescriptorsClosed = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};

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

// Runs programs as a user whom file permissions bind, for the tests that need
// them to (root ignores them): the user nobody when this process runs as root,
// this process's own user otherwise. nobody may be unable to reach the files
// this process reaches: a checkout in root's home directory (mode 0700 on a
// fresh Debian) holds the program, the library the sanitizer pass preloads and
// its leak suppressions, and the private X server's authority file is readable
// by its owner alone. setpriv still starts such a program, as it keeps root's
// capabilities up to the exec, but the program's loader, running as nobody,
// cannot open the preloaded library and says so on standard error, a line the
// test does not expect; and a sanitizer that finds a leak would end the
// program unable to read its suppressions instead of reporting it. So that user
// runs a copy of the program, with the environment naming copies of those
// files, all in a folder of this object's that everyone may read: the program
// runs as the pass runs every other, preload and leak check included.
class unprivilegedUser {
public:
    unprivilegedUser();
    // The command that runs `arguments` (a program's path, then its
    // arguments) as that user.
    textLines command(textLines arguments);
    // The entries to add to the environment of a program run by command().
    textLines environment();

private:
    // A copy of `path` in `copies`, under its own name, that everyone may read
    // (and run, when the original may be run).
    std::string copyOf(const std::string& path);
    // The value of a sanitizer's options variable with its suppressions file
    // replaced by a copy.
    std::string withSuppressionsCopied(const std::string& options);

    bool switchesUser;
    scratchDirectory copies;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& contents);
bool fileExists(const std::string& path);
// The names in a directory, sorted.
textLines namesIn(const std::string& directory);
textLines splitLines(const std::string& text);

// `value` as `byteCount` bytes, lowest first; and the number that `byteCount`
// bytes of `bytes` from `at` hold, lowest first.
std::string littleEndianBytes(std::uint32_t value, int byteCount = 4);
std::uint32_t littleEndianAt(const std::string& bytes, std::size_t at, int byteCount = 4);

// A byte rotated left by `amount` bits (0 to 7), as the encoder's shader
// rotates each sample before the noise.
inline unsigned char rotateLeft(unsigned char value, int amount)
{
    return static_cast<unsigned char>((value << amount) | (value >> ((8 - amount) & 7)));
}

// A photo-like picture made without ImageMagick, red, green and blue a texel:
// smooth shading, different in each channel, with seeded grain of up to
// ±`grain` on top (0: none).
inline std::vector<unsigned char> photoLikePicture(int width, int height, int grain = 24)
{
    std::vector<unsigned char> picture(static_cast<std::size_t>(width) * height * 3);
    std::uint32_t state = 7;
    for (std::size_t i = 0; i < picture.size(); ++i) {
        const auto x = static_cast<double>(i / 3 % static_cast<std::size_t>(width));
        const auto y = static_cast<double>(i / 3 / static_cast<std::size_t>(width));
        state = state * 1103515245u + 12345u;
        const double shade = 128 + 70 * std::sin(x / (5.0 + static_cast<double>(i % 3))) * std::cos(y / 9.0);
        const auto grainLevels = static_cast<std::uint32_t>(2 * grain + 1);
        const int noise = grain ? static_cast<int>((state >> 16) % grainLevels) - grain : 0;
        picture[i] = static_cast<unsigned char>(std::clamp(static_cast<int>(shade) + noise, 0, 255));
    }
    return picture;
}

// The mean absolute difference of the samples of two pictures of one size.
inline double meanAbsoluteDifference(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b)
{
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        sum += a[i] > b[i] ? a[i] - b[i] : b[i] - a[i];
    return sum / static_cast<double>(a.size());
}

// Runs ImageMagick's convert with these arguments, on one thread (seeded images
// are then the same everywhere); throws when it fails.
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
