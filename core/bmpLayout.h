#pragma once

#include <cstdint>

// The 24-bit BMP layout that the screenshot writer produces: a 54-byte header,
// then rows of 3 bytes a pixel, each padded to a multiple of 4 bytes.
inline constexpr std::uint64_t bmpHeaderSize = 54;

std::uint32_t bmpRowPadding(std::uint32_t width);
std::uint64_t bmpFileSize(std::uint32_t width, std::uint32_t height);
