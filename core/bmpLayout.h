#pragma once

#include <cstdint>
#include <vector>

// The 24-bit BMP layout that the screenshot writer produces: a 54-byte header,
// then rows of 3 bytes a pixel, each padded to a multiple of 4 bytes.
inline constexpr std::uint64_t bmpHeaderSize = 54;

std::uint32_t bmpRowPadding(std::uint32_t width);
std::uint64_t bmpFileSize(std::uint32_t width, std::uint32_t height);

// The header SOIL's screenshot writer puts before the rows: "BM", the file
// size, two reserved zero words and the offset 54 of the pixels; then a
// 40-byte information header with the width, the (positive, so rows run bottom
// first) height, one plane, 24 bits a pixel and zero for the compression, the
// image size, both resolutions and both colour counts. Numbers are
// little-endian. Fills the first bmpHeaderSize bytes at `header`.
void writeBmpHeader(unsigned char* header, std::uint32_t width, std::uint32_t height);

// The whole file of a picture given as rows of red, green and blue, top row
// first, as SOIL's writer lays it out; empty when there is no memory for it.
std::vector<unsigned char> bmpFileOf(const unsigned char* rgb, std::uint32_t width, std::uint32_t height);

