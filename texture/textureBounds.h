#pragma once

#include <cstdint>
#include <string>

// The largest texture a load makes: the driver's largest side, and an area
// that bounds the memory a program takes for its image (textureArea.h).
struct textureBounds {
    uint32_t side = 0;
    uint64_t area = 0;
};

// The bounds for a driver whose largest side is maxTextureSize, or false with
// a reason when PIXVEIL_AREA_LIMIT is set but is no whole number above 0.
bool findTextureBounds(int maxTextureSize, textureBounds& bounds, std::string& problem);

// The texture an image of these sides is drawn into: each side raised to a power of two.
uint64_t textureAreaFor(uint32_t width, uint32_t height);

// Whether that texture is within the bounds: each side within the driver's
// largest, and its area within the limit.
bool textureFits(uint32_t width, uint32_t height, const textureBounds& bounds);

uint32_t nextPowerOfTwo(uint32_t value);
bool isPowerOfTwo(int side);

// The driver's largest texture side; needs a current context.
int maximumTextureSize();
