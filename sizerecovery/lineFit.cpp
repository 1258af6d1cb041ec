#include "sizerecovery/lineFit.h"

#include <algorithm>
#include <bitset>
#include <cmath>

namespace {

// SOIL sums in float; the real test allows for that rounding with this margin
// (a few float steps at 255 are below 1e-4).
constexpr double roundingMargin = 1e-3;

// low <= weightHere * here + weightNext * next <= high.
struct blendBound {
    double weightHere;
    double weightNext;
    double low;
    double high;
};

struct interval {
    double low;
    double high;
    bool empty() const { return low > high; }
};

// The values the next texel can take, given the interval of this one and the
// bounds that tie the two: the projection of a convex polygon onto one axis,
// found by pairing every lower bound on this texel with every upper bound.
interval nextInterval(interval here, const std::vector<blendBound>& bounds)
{
    interval next{-roundingMargin, 255.0 + roundingMargin};
    for (const blendBound& bound : bounds) {
        if (bound.weightNext == 0.0) {
            here.low = std::max(here.low, bound.low / bound.weightHere);
            here.high = std::min(here.high, bound.high / bound.weightHere);
        } else if (bound.weightHere == 0.0) {
            next.low = std::max(next.low, bound.low / bound.weightNext);
            next.high = std::min(next.high, bound.high / bound.weightNext);
        }
    }
    if (here.empty())
        return here;
    for (const blendBound& bound : bounds) {
        if (bound.weightHere == 0.0 || bound.weightNext == 0.0)
            continue;
        next.low = std::max(next.low, (bound.low - bound.weightHere * here.high) / bound.weightNext);
        next.high = std::min(next.high, (bound.high - bound.weightHere * here.low) / bound.weightNext);
        for (const blendBound& other : bounds) {
            if (&other == &bound || other.weightHere == 0.0 || other.weightNext == 0.0)
                continue;
            // (low - wn * next) / wh <= (other.high - other.wn * next) / other.wh
            const double slope = other.weightNext * bound.weightHere - bound.weightNext * other.weightHere;
            const double limit = other.high * bound.weightHere - bound.low * other.weightHere;
            if (slope > 0)
                next.high = std::min(next.high, limit / slope);
            else if (slope < 0)
                next.low = std::max(next.low, limit / slope);
            else if (limit < 0)
                return {1.0, 0.0};
        }
    }
    return next;
}

// The 1-D texel of a line sampled with no fraction across.
unsigned char wholeLineTexel(int here, int next, const axisSample& sample)
{
    static const axisSample alone{0, 0, 0.0f, 1.0f};
    return static_cast<unsigned char>(upScaledSum(static_cast<unsigned char>(here), static_cast<unsigned char>(next),
                                                  0, 0, sample, alone));
}

// The first value of the next texel from which the texel is at least `level`
// (256 when none is). The texel never falls as the next texel grows, and real
// arithmetic lands within a step or two of that first value (SOIL rounds to
// float), so stepping from there finds it exactly.
int firstNextReaching(int here, const axisSample& sample, int level)
{
    const double needed = (level - 0.5 - here * static_cast<double>(sample.rest)) / sample.fraction;
    int next = static_cast<int>(std::clamp(std::ceil(needed), 0.0, 256.0));
    while (next > 0 && wholeLineTexel(here, next - 1, sample) >= level)
        --next;
    while (next < 256 && wholeLineTexel(here, next, sample) < level)
        ++next;
    return next;
}

} // namespace

bool fitsRealLine(const unsigned char* line, std::ptrdiff_t stride, const std::vector<axisSample>& samples,
                  int originalLength)
{
    const int textureLength = static_cast<int>(samples.size());
    interval here{-roundingMargin, 255.0 + roundingMargin};
    std::vector<blendBound> bounds;
    int index = 0;
    for (int original = 0; original < originalLength; ++original) {
        bounds.clear();
        for (; index < textureLength && samples[static_cast<std::size_t>(index)].base == original; ++index) {
            const axisSample& sample = samples[static_cast<std::size_t>(index)];
            const double value = line[index * stride];
            const double weightNext = sample.next == sample.base ? 0.0 : sample.fraction;
            // The texel is trunc(0.5 + sum), so the sum lies in [value - 0.5, value + 0.5).
            bounds.push_back({sample.rest, weightNext, value - 0.5 - roundingMargin, value + 0.5 + roundingMargin});
        }
        here = nextInterval(here, bounds);
        if (here.empty())
            return false;
    }
    return true;
}

namespace {

using levelSet = std::bitset<256>;

// The values from `first` up to `last` (both included).
levelSet levelsBetween(int first, int last)
{
    if (first > last)
        return {};
    return (levelSet().set() >> (255 - (last - first))) << first;
}

// Whether a line output reads this texel alone (fraction 0, or a line of one
// texel).
bool readsAlone(const axisSample& sample) { return sample.next == sample.base || sample.fraction == 0.0f; }

// Whether a step of one level in either texel moves the output's sum by less
// than a level even after SOIL's float rounding (a few steps of 2^-15 at
// 255), which nextOfOneOutput relies on.
bool stepsBelowALevel(const axisSample& sample)
{
    constexpr float margin = 1e-3f;
    return sample.fraction > margin && sample.rest > margin;
}

// The values of the next texel that some value of this texel in `here` allows,
// when one output alone reads the two at `sample` and gives `level`.
// For each value here, the next values that give `level` form a run (the
// output climbs by at most a level as the next texel does), and the runs of
// neighbouring values here overlap or touch (it climbs by at most a level as
// this texel does), moving down as this texel grows. So each run of values
// here gives one run of next values, from its top value's first to its
// bottom value's last; only the values here that give `level` with some next
// value in 0..255 count.
levelSet nextOfOneOutput(const levelSet& here, const axisSample& sample, int level)
{
    // The lowest value of this texel that reaches `level` with the next at
    // 255, and the highest that stays at or below it with the next at 0.
    int lowest = 0;
    while (lowest < 256 && wholeLineTexel(lowest, 255, sample) < level)
        ++lowest;
    int highest = 255;
    while (highest >= 0 && wholeLineTexel(highest, 0, sample) > level)
        --highest;
    levelSet next;
    for (int value = lowest; value <= highest; ++value) {
        if (!here[static_cast<std::size_t>(value)])
            continue;
        const int runStart = value;
        while (value < highest && here[static_cast<std::size_t>(value + 1)])
            ++value;
        next |= levelsBetween(firstNextReaching(value, sample, level),
                              firstNextReaching(runStart, sample, level + 1) - 1);
    }
    return next;
}

// The same for several outputs reading the two texels (those that read this
// one alone have already been applied to `here`): each value here is followed
// through, as the runs of several outputs need not overlap.
levelSet nextOfOutputs(const levelSet& here, const std::vector<axisSample>& samples, const unsigned char* line,
                       std::ptrdiff_t stride, int first, int end)
{
    levelSet next;
    for (int value = 0; value < 256; ++value) {
        if (!here[static_cast<std::size_t>(value)])
            continue;
        int low = 0;
        int high = 256;
        for (int t = first; t < end && low < high; ++t) {
            const axisSample& sample = samples[static_cast<std::size_t>(t)];
            if (readsAlone(sample))
                continue;
            const int level = line[t * stride];
            low = std::max(low, firstNextReaching(value, sample, level));
            high = std::min(high, firstNextReaching(value, sample, level + 1));
        }
        next |= levelsBetween(low, high - 1);
    }
    return next;
}

} // namespace

bool fitsWholeLine(const unsigned char* line, std::ptrdiff_t stride, const std::vector<axisSample>& samples,
                   int originalLength)
{
    const int textureLength = static_cast<int>(samples.size());
    levelSet here;
    here.set();
    int index = 0;
    for (int original = 0; original < originalLength; ++original) {
        const int groupEnd = static_cast<int>(
            std::find_if(samples.begin() + index, samples.end(),
                         [original](const axisSample& sample) { return sample.base != original; })
            - samples.begin());
        // The outputs that read this texel alone keep the values that give
        // their level; those that read the next texel too pass values on.
        int blending = 0;
        int firstBlending = groupEnd;
        for (int t = index; t < groupEnd; ++t) {
            const axisSample& sample = samples[static_cast<std::size_t>(t)];
            if (readsAlone(sample)) {
                for (int value = 0; value < 256; ++value)
                    if (wholeLineTexel(value, 0, sample) != line[t * stride])
                        here.reset(static_cast<std::size_t>(value));
            } else {
                ++blending;
                firstBlending = std::min(firstBlending, t);
            }
        }
        if (here.none())
            return false;
        levelSet next;
        if (blending == 0)
            next.set();
        else if (blending == 1 && stepsBelowALevel(samples[static_cast<std::size_t>(firstBlending)]))
            next = nextOfOneOutput(here, samples[static_cast<std::size_t>(firstBlending)],
                                   line[firstBlending * stride]);
        else
            next = nextOfOutputs(here, samples, line, stride, index, groupEnd);
        if (next.none())
            return false;
        index = groupEnd;
        if (original + 1 < originalLength)
            here = next;
    }
    return index == textureLength;
}
