#include "sizerecovery/upScaling.h"

bool scaledByNearlyOne(int originalLength, int textureLength)
{
    constexpr double nearlyOne = 0.96;
    return originalLength > 1 && originalLength != textureLength
           && static_cast<double>(originalLength - 1) / (textureLength - 1) > nearlyOne;
}

std::vector<unsigned char> upScalePlane(const unsigned char* plane, int width, int height, int textureWidth,
                                        int textureHeight)
{
    const std::vector<axisSample> columns = sampleAxis(width, textureWidth);
    const std::vector<axisSample> rows = sampleAxis(height, textureHeight);
    std::vector<unsigned char> texture(static_cast<std::size_t>(textureWidth) * textureHeight);
    for (int y = 0; y < textureHeight; ++y)
        for (int x = 0; x < textureWidth; ++x)
            texture[static_cast<std::size_t>(y) * textureWidth + x] =
                upScaledTexel(plane, width, columns[static_cast<std::size_t>(x)], rows[static_cast<std::size_t>(y)]);
    return texture;
}
