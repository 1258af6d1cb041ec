#include "decoder/seedSearch.h"

#include <algorithm>
#include <cstdlib>

namespace {

constexpr int rgbChannels = 3;
// About this many texels are scored per candidate; small images are scored whole.
constexpr std::uint64_t sampledTexels = 16384;
constexpr std::uint32_t leastSampledRows = 8;
// Below this many neighbour differences a score says little either way.
constexpr std::size_t leastDifferences = 48;
// A perfectly flat picture scores 0; separations are measured against this.
constexpr double scoreFloor = 0.05;
// Seconds the encoder may take between reading the clock and writing the file:
// a fixed allowance, and more per megapixel for drawing and saving.
constexpr std::uint32_t baseMarginSeconds = 10;
constexpr std::uint32_t marginSecondsPerMegapixel = 2;
// The seconds a given seed is compared against.
constexpr std::uint32_t comparedSeconds = 8;

double rowDifferenceSum(const sampledRow& row, std::uint32_t width, std::uint32_t seed)
{
    std::uint32_t state = noiseStateAfter(seed, std::uint64_t{row.textureRow} * width * rgbChannels);
    unsigned char previous[rgbChannels] = {};
    std::uint64_t sum = 0;
    for (std::uint32_t x = 0; x < width; ++x) {
        for (int channel = 0; channel < rgbChannels; ++channel) {
            state = nextNoiseState(state);
            const unsigned char encoded = row.encoded[std::size_t{x} * rgbChannels + channel];
            const unsigned char decoded = rotateRight(encoded ^ noiseByteOf(state), row.shifts[x]);
            if (x > 0)
                sum += static_cast<std::uint64_t>(std::abs(int{decoded} - int{previous[channel]}));
            previous[channel] = decoded;
        }
    }
    return static_cast<double>(sum);
}

} // namespace

unsigned char rotateRight(unsigned char value, int shift)
{
    const int amount = shift & 7;
    return static_cast<unsigned char>((value >> amount) | (value << ((8 - amount) & 7)));
}

std::vector<std::uint32_t> rowsToSample(std::uint32_t width, std::uint32_t height)
{
    if (width == 0 || height == 0)
        return {};
    const std::uint64_t wanted = std::max<std::uint64_t>(leastSampledRows, (sampledTexels + width - 1) / width);
    const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(wanted, height));
    std::vector<std::uint32_t> rows;
    for (std::uint32_t i = 0; i < count; ++i)
        rows.push_back(static_cast<std::uint32_t>(std::uint64_t{i} * height / count));
    return rows;
}

std::size_t neighbourDifferenceCount(const decodingSample& sample)
{
    if (sample.width < 2)
        return 0;
    return sample.rows.size() * (sample.width - 1) * rgbChannels;
}

bool canJudge(const decodingSample& sample)
{
    return neighbourDifferenceCount(sample) >= leastDifferences;
}

double naturalnessScore(const decodingSample& sample, std::uint32_t seed)
{
    const std::size_t differences = neighbourDifferenceCount(sample);
    if (differences == 0)
        return 0;
    double sum = 0;
    for (const sampledRow& row : sample.rows)
        sum += rowDifferenceSum(row, sample.width, seed);
    return sum / static_cast<double>(differences);
}

seedRange candidateSeeds(std::uint32_t modificationTime, std::uint32_t width, std::uint32_t height)
{
    const std::uint64_t megapixels = (std::uint64_t{width} * height + 999999) / 1000000;
    const std::uint64_t margin = baseMarginSeconds + marginSecondsPerMegapixel * megapixels;
    const std::uint32_t first = modificationTime > margin ? static_cast<std::uint32_t>(modificationTime - margin) : 0;
    return {first, modificationTime};
}

seedChoice chooseSeed(const std::vector<std::uint32_t>& seeds, const std::vector<double>& scores)
{
    seedChoice choice;
    if (seeds.size() < 2 || scores.size() != seeds.size())
        return choice;
    const std::size_t best = static_cast<std::size_t>(std::min_element(scores.begin(), scores.end()) - scores.begin());
    double runnerUp = -1;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        if (i != best && (runnerUp < 0 || scores[i] < runnerUp))
            runnerUp = scores[i];
    }
    choice.seed = seeds[best];
    choice.bestScore = scores[best];
    choice.runnerUpScore = runnerUp;
    choice.separation = runnerUp / std::max(scores[best], scoreFloor);
    choice.standsOut = choice.separation >= minimumSeparation;
    return choice;
}

seedChoice searchSeeds(const decodingSample& sample, seedRange range)
{
    std::vector<std::uint32_t> seeds;
    std::vector<double> scores;
    for (std::uint64_t seed = range.last + std::uint64_t{1}; seed-- > range.first;) {
        seeds.push_back(static_cast<std::uint32_t>(seed));
        scores.push_back(naturalnessScore(sample, static_cast<std::uint32_t>(seed)));
    }
    return chooseSeed(seeds, scores);
}

bool looksLikeNoise(const decodingSample& sample, std::uint32_t seed)
{
    std::vector<std::uint32_t> seeds;
    std::vector<double> scores;
    for (std::uint32_t offset = 0; offset <= comparedSeconds; ++offset) {
        seeds.push_back(seed + offset);
        scores.push_back(naturalnessScore(sample, seed + offset));
    }
    const seedChoice choice = chooseSeed(seeds, scores);
    return !(choice.standsOut && choice.seed == seed);
}

bool parseSeed(const char* text, std::uint32_t& seed)
{
    if (text == nullptr || *text == '\0')
        return false;
    std::uint64_t value = 0;
    for (const char* digit = text; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(*digit - '0');
        if (value > UINT32_MAX)
            return false;
    }
    seed = static_cast<std::uint32_t>(value);
    return true;
}
