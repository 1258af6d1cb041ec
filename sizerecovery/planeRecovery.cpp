#include "sizerecovery/planeRecovery.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace {

// The last misses' walks may do this many times the work of the stages
// before them, within these bounds (pixelRecovery.h counts the work).
constexpr std::uint64_t walkWorkPerEarlierWork = 12;
constexpr std::uint64_t fewestWalkWork = 200'000'000;
constexpr std::uint64_t mostWalkWork = 500'000'000;

} // namespace

// Rows of the texture are solved across first, each straight into the
// right-hand sides of the solve down, so that no texture-sized intermediate
// is kept. The solve down runs on whole rows at once, in single precision,
// which is ample for values of 0..255 and halves its memory traffic.
void planeRecovery::estimate()
{
    const axisLeastSquares across(columns);
    const axisLeastSquares down(rows);
    std::vector<double> line(static_cast<std::size_t>(width));
    std::vector<float> sums(static_cast<std::size_t>(width) * height, 0.0f);
    for (int y = 0; y < textureHeight; ++y) {
        across.project(&texture[static_cast<std::size_t>(y) * textureWidth], 1, line.data());
        across.solve(line.data(), 1);
        const axisSample& sample = rows[y];
        float* base = &sums[static_cast<std::size_t>(sample.base) * width];
        float* next = &sums[static_cast<std::size_t>(sample.next) * width];
        for (int column = 0; column < width; ++column) {
            const float value = static_cast<float>(line[static_cast<std::size_t>(column)]);
            base[column] += sample.rest * value;
            if (sample.next != sample.base)
                next[column] += sample.fraction * value;
        }
    }
    down.solve(sums.data(), static_cast<std::size_t>(width));
    work.spent += static_cast<std::uint64_t>(textureWidth) * textureHeight;
    estimates = std::move(sums);
    plane.resize(estimates.size());
    for (std::size_t i = 0; i < estimates.size(); ++i)
        plane[i] = static_cast<unsigned char>(std::clamp(std::lround(estimates[i]), 0L, 255L));
}

std::vector<int> planeRecovery::findMisses() const
{
    std::vector<int> misses;
    for (int y = 0; y < textureHeight; ++y)
        for (int x = 0; x < textureWidth; ++x)
            if (missed(y, x))
                misses.push_back(y * textureWidth + x);
    return misses;
}

std::vector<int> planeRecovery::remainingMisses(const std::vector<int>& earlier)
{
    listed.resize(static_cast<std::size_t>(textureWidth) * textureHeight);
    std::vector<int> misses;
    auto consider = [&](int index) {
        if (listed[static_cast<std::size_t>(index)])
            return;
        listed[static_cast<std::size_t>(index)] = true;
        if (missed(index))
            misses.push_back(index);
    };
    for (int index : earlier)
        consider(index);
    std::vector<int> seen(earlier);
    for (int texelIndex : changed) {
        const auto [firstY, lastY] = rows.reading(texelIndex / width);
        const auto [firstX, lastX] = columns.reading(texelIndex % width);
        for (int y = firstY; y < lastY; ++y)
            for (int x = firstX; x < lastX; ++x) {
                if (!listed[static_cast<std::size_t>(y) * textureWidth + x])
                    seen.push_back(y * textureWidth + x);
                consider(y * textureWidth + x);
            }
    }
    for (int index : seen)
        listed[static_cast<std::size_t>(index)] = false;
    changed.clear();
    std::sort(misses.begin(), misses.end());
    return misses;
}

int planeRecovery::contributors(int y, int x, texelPosition (&found)[4]) const
{
    const axisSample& across = columns[x];
    const axisSample& down = rows[y];
    int count = 0;
    for (int vertical = 0; vertical < 2; ++vertical) {
        const float rowWeight = vertical ? down.fraction : down.rest;
        if (rowWeight <= 0.0f || (vertical && down.next == down.base))
            continue;
        for (int horizontal = 0; horizontal < 2; ++horizontal) {
            const float columnWeight = horizontal ? across.fraction : across.rest;
            if (columnWeight <= 0.0f || (horizontal && across.next == across.base))
                continue;
            found[count++] = {vertical ? down.next : down.base, horizontal ? across.next : across.base};
        }
    }
    return count;
}

// The last misses alternate walks with re-solves of the bands the walk has
// reshaped; as the misses get fewer and harder the walks get longer (the
// shortest doubles for the first rounds). Each round's walk takes its random
// steps from a sequence of its own: a round that replayed the last one's
// sequence from much the same texels would mostly retrace its moves, and a
// miss it could not fix stayed for good. Many short walks down different
// paths fix such misses sooner than a few long ones down the same path.
// After the first rounds, the misses left where a side is scaled by nearly
// one get the wider bands of solveNearlyOneSides.
// A wrong size can leave a miss that no walk fixes, so the walks get a budget
// of their own, a few times the work of the stages before them, within a
// floor that lets a true size finish its last few misses (a side scaled by
// nearly one leaves a few that take many walks whatever the picture's size)
// and a ceiling well under the whole search's work.
void planeRecovery::finishWithWalks(std::vector<int>& misses, std::uint64_t earlierWork)
{
    walkWorkEnd = work.spent + std::clamp(earlierWork * walkWorkPerEarlierWork, fewestWalkWork, mostWalkWork);
    constexpr std::size_t walkStepsPerMiss = 500;
    constexpr std::size_t fewestWalkSteps = 5000;
    constexpr int lastDoubling = 3;
    constexpr int roundsBeforeWideBands = 3;
    for (int round = 0; !misses.empty() && !workIsUp(); ++round) {
        walk(misses, std::max(walkStepsPerMiss * misses.size(), fewestWalkSteps << std::min(round, lastDoubling)),
             static_cast<std::uint32_t>(round));
        misses = remainingMisses(misses);
        solveBandStages(misses, {bandStage{2, 6}, bandStage{3, 4}});
        followChainStages(misses, {32});
        if (round + 1 == roundsBeforeWideBands && !misses.empty() && !workIsUp())
            solveNearlyOneSides(misses);
    }
}

// The first repairs: single texels, then pairs. The misses they leave, or
// the verdict when they rule the size out or reach the work limit.
std::optional<planeSearch> planeRecovery::firstRepairs(std::vector<int>& misses)
{
    estimate();
    misses = findMisses();
    for (int round = 0; round < 2 && !misses.empty(); ++round) {
        adjustSingleTexels(misses);
        misses = remainingMisses(misses);
    }
    for (int round = 0; round < 2 && !misses.empty() && !workIsUp(); ++round) {
        adjustTexelPairs(misses);
        adjustSingleTexels(misses);
        misses = remainingMisses(misses);
    }
    // A true size leaves about one output in a thousand missed here; a wrong
    // size that fits the quick tests leaves far more and is ruled out. Cut
    // short by the work limit, the repair has not shown which this is.
    constexpr std::size_t hopelessShare = 200;
    if (workIsUp())
        return planeSearch::gaveUp;
    if (misses.size() > static_cast<std::size_t>(textureWidth) * textureHeight / hopelessShare)
        return planeSearch::ruledOut;
    return std::nullopt;
}

// Each stage works only on what the one before left, from the cheapest view
// to the widest.
planeSearch planeRecovery::run(std::vector<unsigned char>& original)
{
    const std::uint64_t started = work.spent;
    std::vector<int> misses;
    if (const std::optional<planeSearch> verdict = firstRepairs(misses))
        return *verdict;
    // Short chains fix most of what is left for a fraction of what a band
    // costs, so the bands see only the misses that need texels moved together.
    followChainStages(misses, {4, 8});
    solveBandStages(misses, {bandStage{1, 8}, bandStage{2, 6}, bandStage{3, 4}, bandStage{2, 12}});
    followChainStages(misses, {4, 8, 16, 32});
    finishWithWalks(misses, work.spent - started);
    // A true size whose last misses outlast the walks' budget still leaves
    // only a few, scattered where changes barely show in the texture; the
    // plane is then as near as the budget allowed, and nearer the picture
    // than the texture of another shape would be.
    constexpr std::size_t nearlyFittingShare = 4096;
    const std::size_t left = findMisses().size();
    if (left > static_cast<std::size_t>(textureWidth) * textureHeight / nearlyFittingShare)
        return planeSearch::gaveUp;
    original = std::move(plane);
    return left == 0 ? planeSearch::found : planeSearch::nearlyFound;
}

planeSearch recoverPlane(const std::vector<unsigned char>& texture, int textureWidth, int textureHeight, int width,
                         int height, planeWork& work, std::vector<unsigned char>& original)
{
    planeRecovery recovery(texture, textureWidth, textureHeight, width, height, work);
    return recovery.run(original);
}

std::optional<planeSearch> firstRepairsVerdict(const std::vector<unsigned char>& texture, int textureWidth,
                                               int textureHeight, int width, int height,
                                               planeWork& work)
{
    planeRecovery recovery(texture, textureWidth, textureHeight, width, height, work);
    std::vector<int> misses;
    return recovery.firstRepairs(misses);
}
