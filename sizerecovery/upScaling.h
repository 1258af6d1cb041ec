#pragma once

#include "texture/axisSampling.h"

#include <vector>

// SOIL's bilinear up-scaling to powers of two (up_scale_image in its
// image_helper.c), reproduced bit for bit so that the size recovery can ask
// "what would this one texel become" without up-scaling a whole picture.
//
// Along each side, texture indexes sample the original as sampleAxis says
// (texture/axisSampling.h). A texel is 0.5 plus its four weighted
// neighbours, each weight product and each sum rounded to float in SOIL's
// order, then truncated.

// Whether a side is up-scaled by nearly one (63/64, say): its samples then
// drift across the texels so slowly that runs of neighbouring texture texels
// each read two texels at nearly equal weights, and show little but their sums.
bool scaledByNearlyOne(int originalLength, int textureLength);

// The texel before truncation, from the four original texels around it.
inline float upScaledSum(unsigned char topLeft, unsigned char topRight, unsigned char bottomLeft,
                         unsigned char bottomRight, const axisSample& x, const axisSample& y)
{
    float value = 0.5f;
    value += topLeft * x.rest * y.rest;
    value += topRight * x.fraction * y.rest;
    value += bottomLeft * x.rest * y.fraction;
    value += bottomRight * x.fraction * y.fraction;
    return value;
}

// The texture texel at (x, y) of the up-scaling of `plane`, one byte a texel,
// `width` texels a row.
inline unsigned char upScaledTexel(const unsigned char* plane, int width, const axisSample& x, const axisSample& y)
{
    const unsigned char* top = plane + static_cast<long>(y.base) * width;
    const unsigned char* bottom = plane + static_cast<long>(y.next) * width;
    return static_cast<unsigned char>(upScaledSum(top[x.base], top[x.next], bottom[x.base], bottom[x.next], x, y));
}

// The whole up-scaling of one plane, for tests and checks.
std::vector<unsigned char> upScalePlane(const unsigned char* plane, int width, int height, int textureWidth,
                                        int textureHeight);
