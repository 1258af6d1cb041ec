#include "core/noiseBuffer.h"

#include "base/hugePages.h"
#include "core/noise.h"
#include "core/rgbTexels.h"

#include <cstdint>
#include <cstdlib>

noiseBuffer makeNoiseBuffer(unsigned int width, unsigned int height, std::uint32_t seed)
{
    noiseBuffer noise;
    noise.width = width;
    noise.height = height;
    noise.seed = seed;
    noise.byteCount = std::size_t{width} * height * rgbChannels;
    noise.bytes.reset(static_cast<unsigned char*>(std::malloc(noise.byteCount > 0 ? noise.byteCount : 1)));
    // malloc's own blocks are used, in huge pages where they allow, so that
    // an exhausted heap still shows as malloc failing.
    if (noise.bytes) {
        adviseHugePages(noise.bytes.get(), noise.byteCount);
        fillNoise(noise.bytes.get(), noise.byteCount, seed);
    }
    return noise;
}
