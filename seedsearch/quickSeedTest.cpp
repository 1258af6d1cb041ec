#include "seedsearch/quickSeedTest.h"

#include "core/rgbTexels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int byteValues = 256;
constexpr std::size_t probeBlocks = 3;
constexpr std::uint32_t blockColumns = 4;
// A byte's points: one for each of these distances its nearest neighbour is within.
constexpr int pointDistances[] = {0, 2, 8, 24};
constexpr int mostPointsPerByte = 4;

// The chance that a uniform byte's nearest of `neighbours` uniform bytes lies
// within `limit`, averaged over the byte's value, since values near 0 or 255
// have fewer values around them.
double chanceWithin(int limit, int neighbours)
{
    double sum = 0;
    for (int value = 0; value < byteValues; ++value) {
        const int around = std::min(value + limit, byteValues - 1) - std::max(value - limit, 0) + 1;
        sum += 1 - std::pow(1 - around / double{byteValues}, neighbours);
    }
    return sum / byteValues;
}

std::vector<double> convolve(const std::vector<double>& total, const std::array<double, mostPointsPerByte + 1>& byte)
{
    std::vector<double> result(total.size() + mostPointsPerByte, 0.0);
    for (std::size_t sum = 0; sum < total.size(); ++sum)
        for (int points = 0; points <= mostPointsPerByte; ++points)
            result[sum + static_cast<std::size_t>(points)] += total[sum] * byte[static_cast<std::size_t>(points)];
    return result;
}

// The sample's rows in bands: two rows when the second lies right under the
// first, otherwise one.
std::vector<std::pair<std::size_t, std::size_t>> findBands(const decodingSample& sample)
{
    std::vector<std::pair<std::size_t, std::size_t>> bands;
    for (std::size_t row = 0; row < sample.rows.size();) {
        const bool pair = row + 1 < sample.rows.size() && continuesRowAbove(sample, row + 1);
        bands.emplace_back(row, pair ? 2 : 1);
        row += pair ? 2 : 1;
    }
    return bands;
}

} // namespace

quickSeedTest::quickSeedTest(const decodingSample& sample, double passRate)
{
    const auto bands = findBands(sample);
    std::vector<std::pair<std::size_t, std::uint32_t>> placed; // band, first column
    for (std::size_t block = 0; block < probeBlocks && !bands.empty(); ++block) {
        const std::size_t band = block * bands.size() / probeBlocks;
        const auto length = static_cast<std::uint32_t>(sample.rows[bands[band].first].shifts.size());
        const std::uint32_t columns = std::min(blockColumns, length);
        if (columns == 0)
            continue;
        const std::uint64_t centre = (2 * block + 1) * std::uint64_t{length} / (2 * probeBlocks);
        const auto first = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(centre > columns / 2 ? centre - columns / 2 : 0, length - columns));
        const bool overlaps = std::any_of(placed.begin(), placed.end(), [&](const auto& other) {
            return other.first == band && first < other.second + columns && other.second < first + columns;
        });
        if (overlaps)
            continue;
        placed.emplace_back(band, first);
        addBlock(sample, bands[band].first, bands[band].second, first, columns);
    }

    const std::vector<double> distribution = noisePointsDistribution();
    tail.assign(distribution.size() + 1, 0.0);
    for (std::size_t points = distribution.size(); points-- > 0;)
        tail[points] = tail[points + 1] + distribution[points];
    mark = static_cast<int>(distribution.size()) - 1;
    while (mark > 0 && tail[static_cast<std::size_t>(mark) - 1] <= passRate)
        --mark;
}

void quickSeedTest::addBlock(const decodingSample& sample, std::size_t firstRow, std::size_t rowCount,
                             std::uint32_t firstColumn, std::uint32_t columns)
{
    const std::size_t base = probe.size();
    const auto indexOf = [&](std::size_t row, std::uint32_t column, int channel) {
        return static_cast<unsigned char>(base + (row * columns + column) * rgbChannels + channel);
    };
    for (std::size_t row = 0; row < rowCount; ++row) {
        const sampledRow& source = sample.rows[firstRow + row];
        for (std::uint32_t column = 0; column < columns; ++column) {
            const std::uint32_t x = firstColumn + column;
            for (int channel = 0; channel < rgbChannels; ++channel) {
                probeByte byte;
                const std::uint64_t texel = std::uint64_t{source.textureRow} * sample.width + source.firstColumn + x;
                byte.jump = noiseJumpOver(texel * rgbChannels + channel + 1);
                for (int lane = 0; lane < lanes; ++lane)
                    byte.laneSteps[static_cast<std::size_t>(lane)] = byte.jump.multiplier * static_cast<std::uint32_t>(lane);
                byte.encoded = source.encoded[std::size_t{x} * rgbChannels + channel];
                byte.shift = source.shifts[x];
                const auto addNeighbour = [&](unsigned char index) { byte.neighbours[byte.neighbourCount++] = index; };
                if (column >= 1)
                    addNeighbour(indexOf(row, column - 1, channel));
                if (column >= 2)
                    addNeighbour(indexOf(row, column - 2, channel));
                if (row >= 1) {
                    addNeighbour(indexOf(row - 1, column, channel));
                    if (column >= 1)
                        addNeighbour(indexOf(row - 1, column - 1, channel));
                    if (column + 1 < columns)
                        addNeighbour(indexOf(row - 1, column + 1, channel));
                }
                if (channel >= 1)
                    addNeighbour(indexOf(row, column, channel - 1));
                probe.push_back(byte);
            }
        }
    }
}

std::vector<double> quickSeedTest::noisePointsDistribution() const
{
    std::vector<double> distribution{1.0};
    for (const probeByte& byte : probe) {
        if (byte.neighbourCount == 0)
            continue;
        std::array<double, mostPointsPerByte + 1> atLeast{};
        atLeast[0] = 1;
        for (int level = 1; level <= mostPointsPerByte; ++level)
            atLeast[static_cast<std::size_t>(level)] =
                chanceWithin(pointDistances[mostPointsPerByte - level], byte.neighbourCount);
        std::array<double, mostPointsPerByte + 1> exactly{};
        for (int level = 0; level <= mostPointsPerByte; ++level)
            exactly[static_cast<std::size_t>(level)] =
                atLeast[static_cast<std::size_t>(level)]
                - (level < mostPointsPerByte ? atLeast[static_cast<std::size_t>(level) + 1] : 0);
        distribution = convolve(distribution, exactly);
    }
    return distribution;
}

double quickSeedTest::noiseTail(int points) const
{
    if (points <= 0)
        return 1;
    return static_cast<std::size_t>(points) < tail.size() ? tail[static_cast<std::size_t>(points)] : 0;
}

// Every loop runs over the lanes with a fixed count and no branches, so that
// it becomes vector instructions; the rotation amount is the same in every
// lane, since the lanes are seeds, not texels. On x86-64 a second version for
// AVX2, chosen when the program starts, runs more than twice as fast.
// The sanitizers' checks would keep these loops from vectorizing and slow the
// search fifty to a hundredfold, to minutes for every search that tries all
// seeds. The loops only index arrays of fixed size with fixed counts, so this
// one function is left out of the checks; it calls no library function, which
// GCC would not inline into it and would call for every lane.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
__attribute__((target_clones("avx2", "default"), no_sanitize("address", "undefined")))
#endif
void quickSeedTest::scoreLanes(std::uint32_t first, laneValues& lanePoints) const
{
    std::int16_t decoded[largestProbe][lanes];
    const std::size_t probeSize = probe.size();
    const probeByte* bytes = probe.data();
    for (std::size_t i = 0; i < probeSize; ++i) {
        const probeByte& byte = bytes[i];
        const std::uint32_t base = byte.jump.stateFrom(first);
        const std::uint32_t* steps = byte.laneSteps.data();
        const std::uint32_t shift = byte.shift;
        for (int lane = 0; lane < lanes; ++lane) {
            const std::uint32_t value = (((base + steps[lane]) >> 16) ^ byte.encoded) & 0xFFu;
            decoded[i][lane] = static_cast<std::int16_t>(rotateByteRight(value, shift));
        }
    }
    std::int16_t points[lanes] = {};
    for (std::size_t i = 0; i < probeSize; ++i) {
        const probeByte& byte = bytes[i];
        std::int16_t nearest[lanes];
        for (int lane = 0; lane < lanes; ++lane)
            nearest[lane] = byteValues;
        for (int n = 0; n < byte.neighbourCount; ++n) {
            const std::int16_t* other = decoded[byte.neighbours.data()[n]];
            for (int lane = 0; lane < lanes; ++lane) {
                const std::int16_t distance = static_cast<std::int16_t>(
                    decoded[i][lane] > other[lane] ? decoded[i][lane] - other[lane] : other[lane] - decoded[i][lane]);
                nearest[lane] = distance < nearest[lane] ? distance : nearest[lane];
            }
        }
        // Written out: GCC vectorizes the sum but not a loop over the limits.
        // A byte without neighbours keeps the distance byteValues: no points.
        static_assert(sizeof pointDistances / sizeof pointDistances[0] == 4);
        for (int lane = 0; lane < lanes; ++lane)
            points[lane] = static_cast<std::int16_t>(
                points[lane] + (nearest[lane] <= pointDistances[0]) + (nearest[lane] <= pointDistances[1])
                + (nearest[lane] <= pointDistances[2]) + (nearest[lane] <= pointDistances[3]));
    }
    std::int16_t* out = lanePoints.data();
    for (int lane = 0; lane < lanes; ++lane)
        out[lane] = points[lane];
}

std::uint32_t quickSeedTest::passingLanes(std::uint32_t first) const
{
    laneValues points;
    scoreLanes(first, points);
    std::uint32_t passing = 0;
    for (int lane = 0; lane < lanes; ++lane)
        passing |= (points[static_cast<std::size_t>(lane)] >= mark ? 1u : 0u) << lane;
    return passing;
}
