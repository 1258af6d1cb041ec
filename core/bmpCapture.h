#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// Reads the lower-left width x height pixels of the current read buffer and
// writes them to `file` as the bytes of the 24-bit BMP file that SOIL's
// screenshot writer makes of them (bmpLayout.h). The rows are read straight
// into the file's layout a strip of a few megabytes at a time, header first,
// so that a large frame never needs a buffer of its own size; a frame that
// fits one strip is read once and written in one call. Needs a current OpenGL
// context and restores the caller's pack alignment. False with a one-line
// reason: no memory for a strip, or the write's failure (writeWholeFile).
bool writeCapture(std::FILE* file, const char* path, std::uint32_t width, std::uint32_t height,
                  std::string& failureReason);

// Writes the bytes to `file` in one call. Returns false with a one-line reason
// naming `path`, the system's error and how far the write got.
bool writeWholeFile(std::FILE* file, const char* path, const unsigned char* bytes, std::uint64_t size,
                    std::string& failureReason);
