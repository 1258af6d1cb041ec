#include "core/bmpCapture.h"

#include "core/bmpLayout.h"

#include <GL/gl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// At a pack alignment of 4, OpenGL pads each row read as blue-green-red to
// the BMP row size, so the pixels land in the file's layout as they are read.
// It leaves the padding bytes alone; calloc zeroes them, and costs nothing
// beyond the page faults for large buffers, which come from the system zeroed.
constexpr GLint bmpPackAlignment = 4;

} // namespace

bool bmpCapture::read(std::uint32_t width, std::uint32_t height)
{
    size = bmpFileSize(width, height);
    buffer.reset(static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(size), 1)));
    if (!buffer)
        return false;
    writeBmpHeader(buffer.get(), width, height);

    GLint callersAlignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &callersAlignment);
    glPixelStorei(GL_PACK_ALIGNMENT, bmpPackAlignment);
    glReadPixels(0, 0, static_cast<GLsizei>(width), static_cast<GLsizei>(height), GL_BGR, GL_UNSIGNED_BYTE,
                 buffer.get() + bmpHeaderSize);
    glPixelStorei(GL_PACK_ALIGNMENT, callersAlignment);
    return true;
}

bool writeWholeFile(std::FILE* file, const char* path, const unsigned char* bytes, std::uint64_t size,
                    std::string& failureReason)
{
    const std::size_t written = std::fwrite(bytes, 1, static_cast<std::size_t>(size), file);
    const int writeError = errno;
    if (written == size)
        return true;
    failureReason = std::string("cannot write '") + path + "': " + std::strerror(writeError) + " after "
                    + std::to_string(written) + " of " + std::to_string(size) + " bytes";
    return false;
}
