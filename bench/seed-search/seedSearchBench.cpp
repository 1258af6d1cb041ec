// Times the decoder's seed search on the CPU alone, for a picture given as raw
// RGB bytes (ImageMagick's rgb: format). The sampled rows are encoded with a
// known seed; random rotation amounts stand in for the shader's, which change
// what the rows decode to but not the work. Three searches, with the file time
// at 2026-01-01 00:00:00 UTC:
//   a year back   the seed a year before the file time;
//   near 2000     a seed of early 2000 whose noise the search meets last (it
//                 may stop sooner, at a seed of the same family);
//   every noise   uniform noise of the picture's size, which no seed decodes
//                 to a picture: all 2^24 noises are tried, the longest search
//                 there is, which gives the candidates tried per second.
// Then the refusal of the picture itself, never encoded, against a search
// that finds its seed two years back, in processor time.
// Prints the time of each against the target for it.
//   seed-search-bench WIDTH HEIGHT PICTURE.rgb

#include "seedsearch/seedSearch.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t fileTime = 1767225600u;
constexpr std::uint32_t yearSeconds = 365 * 86400;
constexpr double yearTargetSeconds = 2;
constexpr double wholeRangeTargetSeconds = 30;

decodingSample encodeSample(const std::vector<unsigned char>& rgb, std::uint32_t width, std::uint32_t height,
                            std::uint32_t seed)
{
    std::mt19937 shifts(seed);
    decodingSample sample;
    sample.width = width;
    for (std::uint32_t textureRow : rowsToSample(width, height)) {
        sampledRow row;
        row.textureRow = textureRow;
        std::uint32_t state = noiseStateAfter(seed, std::uint64_t{textureRow} * width * 3);
        for (std::uint32_t x = 0; x < width; ++x) {
            const int shift = static_cast<int>(shifts() % 8);
            row.shifts.push_back(static_cast<unsigned char>(shift));
            for (int channel = 0; channel < 3; ++channel) {
                state = nextNoiseState(state);
                const int value = rgb[(std::size_t{textureRow} * width + x) * 3 + static_cast<std::size_t>(channel)];
                const int rotated = ((value << shift) | (value >> (8 - shift))) & 0xFF;
                row.encoded.push_back(static_cast<unsigned char>(rotated ^ noiseByteOf(state)));
            }
        }
        sample.rows.push_back(std::move(row));
    }
    return sample;
}

struct timedSearch {
    seedChoice choice;
    double seconds;
    double processorSeconds;
};

double processorSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// As the decoder searches: not at all when the texels as stored code as a
// picture, which no encoding does.
timedSearch timeSearch(const decodingSample& sample)
{
    const auto start = std::chrono::steady_clock::now();
    const double processorStart = processorSeconds();
    const seedChoice choice = looksLikeAPictureAsStored(sample) ? seedChoice{} : searchSeeds(sample, candidateSeeds(fileTime));
    return {choice, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            processorSeconds() - processorStart};
}

// The picture's own rows as the encoded texels, as a file that was never
// encoded reads.
decodingSample neverEncoded(const std::vector<unsigned char>& rgb, std::uint32_t width, std::uint32_t height)
{
    decodingSample sample = encodeSample(rgb, width, height, 0);
    for (sampledRow& row : sample.rows)
        row.encoded.assign(rgb.begin() + static_cast<std::ptrdiff_t>(std::size_t{row.textureRow} * width * 3),
                           rgb.begin() + static_cast<std::ptrdiff_t>(std::size_t{row.textureRow + 1} * width * 3));
    return sample;
}

bool report(const char* name, std::uint32_t seed, const timedSearch& search, double target)
{
    const bool found = search.choice.standsOut && search.choice.seed % noiseSeedPeriod == seed % noiseSeedPeriod;
    std::printf("        seed search, %-12s %5.2f s for %8llu candidates (target %2.0f s, ratio %.2f)%s\n", name,
                search.seconds, static_cast<unsigned long long>(search.choice.candidatesTried), target,
                search.seconds / target, found ? "" : "  NOT FOUND");
    return found;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: seed-search-bench WIDTH HEIGHT PICTURE.rgb\n");
        return 1;
    }
    const auto width = static_cast<std::uint32_t>(std::strtoul(argv[1], nullptr, 10));
    const auto height = static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10));
    std::ifstream file(argv[3], std::ios::binary);
    const std::vector<unsigned char> rgb{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (width == 0 || height == 0 || rgb.size() != std::size_t{width} * height * 3) {
        std::fprintf(stderr, "seed-search-bench: %s does not hold %u x %u RGB texels\n", argv[3], width, height);
        return 1;
    }

    const std::uint32_t yearBefore = fileTime - yearSeconds;
    const seedRange range = candidateSeeds(fileTime);
    const std::uint32_t metLast = seedInSearchOrder(range, noiseSeedPeriod - 1);
    const std::uint32_t in2000 = earliestSeed + (metLast - earliestSeed) % noiseSeedPeriod;

    std::mt19937 random(1);
    std::vector<unsigned char> noise(rgb.size());
    for (unsigned char& byte : noise)
        byte = static_cast<unsigned char>(random());

    const timedSearch year = timeSearch(encodeSample(rgb, width, height, yearBefore));
    const timedSearch near2000 = timeSearch(encodeSample(rgb, width, height, in2000));
    const timedSearch everyNoise = timeSearch(encodeSample(noise, width, height, fileTime));
    bool found = report("a year back:", yearBefore, year, yearTargetSeconds);
    found = report("near 2000:", in2000, near2000, wholeRangeTargetSeconds) && found;
    std::printf("        seed search, every noise: %5.2f s for %8llu candidates (%s), %.1f M candidates/s with %u "
                "cores\n",
                everyNoise.seconds, static_cast<unsigned long long>(everyNoise.choice.candidatesTried),
                everyNoise.choice.standsOut ? "NOT REFUSED" : "refused",
                static_cast<double>(everyNoise.choice.candidatesTried) / everyNoise.seconds / 1e6,
                std::thread::hardware_concurrency());

    const std::uint32_t twoYearsBefore = fileTime - 2 * yearSeconds;
    const timedSearch twoYears = timeSearch(encodeSample(rgb, width, height, twoYearsBefore));
    const timedSearch refusal = timeSearch(neverEncoded(rgb, width, height));
    found = report("two years back:", twoYearsBefore, twoYears, 2 * yearTargetSeconds) && found;
    std::printf("        refusal of the picture never encoded: %5.2f s of processor time (%s), %.2f x the search two "
                "years back (%.2f s; target 2 x)\n",
                refusal.processorSeconds, refusal.choice.standsOut ? "NOT REFUSED" : "refused",
                refusal.processorSeconds / twoYears.processorSeconds, twoYears.processorSeconds);
    return found && !everyNoise.choice.standsOut && !refusal.choice.standsOut ? 0 : 1;
}
