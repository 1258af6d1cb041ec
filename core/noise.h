#pragma once

#include <cstddef>
#include <cstdint>

// The encoder's own noise generator. The output depends on every byte of the
// noise, so it must not change with the platform's rand(): a 32-bit linear
// congruential generator, state' = noiseMultiplier * state + noiseIncrement
// (mod 2^32), whose draw is bits 16 to 30 of the new state.
inline constexpr std::uint32_t noiseMultiplier = 214013u;
inline constexpr std::uint32_t noiseIncrement = 2531011u;

inline std::uint32_t nextNoiseState(std::uint32_t state)
{
    return state * noiseMultiplier + noiseIncrement;
}

// The noise byte of the draw that leaves `state`: the draw modulo 256.
inline unsigned char noiseByteOf(std::uint32_t state)
{
    return static_cast<unsigned char>((state >> 16) & 0xFFu);
}

// Bits 16 to 23 of the state depend only on the seed's bits below 24, since
// multiplying and adding carry only upwards: seeds this far apart make the
// same noise, byte for byte.
inline constexpr std::uint32_t noiseSeedPeriod = 1u << 24;

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

// Any number of steps of the generator is one affine map of the seed: the
// state after n draws is multiplier * seed + increment (mod 2^32). Once the
// jump for n is known, the state of any seed after n draws costs a
// multiply-add.
struct noiseJump {
    std::uint32_t multiplier = 1;
    std::uint32_t increment = 0;

    std::uint32_t stateFrom(std::uint32_t seed) const { return multiplier * seed + increment; }
};

// The jump over `draws` draws, composed by squaring in O(log draws).
noiseJump noiseJumpOver(std::uint64_t draws);

// The state after `draws` draws from `seed`.
std::uint32_t noiseStateAfter(std::uint32_t seed, std::uint64_t draws);

// Noise byte `index` of `seed`, as fillNoise makes it: the byte of draw index + 1.
unsigned char noiseByteAt(std::uint32_t seed, std::uint64_t index);

// The calendar time in seconds since 1970-01-01 UTC, truncated to 32 bits.
std::uint32_t noiseSeedFromClock();
