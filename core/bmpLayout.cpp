#include "core/bmpLayout.h"

std::uint32_t bmpRowPadding(std::uint32_t width)
{
    return width & 3u;
}

std::uint64_t bmpFileSize(std::uint32_t width, std::uint32_t height)
{
    const std::uint64_t rowSize = std::uint64_t{3} * width + bmpRowPadding(width);
    return bmpHeaderSize + rowSize * height;
}
