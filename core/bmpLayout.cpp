#include "core/bmpLayout.h"

#include <cstring>

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

