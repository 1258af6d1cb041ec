#pragma once

#include <vector>

// SOIL's power-of-two up-scaling leaves its output unwritten when one side is
// 1 texel and the other is not a power of two. For such an image this returns
// the stretch SOIL's bilinear up-scaling gives wider images, along the long
// side to its next power of two; for any other image it returns nothing.
bool needsSingleTexelStretch(int width, int height);
std::vector<unsigned char> stretchSingleTexelLine(const unsigned char* pixels, int width, int height,
    int channels, int& stretchedWidth, int& stretchedHeight);
