#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

// The frame read back as the bytes of the 24-bit BMP file that SOIL's
// screenshot writer makes of it (bmpLayout.h), header and padded rows in one
// buffer, so that saving it is one read-back and one write.
class bmpCapture {
public:
    // Reads the lower-left width x height pixels of the current read buffer;
    // needs a current OpenGL context and restores the caller's pack alignment.
    // False when there is no memory for them.
    bool read(std::uint32_t width, std::uint32_t height);

    const unsigned char* fileBytes() const { return buffer.get(); }
    std::uint64_t fileSize() const { return size; }

private:
    struct freeBuffer {
        void operator()(unsigned char* bytes) const { std::free(bytes); }
    };
    std::unique_ptr<unsigned char, freeBuffer> buffer;
    std::uint64_t size = 0;
};

// Writes the bytes to `file` in one call. Returns false with a one-line reason
// naming `path`, the system's error and how far the write got.
bool writeWholeFile(std::FILE* file, const char* path, const unsigned char* bytes, std::uint64_t size,
                    std::string& failureReason);
