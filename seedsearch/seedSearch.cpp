// The seed search, from the candidate seeds a file time gives to the one
// chosen. Its steps (order of search, staged scoring, the bars a seed must
// clear to stand out) share the candidates' bookkeeping, so they stay in one
// file; the scores themselves are in naturalness.cpp and quickSeedTest.cpp.

#include "seedsearch/seedSearch.h"

#include "base/parallelParts.h"
#include "core/rgbTexels.h"

#include "seedsearch/naturalness.h"
#include "seedsearch/quickSeedTest.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <thread>

namespace {

// About this many texels are sampled; small images are sampled whole.
constexpr std::uint64_t sampledTexels = 16384;
constexpr std::uint32_t leastBands = 4;
constexpr std::uint32_t rowsPerBand = 2;

// The second stage decodes this many texels from the middle of every sampled
// row. A candidate goes on to the full sample only if they code in at most
// 8 + 1/8 bits a byte: a picture's rows nearly always code in less, while
// noise needs about 8.3 there, some 250 bits more than that on a full crop.
constexpr std::uint32_t cropColumns = 64;
constexpr double cropSlackBitsPerByte = 0.125;
// Wrong seeds the quick test lets through, for a crop of cropReferenceBytes;
// more for a smaller crop, whose second stage costs less.
constexpr double quickPassRate = 1e-4;
constexpr double cropReferenceBytes = 1536;

// Seeds that share their low 16 bits make noises whose bytes differ by k times
// an odd number (mod 256) for the k-th such seed: for k = 128 only the top bit
// of every noise byte differs, and the picture decodes with one bit of each
// byte flipped, structured enough to stand out, yet wrong. Of such a family
// the right seed codes best, by far.
constexpr std::uint32_t familyStride = 1u << 16;
constexpr std::uint32_t familySize = noiseSeedPeriod / familyStride;
// The best of a family must save this many bits more than the next best, and
// more on a larger sample: two members whose decodings are equally likely
// pictures (grey noise, whose texels stay grey when a bit flips in all three
// channels) differ by chance by about a bit per square root of a byte; twice
// that keeps a 4 × 4 grey gradient, whose twin is 18 bits behind.
constexpr double familyMarginBits = 16;
constexpr double familyMarginBitsPerRootByte = 2;

// The search widens in steps, from about an hour of seconds
// (firstSearchStepSeconds) to a million.
constexpr std::uint32_t largestStepSeconds = 1u << 20;
constexpr unsigned mostThreads = 8;

struct candidateResult {
    std::uint32_t orderIndex = 0;
    std::uint32_t seed = 0;
    double evidence = 0;
    double evidenceBesideBestRow = 0;
    double score = 0;
    // Whether it passed the crop and was measured on the whole sample.
    bool measuredInFull = false;
};

// A stretch of the search order whose seeds are consecutive.
struct seedRun {
    std::uint32_t firstIndex;
    std::uint32_t lowestSeed;
    std::uint32_t count;
    bool descending;

    std::uint32_t orderIndexOf(std::uint32_t seed) const
    {
        return firstIndex + (descending ? lowestSeed + count - 1 - seed : seed - lowestSeed);
    }

    std::uint32_t seedAt(std::uint32_t index) const
    {
        const std::uint32_t offset = index - firstIndex;
        return descending ? lowestSeed + count - 1 - offset : lowestSeed + offset;
    }
};

void decodeRow(const sampledRow& row, std::uint32_t width, std::uint32_t seed, unsigned char* decoded)
{
    const std::uint64_t firstTexel = std::uint64_t{row.textureRow} * width + row.firstColumn;
    std::uint32_t state = noiseStateAfter(seed, firstTexel * rgbChannels);
    for (std::size_t x = 0; x < row.shifts.size(); ++x) {
        for (int channel = 0; channel < rgbChannels; ++channel) {
            state = nextNoiseState(state);
            const std::size_t at = x * rgbChannels + static_cast<std::size_t>(channel);
            decoded[at] = rotateRight(row.encoded[at] ^ noiseByteOf(state), row.shifts[x]);
        }
    }
}

// Every row of the sample must be as long as the first, since the meter
// compares texels with those above them.
evidenceMeter measureSample(const decodingSample& sample, std::uint32_t seed)
{
    const std::uint32_t length = sample.rows.empty() ? 0 : static_cast<std::uint32_t>(sample.rows[0].shifts.size());
    evidenceMeter meter(length);
    std::vector<unsigned char> decoded(std::size_t{length} * rgbChannels);
    for (std::size_t row = 0; row < sample.rows.size(); ++row) {
        decodeRow(sample.rows[row], sample.width, seed, decoded.data());
        meter.addRow(decoded.data(), continuesRowAbove(sample, row));
    }
    return meter;
}

// The middle cropColumns texels of every sampled row.
decodingSample cropSample(const decodingSample& sample)
{
    decodingSample crop;
    crop.width = sample.width;
    for (const sampledRow& row : sample.rows) {
        const std::size_t length = row.shifts.size();
        const std::size_t columns = std::min<std::size_t>(length, cropColumns);
        const std::size_t first = (length - columns) / 2;
        sampledRow part;
        part.textureRow = row.textureRow;
        part.firstColumn = row.firstColumn + static_cast<std::uint32_t>(first);
        part.encoded.assign(row.encoded.begin() + static_cast<std::ptrdiff_t>(first * rgbChannels),
                            row.encoded.begin() + static_cast<std::ptrdiff_t>((first + columns) * rgbChannels));
        part.shifts.assign(row.shifts.begin() + static_cast<std::ptrdiff_t>(first),
                           row.shifts.begin() + static_cast<std::ptrdiff_t>(first + columns));
        crop.rows.push_back(std::move(part));
    }
    return crop;
}

// Both bars (seedSearch.h). A texture of a single row has no other row that
// could have been moved there, and its one row is all the evidence there is.
bool standsOutWith(double evidence, double evidenceBesideBestRow, const decodingSample& sample,
                   std::uint64_t candidatesTried)
{
    return evidence >= evidenceBitsToStandOut(candidatesTried)
           && (sample.rows.size() < 2 || evidenceBesideBestRow >= spreadEvidenceBits);
}

std::size_t sampleBytes(const decodingSample& sample)
{
    std::size_t bytes = 0;
    for (const sampledRow& row : sample.rows)
        bytes += row.encoded.size();
    return bytes;
}

// What the search holds fixed while it tries seeds.
struct searchStages {
    const decodingSample& sample;
    decodingSample crop;
    quickSeedTest quick;

    explicit searchStages(const decodingSample& full)
        : sample(full),
          crop(cropSample(full)),
          quick(full, std::min(1.0, quickPassRate * cropReferenceBytes / std::max<std::size_t>(sampleBytes(crop), 1)))
    {
    }

    // The second and third stages for a seed that passed the quick test.
    candidateResult test(std::uint32_t seed, std::uint32_t orderIndex) const
    {
        const evidenceMeter cropMeter = measureSample(crop, seed);
        const bool goesOn = cropMeter.bits() >= -cropSlackBitsPerByte * static_cast<double>(cropMeter.bytes());
        return goesOn ? testInFull(seed, orderIndex) : resultOf(cropMeter, seed, orderIndex);
    }

    candidateResult testInFull(std::uint32_t seed, std::uint32_t orderIndex) const
    {
        candidateResult result = resultOf(measureSample(sample, seed), seed, orderIndex);
        result.measuredInFull = true;
        return result;
    }

    static candidateResult resultOf(const evidenceMeter& meter, std::uint32_t seed, std::uint32_t orderIndex)
    {
        return {orderIndex, seed, meter.bits(), meter.bitsBesideBestRow(), meter.bitsPerByte(), false};
    }

    bool standsOut(const candidateResult& result, std::uint64_t candidatesTried) const
    {
        return result.measuredInFull && standsOutWith(result.evidence, result.evidenceBesideBestRow, sample,
                                                      candidatesTried);
    }

    void searchRun(const seedRun& run, std::vector<candidateResult>& results) const
    {
        const std::uint64_t end = std::uint64_t{run.lowestSeed} + run.count;
        for (std::uint64_t first = run.lowestSeed; first < end; first += quickSeedTest::lanes) {
            std::uint32_t passing = quick.passingLanes(static_cast<std::uint32_t>(first));
            if (end - first < quickSeedTest::lanes)
                passing &= (1u << (end - first)) - 1;
            for (int lane = 0; passing != 0; ++lane, passing >>= 1) {
                if (passing & 1u) {
                    const auto seed = static_cast<std::uint32_t>(first + static_cast<std::uint64_t>(lane));
                    results.push_back(test(seed, run.orderIndexOf(seed)));
                }
            }
        }
    }
};

} // namespace

std::uint64_t searchedSeconds(const seedRange& range)
{
    return std::min<std::uint64_t>(noiseSeedPeriod, std::uint64_t{range.last} - range.first + 1);
}

namespace {

// The search order's three parts (see seedInSearchOrder) as runs of seeds.
std::vector<seedRun> searchOrderRuns(const seedRange& range)
{
    const std::uint64_t last = range.last;
    const std::uint64_t lowest = last + 1 - searchedSeconds(range);
    const std::uint64_t fileTime = range.modificationTime;
    const std::uint64_t dayAfter = fileTime + fileTimeLeadSeconds;
    std::vector<seedRun> runs;
    std::uint64_t index = 0;
    const auto addRun = [&](std::uint64_t low, std::uint64_t high, bool descending) {
        if (low > high)
            return;
        runs.push_back({static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(low),
                        static_cast<std::uint32_t>(high - low + 1), descending});
        index += high - low + 1;
    };
    addRun(std::max(fileTime, lowest), std::min(dayAfter, last), false);
    if (fileTime > lowest)
        addRun(lowest, std::min(fileTime - 1, last), true);
    addRun(std::max(dayAfter + 1, lowest), last, false);
    return runs;
}

// The runs covering order indices [begin, end).
std::vector<seedRun> runsBetween(const std::vector<seedRun>& order, std::uint64_t begin, std::uint64_t end)
{
    std::vector<seedRun> runs;
    for (const seedRun& run : order) {
        const std::uint64_t runBegin = std::max<std::uint64_t>(begin, run.firstIndex);
        const std::uint64_t runEnd = std::min<std::uint64_t>(end, std::uint64_t{run.firstIndex} + run.count);
        if (runBegin >= runEnd)
            continue;
        const std::uint64_t skipped = runBegin - run.firstIndex;
        const std::uint64_t count = runEnd - runBegin;
        const std::uint64_t low = run.descending ? run.lowestSeed + run.count - skipped - count : run.lowestSeed + skipped;
        runs.push_back({static_cast<std::uint32_t>(runBegin), static_cast<std::uint32_t>(low),
                        static_cast<std::uint32_t>(count), run.descending});
    }
    return runs;
}

// Tries order indices [begin, end) on every core: each thread takes an equal
// share of the indices.
std::vector<candidateResult> searchStep(const searchStages& stages, const std::vector<seedRun>& order,
                                        std::uint64_t begin, std::uint64_t end)
{
    const unsigned threads = std::clamp(std::thread::hardware_concurrency(), 1u, mostThreads);
    std::vector<std::vector<candidateResult>> found(threads);
    runParallelParts(threads, [&](std::size_t t) {
        const std::uint64_t shareBegin = begin + (end - begin) * t / threads;
        const std::uint64_t shareEnd = begin + (end - begin) * (t + 1) / threads;
        for (const seedRun& run : runsBetween(order, shareBegin, shareEnd))
            stages.searchRun(run, found[t]);
    });
    std::vector<candidateResult> results;
    for (const auto& share : found)
        results.insert(results.end(), share.begin(), share.end());
    return results;
}

bool evidenceOrder(const candidateResult& a, const candidateResult& b)
{
    if (a.evidence != b.evidence)
        return a.evidence > b.evidence;
    return a.orderIndex < b.orderIndex;
}

std::uint32_t orderIndexOf(const std::vector<seedRun>& order, std::uint32_t seed)
{
    for (const seedRun& run : order) {
        if (seed - run.lowestSeed < run.count)
            return run.orderIndexOf(seed);
    }
    return 0;
}

// The second of the searched window that makes the same noise as `seed`.
std::uint32_t aliasInWindow(const seedRange& range, std::uint64_t seed)
{
    const std::uint64_t lowest = std::uint64_t{range.last} + 1 - searchedSeconds(range);
    return static_cast<std::uint32_t>(lowest + (seed + noiseSeedPeriod - lowest % noiseSeedPeriod) % noiseSeedPeriod);
}

seedChoice makeChoice(const candidateResult& best, double runnerUpScore, bool standsOut)
{
    seedChoice choice;
    choice.standsOut = standsOut;
    choice.seed = best.seed;
    choice.evidence = best.evidence;
    choice.evidenceBesideBestRow = best.evidenceBesideBestRow;
    choice.bestScore = best.score;
    choice.runnerUpScore = runnerUpScore;
    choice.separation = runnerUpScore / best.score;
    return choice;
}

// Ranks the family of a seed that stood out by their crops, then tests the
// best two in full: the best stands out if it does so among the candidates
// tried and the family, and saves clearly more than the runner-up.
seedChoice chooseInFamily(const searchStages& stages, const std::vector<seedRun>& order, const seedRange& range,
                          std::uint32_t seed, std::uint64_t candidatesTried)
{
    std::vector<candidateResult> members;
    for (std::uint32_t member = 0; member < familySize; ++member) {
        const std::uint32_t relative = aliasInWindow(range, std::uint64_t{seed} + std::uint64_t{member} * familyStride);
        members.push_back(searchStages::resultOf(measureSample(stages.crop, relative), relative,
                                                 orderIndexOf(order, relative)));
    }
    std::partial_sort(members.begin(), members.begin() + 2, members.end(), evidenceOrder);
    const candidateResult best = stages.testInFull(members[0].seed, members[0].orderIndex);
    const candidateResult runnerUp = stages.testInFull(members[1].seed, members[1].orderIndex);
    const double margin = std::max(familyMarginBits, familyMarginBitsPerRootByte
                                                         * std::sqrt(static_cast<double>(sampleBytes(stages.sample))));
    const bool standsOut =
        stages.standsOut(best, candidatesTried + familySize) && best.evidence - runnerUp.evidence >= margin;
    return makeChoice(best, runnerUp.score, standsOut);
}

// When nothing stood out: the candidate that came closest, against the best
// of the others and the second after it. Candidates that failed on the crop
// were measured on fewer bytes than the others, so they are ranked by bits
// per byte.
seedChoice chooseUndecided(std::vector<candidateResult> results, const searchStages& stages, const seedRange& range)
{
    if (results.empty())
        results.push_back(stages.test(seedInSearchOrder(range, 0), 0));
    std::sort(results.begin(), results.end(), [](const candidateResult& a, const candidateResult& b) {
        return a.score != b.score ? a.score < b.score : a.orderIndex < b.orderIndex;
    });
    double runnerUpScore = naturalnessScore(stages.sample, results.front().seed + 1);
    for (std::size_t i = 1; i < results.size(); ++i)
        runnerUpScore = std::min(runnerUpScore, results[i].score);
    return makeChoice(results.front(), runnerUpScore, false);
}

} // namespace

bool continuesRowAbove(const decodingSample& sample, std::size_t row)
{
    return row > 0 && sample.rows[row].textureRow == sample.rows[row - 1].textureRow + 1
           && sample.rows[row].firstColumn == sample.rows[row - 1].firstColumn
           && sample.rows[row].shifts.size() == sample.rows[row - 1].shifts.size();
}

std::vector<std::uint32_t> rowsToSample(std::uint32_t width, std::uint32_t height)
{
    if (width == 0 || height == 0)
        return {};
    const std::uint64_t wantedRows = (sampledTexels + width - 1) / width;
    const std::uint64_t bands = std::max<std::uint64_t>(leastBands, (wantedRows + rowsPerBand - 1) / rowsPerBand);
    std::vector<std::uint32_t> rows;
    if (bands * rowsPerBand >= height) {
        for (std::uint32_t row = 0; row < height; ++row)
            rows.push_back(row);
        return rows;
    }
    for (std::uint64_t band = 0; band < bands; ++band) {
        const auto top = static_cast<std::uint32_t>(band * height / bands);
        for (std::uint32_t row = 0; row < rowsPerBand; ++row)
            rows.push_back(top + row);
    }
    return rows;
}

std::vector<std::vector<unsigned char>> decodeSample(const decodingSample& sample, std::uint32_t seed)
{
    std::vector<std::vector<unsigned char>> rows;
    for (const sampledRow& row : sample.rows) {
        rows.emplace_back(row.encoded.size());
        decodeRow(row, sample.width, seed, rows.back().data());
    }
    return rows;
}

double naturalnessScore(const decodingSample& sample, std::uint32_t seed)
{
    return measureSample(sample, seed).bitsPerByte();
}

double evidenceBits(const decodingSample& sample, std::uint32_t seed)
{
    return measureSample(sample, seed).bits();
}

double evidenceBesideBestRow(const decodingSample& sample, std::uint32_t seed)
{
    return measureSample(sample, seed).bitsBesideBestRow();
}

double evidenceBitsToStandOut(std::uint64_t candidatesTried)
{
    return std::log2(static_cast<double>(std::max<std::uint64_t>(candidatesTried, 1))) + decisiveMarginBits;
}

bool looksLikeAPictureAsStored(const decodingSample& sample)
{
    const std::size_t length = sample.rows.empty() ? 0 : sample.rows[0].encoded.size() / rgbChannels;
    evidenceMeter meter(static_cast<std::uint32_t>(length));
    for (std::size_t row = 0; row < sample.rows.size(); ++row)
        meter.addRow(sample.rows[row].encoded.data(), continuesRowAbove(sample, row));
    return standsOutWith(meter.bits(), meter.bitsBesideBestRow(), sample, std::uint64_t{noiseSeedPeriod} + 1);
}

bool standsOutAmong(const decodingSample& sample, std::uint32_t seed, std::uint64_t candidatesTried)
{
    const evidenceMeter meter = measureSample(sample, seed);
    return standsOutWith(meter.bits(), meter.bitsBesideBestRow(), sample, candidatesTried);
}

bool canJudge(const decodingSample& sample)
{
    if (sample.rows.empty())
        return false;
    evidenceMeter meter(static_cast<std::uint32_t>(sample.rows[0].shifts.size()));
    const std::vector<unsigned char> flat(sample.rows[0].encoded.size(), 0);
    for (std::size_t row = 0; row < sample.rows.size(); ++row)
        meter.addRow(flat.data(), continuesRowAbove(sample, row));
    return standsOutWith(meter.bits(), meter.bitsBesideBestRow(), sample, noiseSeedPeriod);
}

seedRange candidateSeeds(std::uint32_t modificationTime)
{
    const std::uint64_t dayAfter = std::uint64_t{modificationTime} + fileTimeLeadSeconds;
    const std::uint64_t last = std::max<std::uint64_t>(dayAfter, std::uint64_t{earliestSeed} + noiseSeedPeriod - 1);
    return {earliestSeed, static_cast<std::uint32_t>(std::min<std::uint64_t>(last, UINT32_MAX)), modificationTime};
}

std::uint32_t seedInSearchOrder(const seedRange& range, std::uint32_t index)
{
    for (const seedRun& run : searchOrderRuns(range)) {
        if (index - run.firstIndex < run.count)
            return run.seedAt(index);
    }
    return range.last;
}

seedChoice searchSeeds(const decodingSample& sample, const seedRange& range, workProgress* progress)
{
    const searchStages stages(sample);
    const std::vector<seedRun> order = searchOrderRuns(range);
    const std::uint64_t total = searchedSeconds(range);
    std::vector<candidateResult> results;
    std::uint64_t tried = 0;
    // The bar rises with the candidates tried, so a candidate that did not
    // stand out in an earlier step cannot in a later one: only the step's own
    // are looked at.
    std::vector<candidateResult> decisive;
    for (std::uint64_t step = firstSearchStepSeconds; tried < total && decisive.empty();
         step = std::min<std::uint64_t>(step * 2, largestStepSeconds)) {
        const std::uint64_t end = std::min(total, tried + step);
        const std::vector<candidateResult> stepResults = searchStep(stages, order, tried, end);
        std::copy_if(stepResults.begin(), stepResults.end(), std::back_inserter(decisive),
                     [&](const candidateResult& result) { return stages.standsOut(result, end); });
        results.insert(results.end(), stepResults.begin(), stepResults.end());
        tried = end;
        if (progress != nullptr)
            progress->reach(tried);
    }
    seedChoice choice;
    if (!decisive.empty()) {
        const candidateResult best = *std::min_element(decisive.begin(), decisive.end(), evidenceOrder);
        choice = chooseInFamily(stages, order, range, best.seed, tried);
    } else {
        choice = chooseUndecided(std::move(results), stages, range);
    }
    choice.candidatesTried = tried;
    return choice;
}

bool looksLikeNoise(const decodingSample& sample, std::uint32_t seed)
{
    return sampleBytes(sample) >= leastNoiseVerdictTexels * rgbChannels
           && evidenceBits(sample, seed) < givenSeedEvidenceBits;
}
