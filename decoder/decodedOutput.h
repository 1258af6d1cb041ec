#pragma once

#include <string>
#include <vector>

// Where and how the decoder writes its picture. PNG by default: nothing of a
// decoded picture is lossy, and a PNG is smaller than the BMP (about two
// thirds of it for a grainy photo, far less for flat pictures); BMP for
// whoever relies on it.
struct decodedOutput {
    enum class format { png, bmp };
    format kind = format::png;
    // Empty for standard output (PNG only).
    std::string path;

    bool toStandardOutput() const { return path.empty(); }
    // The path for messages: the file's, or "standard output".
    std::string name() const { return toStandardOutput() ? "standard output" : path; }
};

// The format a file name asks for: BMP for a name ending in ".bmp" (in any
// case), PNG for any other.
decodedOutput::format formatOfName(const std::string& path);

// Writes `rgb` (width x height texels of red, green and blue, rows top first)
// as `output` asks: a file through the atomic writer (core/atomicOutput.h),
// or PNG bytes to standard output. A picture whose three colours are equal in
// every texel is written grey. Returns false with a one-line reason.
bool writeDecodedPicture(const decodedOutput& output, const std::vector<unsigned char>& rgb, int width, int height,
                         std::string& failureReason);
