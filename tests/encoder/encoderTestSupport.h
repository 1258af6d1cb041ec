#pragma once

// Helpers for the tests that run the real encoder: processes, test images made
// with ImageMagick, BMP reading, SOIL's own texture of an input, and the check
// that an output really is the encoding of its input.

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

struct processResult {
    int status = -1;       // exit status, or 128 + signal number
    std::string out;       // standard output
    std::string err;       // standard error
};

// Runs `arguments` (the program first) with `environment` entries ("NAME=value")
// added to this process's environment, in `directory` when it is not empty.
processResult runProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& environment = {},
                         const std::string& directory = "");

// The environment that pins the encoder's clock, and so its noise seed, to
// `fakeTime` ("@YYYY-MM-DD hh:mm:ss", UTC), plus extra libraries to preload.
std::vector<std::string> pinnedClock(const std::string& fakeTime = "@2026-01-01 00:00:00",
                                     const std::string& extraPreload = "");
// 2026-01-01 00:00:00 UTC.
inline constexpr std::uint32_t pinnedSeed = 1767225600u;

// A fresh directory under /tmp, removed with everything in it on destruction.
class scratchDirectory {
public:
    scratchDirectory();
    ~scratchDirectory();
    const std::string& path() const { return directory; }
    std::string file(const std::string& name) const { return directory + "/" + name; }

private:
    std::string directory;
};

// Makes a photo-like image of the given size with /usr/bin/convert; `output`
// may carry a format prefix ("PNG32:...") and `options` go before it.
void makeImage(int width, int height, const std::vector<std::string>& options, const std::string& output);

bool fileExists(const std::string& path);
std::string readFile(const std::string& path);
std::vector<std::string> listDirectory(const std::string& path);

struct rgbImage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb; // top row first, red, green, blue
};

// Reads a 24-bit BMP written by the encoder. `layoutProblem` receives the first
// difference from the layout the encoder promises (header fields, zero padding,
// file size), or stays empty.
rgbImage readBmp(const std::string& path, std::string& layoutProblem);

// The texture the encoder's shader samples for `imagePath`: SOIL's own
// (possibly up-scaled) copy, read back from OpenGL.
rgbImage referenceTexture(const std::string& imagePath);

struct encodingCheck {
    std::size_t wrongPixels = 0;
    std::bitset<8> shiftsUsed; // the rotation amounts that the pixels needed
};

// For every pixel: output XOR noise must equal the input rotated left by one
// amount s (0 to 7) shared by its three channels, with the noise of `seed`.
encodingCheck checkEncoding(const rgbImage& input, const rgbImage& output, std::uint32_t seed);

// The encoder's noise seed is the clock's second when it makes the noise, which
// may lie a few seconds past the pinned start on a slow machine. Returns the
// seed in [first, last] whose noise explains every pixel, or 0 when none does.
std::uint32_t findSeed(const rgbImage& input, const rgbImage& output, std::uint32_t first, std::uint32_t last);
