#include "texture/singleTexelStretch.h"

#include "texture/axisSampling.h"
#include "texture/textureBounds.h"

#include <cstddef>
#include <cstdint>

bool needsSingleTexelStretch(int width, int height)
{
    return (width == 1 && !isPowerOfTwo(height)) || (height == 1 && !isPowerOfTwo(width));
}

// The same arithmetic as SOIL's up_scale_image along one axis, whose weights
// across the missing second texel are all zero.
std::vector<unsigned char> stretchSingleTexelLine(const unsigned char* pixels, int width, int height,
    int channels, int& stretchedWidth, int& stretchedHeight)
{
    int length = width == 1 ? height : width;
    int stretchedLength = int(nextPowerOfTwo(uint32_t(length)));
    stretchedWidth = width == 1 ? 1 : stretchedLength;
    stretchedHeight = width == 1 ? stretchedLength : 1;
    std::vector<unsigned char> stretched(size_t(stretchedLength) * channels);
    const std::vector<axisSample> samples = sampleAxis(length, stretchedLength);
    for (int target = 0; target < stretchedLength; ++target) {
        const axisSample& sample = samples[size_t(target)];
        for (int channel = 0; channel < channels; ++channel) {
            float value = 0.5f;
            value += pixels[sample.base * channels + channel] * sample.rest;
            value += pixels[sample.next * channels + channel] * sample.fraction;
            stretched[size_t(target) * channels + channel] = (unsigned char)value;
        }
    }
    return stretched;
}
