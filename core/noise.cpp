#include "core/noise.h"

#include <ctime>

namespace {

// `second` applied after `first`.
noiseJump compose(noiseJump first, noiseJump second)
{
    return {second.multiplier * first.multiplier, second.multiplier * first.increment + second.increment};
}

} // namespace

int noiseGenerator::next()
{
    state = nextNoiseState(state);
    return static_cast<int>((state >> 16) & 0x7FFFu);
}

void fillNoise(unsigned char* bytes, std::size_t count, std::uint32_t seed)
{
    noiseGenerator generator(seed);
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>(generator.next() % 256);
}

noiseJump noiseJumpOver(std::uint64_t draws)
{
    noiseJump total;
    noiseJump power{noiseMultiplier, noiseIncrement};
    for (; draws != 0; draws >>= 1) {
        if (draws & 1)
            total = compose(total, power);
        power = compose(power, power);
    }
    return total;
}

std::uint32_t noiseStateAfter(std::uint32_t seed, std::uint64_t draws)
{
    return noiseJumpOver(draws).stateFrom(seed);
}

unsigned char noiseByteAt(std::uint32_t seed, std::uint64_t index)
{
    return noiseByteOf(noiseStateAfter(seed, index + 1));
}

std::uint32_t noiseSeedFromClock()
{
    return static_cast<std::uint32_t>(std::time(nullptr));
}
