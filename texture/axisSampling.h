#pragma once

#include <vector>

// Where SOIL's bilinear up-scaling to powers of two (up_scale_image in its
// image_helper.c) samples one side of the original, reproduced bit for bit:
// texture index X samples the original at X * d with d = (n - 1) / (N - 1)
// in single precision; the integer part (at most n - 2) is the base texel,
// the rest the fraction. A side of one texel samples its only texel. The
// single-texel stretch (singleTexelStretch.h) is made of it, and the size
// recovery asks it what one texel of a texture became.
struct axisSample {
    int base;
    int next;
    float fraction;
    float rest; // 1 - fraction, as SOIL computes it
};

// The samples of every texture index along one side.
std::vector<axisSample> sampleAxis(int originalLength, int textureLength);
