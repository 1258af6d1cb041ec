#include "core/bmpCapture.h"

#include "core/bmpLayout.h"

#include <GL/gl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// At a pack alignment of 4, OpenGL pads each row read as blue-green-red to
// the BMP row size, so the pixels land in the file's layout as they are read.
// It leaves the padding bytes alone; calloc zeroes them once, and every strip
// read into the same buffer leaves them zero.
constexpr GLint bmpPackAlignment = 4;

// Large enough that llvmpipe's per-call cost does not show, small enough to
// stay in the cache's neighbourhood and out of the program's peak memory.
constexpr std::uint64_t stripBytes = std::uint64_t(4) << 20;

struct freeBuffer {
    void operator()(unsigned char* bytes) const { std::free(bytes); }
};

// Writes one part of a file of `total` bytes, `before` of which are written.
bool writePart(std::FILE* file, const char* path, const unsigned char* bytes, std::uint64_t size,
               std::uint64_t before, std::uint64_t total, std::string& failureReason)
{
    const std::size_t written = std::fwrite(bytes, 1, static_cast<std::size_t>(size), file);
    const int writeError = errno;
    if (written == size)
        return true;
    failureReason = std::string("cannot write '") + path + "': " + std::strerror(writeError) + " after "
                    + std::to_string(before + written) + " of " + std::to_string(total) + " bytes";
    return false;
}

class packAlignment {
public:
    explicit packAlignment(GLint alignment)
    {
        glGetIntegerv(GL_PACK_ALIGNMENT, &callers);
        glPixelStorei(GL_PACK_ALIGNMENT, alignment);
    }
    ~packAlignment() { glPixelStorei(GL_PACK_ALIGNMENT, callers); }
    packAlignment(const packAlignment&) = delete;
    packAlignment& operator=(const packAlignment&) = delete;

private:
    GLint callers = 4;
};

} // namespace

bool writeCapture(std::FILE* file, const char* path, std::uint32_t width, std::uint32_t height,
                  std::string& failureReason)
{
    const std::uint64_t rowBytes = std::uint64_t(width) * 3 + bmpRowPadding(width);
    const std::uint64_t fileSize = bmpFileSize(width, height);
    const std::uint32_t stripRows =
        static_cast<std::uint32_t>(std::clamp<std::uint64_t>(stripBytes / rowBytes, 1, height));
    const std::uint64_t bufferSize = bmpHeaderSize + stripRows * rowBytes;
    std::unique_ptr<unsigned char, freeBuffer> buffer(
        static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(bufferSize), 1)));
    if (!buffer) {
        failureReason = "no memory for the " + std::to_string(bufferSize) + "-byte capture";
        return false;
    }
    writeBmpHeader(buffer.get(), width, height);
    unsigned char* const rows = buffer.get() + bmpHeaderSize;

    const packAlignment alignment(bmpPackAlignment);
    // The header goes out with the first strip, in the same write.
    const unsigned char* part = buffer.get();
    std::uint64_t written = 0;
    for (std::uint32_t bottom = 0; bottom < height; bottom += stripRows) {
        const std::uint32_t count = std::min(stripRows, height - bottom);
        glReadPixels(0, static_cast<GLint>(bottom), static_cast<GLsizei>(width), static_cast<GLsizei>(count),
                     GL_BGR, GL_UNSIGNED_BYTE, rows);
        const std::uint64_t partSize = static_cast<std::uint64_t>(rows - part) + count * rowBytes;
        if (!writePart(file, path, part, partSize, written, fileSize, failureReason))
            return false;
        written += partSize;
        part = rows;
    }
    return true;
}

bool writeWholeFile(std::FILE* file, const char* path, const unsigned char* bytes, std::uint64_t size,
                    std::string& failureReason)
{
    return writePart(file, path, bytes, size, 0, size, failureReason);
}
