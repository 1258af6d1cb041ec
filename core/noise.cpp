#include "core/noise.h"

#include "core/constants.h"

#include <ctime>

int noiseGenerator::next()
{
    state = state * noiseMultiplier + noiseIncrement;
    return static_cast<int>((state >> 16) & 0x7FFFu);
}

void fillNoise(unsigned char* bytes, std::size_t count, std::uint32_t seed)
{
    noiseGenerator generator(seed);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>(generator.next() % 256);
}

std::uint32_t noiseSeedFromClock()
{
    return static_cast<std::uint32_t>(std::time(nullptr));
}
