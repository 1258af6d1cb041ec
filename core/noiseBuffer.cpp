#include "core/noiseBuffer.h"

#include "core/noise.h"

#include <sys/mman.h>

#include <cstdint>

namespace {

constexpr std::size_t rgbChannels = 3;

// Memory fresh from the system costs a page fault every 4 KiB on its first
// write; in huge pages, one every 2 MiB. malloc's own blocks are used, so that
// an exhausted heap still shows as malloc failing.
void adviseHugePages(unsigned char* bytes, std::size_t length)
{
    constexpr std::uintptr_t hugePage = std::uintptr_t{2} << 20;
    const std::uintptr_t start = (reinterpret_cast<std::uintptr_t>(bytes) + hugePage - 1) & ~(hugePage - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(bytes) + length) & ~(hugePage - 1);
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

} // namespace

noiseBuffer makeNoiseBuffer(unsigned int width, unsigned int height, std::uint32_t seed)
{
    noiseBuffer noise;
    noise.width = width;
    noise.height = height;
    noise.seed = seed;
    noise.byteCount = std::size_t{width} * height * rgbChannels;
    noise.bytes.reset(static_cast<unsigned char*>(std::malloc(noise.byteCount > 0 ? noise.byteCount : 1)));
    if (noise.bytes) {
        adviseHugePages(noise.bytes.get(), noise.byteCount);
        fillNoise(noise.bytes.get(), noise.byteCount, seed);
    }
    return noise;
}
