// The fast noise fill against the serial generator it replaces.

#include "core/noise.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

std::vector<unsigned char> serialNoise(std::size_t count, std::uint32_t seed)
{
    noiseGenerator generator(seed);
    std::vector<unsigned char> bytes(count);
    for (unsigned char& byte : bytes)
        byte = static_cast<unsigned char>(generator.next() % 256);
    return bytes;
}

} // namespace

// Counts around the interleaved block and the split between threads, odd
// texture sizes and a large texture; seeds at both ends of the range.
TEST(FastNoise, IsTheSerialGeneratorsNoise)
{
    const std::size_t counts[] = {0, 1, 2, 3, 127, 128, 129, 3 * 300 * 7, 3 * 4097 * 33, (std::size_t{1} << 21) + 5,
                                  3 * 1031 * 1027, 3 * 4096 * 4096};
    for (std::uint32_t seed : {0u, 1u, 1767225600u, 0xFFFFFFFFu}) {
        for (std::size_t count : counts) {
            SCOPED_TRACE("seed " + std::to_string(seed) + ", " + std::to_string(count) + " bytes");
            std::vector<unsigned char> fast(count + 1, 0xA5);
            fillNoise(fast.data(), count, seed);
            EXPECT_EQ(fast.back(), 0xA5) << "written past the end";
            fast.pop_back();
            EXPECT_TRUE(fast == serialNoise(count, seed)) << "the noise differs";
        }
    }
}
