#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A file as parts written one after another: joining a large PNG's strips
// would cost a copy of the whole file.
using fileParts = std::vector<std::vector<unsigned char>>;

// The PNG file of `pixels`: width x height texels of `channels` bytes each
// (1 for grey, 3 for red, green and blue), rows top first, 8 bits a sample.
// Each row is stored as its difference from the row above and coded with
// runDeflate.h, in strips on every core: quick enough that writing a PNG
// costs a decode little more than writing the BMP. False with the reason
// when memory runs out, on any of the threads.
bool pngFileOf(const unsigned char* pixels, std::uint32_t width, std::uint32_t height, int channels, fileParts& file,
               std::string& reason);
