#pragma once

#include "core/noise.h"
#include "seedsearch/seedSearch.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// The seed search's first stage: decodes a few small blocks of texels (two
// rows of up to four texels, in up to three places) and gives each byte
// points for how close it comes to its nearest neighbour within the block: 4
// when equal, 3 within 2, 2 within 8, 1 within 24. A picture earns points on
// almost every byte, noise on few. The pass mark comes from the points'
// distribution for uniform noise, computed as if every byte's nearest
// neighbour were independent of the others', so that about `passRate` of
// wrong seeds, or fewer, go on to the full test.
//
// The noise of a probe byte is jump.stateFrom(seed), so for sixteen
// consecutive seeds it is one multiply-add and sixteen additions, in loops
// the compiler vectorizes.
class quickSeedTest {
public:
    static constexpr int lanes = 16;

    quickSeedTest(const decodingSample& sample, double passRate);

    // Bit i is set when seed first + i passes, for i below `lanes`.
    std::uint32_t passingLanes(std::uint32_t first) const;
    int passMark() const { return mark; }
    // The chance that uniform noise scores at least `points`.
    double noiseTail(int points) const;

private:
    struct probeByte {
        noiseJump jump;
        // jump.multiplier times each lane's distance from the first seed.
        std::array<std::uint32_t, lanes> laneSteps{};
        unsigned char encoded = 0;
        unsigned char shift = 0;
        unsigned char neighbourCount = 0;
        std::array<unsigned char, 6> neighbours{};
    };
    // Bytes and points fit in 16 bits, twice as many lanes to a vector as 32.
    using laneValues = std::array<std::int16_t, lanes>;
    // Three blocks of two rows of four texels, three bytes each.
    static constexpr std::size_t largestProbe = 3 * 2 * 4 * 3;

    void addBlock(const decodingSample& sample, std::size_t firstRow, std::size_t rowCount, std::uint32_t firstColumn,
                  std::uint32_t columns);
    void scoreLanes(std::uint32_t first, laneValues& points) const;
    std::vector<double> noisePointsDistribution() const;

    std::vector<probeByte> probe;
    std::vector<double> tail;
    int mark = 0;
};
