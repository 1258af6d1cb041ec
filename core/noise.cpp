#include "core/noise.h"

#include "base/parallelParts.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <thread>

namespace {

// `second` applied after `first`.
noiseJump compose(noiseJump first, noiseJump second)
{
    return {second.multiplier * first.multiplier, second.multiplier * first.increment + second.increment};
}

// The draws advance in blocks of interleavedDraws bytes, one vector lane for
// each byte of a block: a lane makes the same byte of every block, each a jump
// of interleavedDraws draws from the one before. The same lane of four
// neighbouring vectors makes the four bytes of one word, so that packing the
// bytes takes only shifts and masks of whole words.
constexpr std::size_t vectorLanes = 8;
constexpr std::size_t bytesPerWord = 4;
constexpr std::size_t interleavedDraws = 128;
constexpr std::size_t vectorsPerBlock = interleavedDraws / vectorLanes;
using wordVector = std::uint32_t __attribute__((vector_size(vectorLanes * sizeof(std::uint32_t))));
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "words are stored as their bytes in memory order");

// Below this many bytes a part is not worth a thread.
constexpr std::size_t bytesPerThreadAtLeast = std::size_t{1} << 20;

std::size_t noiseFillParts(std::size_t count)
{
    const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
    return std::max<std::size_t>(1, std::min(cores, count / bytesPerThreadAtLeast));
}

// Where the state of byte `offset` of a block lives: vector, then lane.
std::size_t vectorOf(std::size_t offset)
{
    const std::size_t wordsPerVector = vectorLanes * bytesPerWord;
    return offset / wordsPerVector * bytesPerWord + offset % bytesPerWord;
}

std::size_t laneOf(std::size_t offset)
{
    return offset % (vectorLanes * bytesPerWord) / bytesPerWord;
}

// Stores the noise bytes of four vectors' states as the four bytes of each word.
void storeNoiseWords(unsigned char* at, const wordVector* states)
{
    const wordVector words = ((states[0] >> 16) & 0xFFu) | ((states[1] >> 8) & 0xFF00u) | (states[2] & 0xFF0000u)
                             | ((states[3] << 8) & 0xFF000000u);
    std::memcpy(at, &words, sizeof words);
}

// Baseline x86-64 has no 32-bit vector multiply and makes one of two 64-bit
// ones; AVX2 has it, and twice the width. The compiler makes both forms and
// the loader picks the one the processor runs.
__attribute__((target_clones("avx2", "default"))) void fillBlocks(unsigned char* bytes, std::size_t blocks,
                                                                   wordVector (&states)[vectorsPerBlock])
{
    const noiseJump block = noiseJumpOver(interleavedDraws);
    for (std::size_t done = 0; done < blocks; ++done, bytes += interleavedDraws) {
        for (std::size_t v = 0; v < vectorsPerBlock; v += bytesPerWord)
            storeNoiseWords(bytes + v * vectorLanes, states + v);
        for (wordVector& state : states)
            state = state * block.multiplier + block.increment;
    }
}

// Bytes begin to end of the noise of `seed`, at the same places in `bytes`.
void fillNoiseRange(unsigned char* bytes, std::size_t begin, std::size_t end, std::uint32_t seed)
{
    std::uint32_t state = noiseStateAfter(seed, begin + 1);
    const std::size_t blocks = (end - begin) / interleavedDraws;
    if (blocks > 0) {
        wordVector states[vectorsPerBlock];
        for (std::size_t offset = 0; offset < interleavedDraws; ++offset, state = nextNoiseState(state))
            states[vectorOf(offset)][laneOf(offset)] = state;
        fillBlocks(bytes + begin, blocks, states);
        state = states[0][0];
    }
    for (std::size_t i = begin + blocks * interleavedDraws; i < end; ++i, state = nextNoiseState(state))
        bytes[i] = noiseByteOf(state);
}

} // namespace

int noiseGenerator::next()
{
    state = nextNoiseState(state);
    return static_cast<int>((state >> 16) & 0x7FFFu);
}

void fillNoise(unsigned char* bytes, std::size_t count, std::uint32_t seed)
{
    // Each part starts at its first byte's state, so the parts together are
    // exactly the serial generator's bytes.
    const std::size_t parts = noiseFillParts(count);
    const std::size_t partSize = count / parts;
    runParallelParts(parts, [&](std::size_t part) {
        const std::size_t begin = part * partSize;
        fillNoiseRange(bytes, begin, part + 1 == parts ? count : begin + partSize, seed);
    });
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
