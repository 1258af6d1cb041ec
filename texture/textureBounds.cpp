#include "texture/textureBounds.h"

#include "texture/textureArea.h"

#include <GL/gl.h>

#include <algorithm>

bool findTextureBounds(int maxTextureSize, textureBounds& bounds, std::string& problem)
{
    bounds.side = uint32_t(std::max(maxTextureSize, 0));
    const uint64_t largestTexture = uint64_t(bounds.side) * bounds.side;
    uint64_t area = 0;
    if (!readTextureAreaLimit(area, problem))
        return false;
    bounds.area = std::min(area, largestTexture);
    return true;
}

uint64_t textureAreaFor(uint32_t width, uint32_t height)
{
    return uint64_t(nextPowerOfTwo(width)) * nextPowerOfTwo(height);
}

bool textureFits(uint32_t width, uint32_t height, const textureBounds& bounds)
{
    return nextPowerOfTwo(width) <= bounds.side && nextPowerOfTwo(height) <= bounds.side
        && textureAreaFor(width, height) <= bounds.area;
}

uint32_t nextPowerOfTwo(uint32_t value)
{
    uint32_t power = 1;
    while (power < value && power < (1u << 31))
        power *= 2;
    return power;
}

int maximumTextureSize()
{
    GLint size = 0;
    glGetIntegerv(GL_MAX_TEXTURE_SIZE, &size);
    return size;
}

bool isPowerOfTwo(int side)
{
    return side > 0 && (side & (side - 1)) == 0;
}
