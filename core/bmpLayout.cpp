#include "core/bmpLayout.h"

#include <cstring>
#include <new>

std::uint32_t bmpRowPadding(std::uint32_t width)
{
    return width & 3u;
}

std::uint64_t bmpFileSize(std::uint32_t width, std::uint32_t height)
{
    const std::uint64_t rowSize = std::uint64_t{3} * width + bmpRowPadding(width);
    return bmpHeaderSize + rowSize * height;
}

namespace {

unsigned char* putLittleEndian(unsigned char* at, std::uint32_t value, int bytes)
{
    for (int byte = 0; byte < bytes; ++byte)
        *at++ = static_cast<unsigned char>(value >> (8 * byte));
    return at;
}

} // namespace

void writeBmpHeader(unsigned char* header, std::uint32_t width, std::uint32_t height)
{
    constexpr std::uint32_t infoHeaderSize = 40;
    unsigned char* at = header;
    *at++ = 'B';
    *at++ = 'M';
    at = putLittleEndian(at, static_cast<std::uint32_t>(bmpFileSize(width, height)), 4);
    at = putLittleEndian(at, 0, 4);
    at = putLittleEndian(at, bmpHeaderSize, 4);
    at = putLittleEndian(at, infoHeaderSize, 4);
    at = putLittleEndian(at, width, 4);
    at = putLittleEndian(at, height, 4);
    at = putLittleEndian(at, 1, 2);
    at = putLittleEndian(at, 24, 2);
    std::memset(at, 0, static_cast<std::size_t>(header + bmpHeaderSize - at));
}


std::vector<unsigned char> bmpFileOf(const unsigned char* rgb, std::uint32_t width, std::uint32_t height)
{
    std::vector<unsigned char> file;
    try {
        file.assign(static_cast<std::size_t>(bmpFileSize(width, height)), 0);
    } catch (const std::bad_alloc&) {
        return {};
    }
    writeBmpHeader(file.data(), width, height);
    const std::size_t rowSize = std::size_t{3} * width + bmpRowPadding(width);
    for (std::uint32_t row = 0; row < height; ++row) {
        const unsigned char* from = rgb + std::size_t{3} * width * (height - 1 - row);
        unsigned char* to = file.data() + bmpHeaderSize + rowSize * row;
        for (std::uint32_t x = 0; x < width; ++x, from += 3, to += 3) {
            to[0] = from[2];
            to[1] = from[1];
            to[2] = from[0];
        }
    }
    return file;
}
