#pragma once

#include <cstddef>
#include <cstdint>

// The encoder's own noise generator. The output depends on every byte of the
// noise, so it must not change with the platform's rand(): a 32-bit linear
// congruential generator whose draw is bits 16 to 30 of the new state.
class noiseGenerator {
public:
    explicit noiseGenerator(std::uint32_t seed) : state(seed) {}
    // The next value, 0 to 32767.
    int next();

private:
    std::uint32_t state;
};

// Fills `count` bytes with successive draws modulo 256: byte i is channel
// i % 3 (red, green, blue) of texel i / 3, counted row by row from row 0.
void fillNoise(unsigned char* bytes, std::size_t count, std::uint32_t seed);

// The calendar time in seconds since 1970-01-01 UTC, truncated to 32 bits.
std::uint32_t noiseSeedFromClock();
