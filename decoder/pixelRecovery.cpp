#include "decoder/pixelRecovery.h"

#include "decoder/upScaling.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <numeric>
#include <optional>
#include <utility>

namespace {

// A missed output outweighs any distance from the estimate.
constexpr double missCost = 1e6;

// The last misses' walks may do this many times the work of the stages
// before them, within these bounds (pixelRecovery.h counts the work).
constexpr std::uint64_t walkWorkPerEarlierWork = 12;
constexpr std::uint64_t fewestWalkWork = 200'000'000;
constexpr std::uint64_t mostWalkWork = 500'000'000;

// One side of the interpolation: the samples of every texture index, and for
// every original index the texture indices that read it.
class axisLayout {
public:
    axisLayout(int originalLength, int textureLength)
        : samples(sampleAxis(originalLength, textureLength)),
          firstWithBase(static_cast<std::size_t>(originalLength) + 1, textureLength),
          length(originalLength),
          textureLength(textureLength)
    {
        for (int index = textureLength - 1; index >= 0; --index)
            firstWithBase[static_cast<std::size_t>(samples[static_cast<std::size_t>(index)].base)] = index;
        for (int original = originalLength - 1; original >= 0; --original)
            firstWithBase[static_cast<std::size_t>(original)] =
                std::min(firstWithBase[static_cast<std::size_t>(original)],
                         firstWithBase[static_cast<std::size_t>(original) + 1]);
    }

    // The texture indices [first, last) whose samples read original index i.
    std::pair<int, int> reading(int original) const
    {
        if (length == 1)
            return {0, textureLength};
        return {groupStart(std::max(original - 1, 0)), groupStart(original + 1)};
    }

    // The texture indices whose base is `original` start here.
    int groupStart(int original) const { return firstWithBase[static_cast<std::size_t>(original)]; }

    const axisSample& operator[](int index) const { return samples[static_cast<std::size_t>(index)]; }

    std::vector<axisSample> samples;
    std::vector<int> firstWithBase;
    int length;
    int textureLength;
};

// The least-squares solution of one side's interpolation, M^T M x = M^T b.
// M^T M is tridiagonal (each sample reads two neighbours), so it is factored
// once and every line is solved in linear time.
class axisLeastSquares {
public:
    explicit axisLeastSquares(const axisLayout& axis) : axis(axis)
    {
        const std::size_t length = static_cast<std::size_t>(axis.length);
        std::vector<double> diagonal(length, 0.0);
        upper.assign(length, 0.0);
        for (const axisSample& sample : axis.samples) {
            diagonal[static_cast<std::size_t>(sample.base)] += double{sample.rest} * sample.rest;
            if (sample.next != sample.base) {
                diagonal[static_cast<std::size_t>(sample.next)] += double{sample.fraction} * sample.fraction;
                upper[static_cast<std::size_t>(sample.base)] += double{sample.rest} * sample.fraction;
            }
        }
        inverseDiagonal.resize(length);
        eliminated.resize(length);
        for (std::size_t i = 0; i < length; ++i) {
            const double pivot = diagonal[i] - (i > 0 ? upper[i - 1] * eliminated[i - 1] : 0.0);
            inverseDiagonal[i] = 1.0 / pivot;
            eliminated[i] = upper[i] * inverseDiagonal[i];
        }
    }

    // M^T b for one texture line.
    void project(const unsigned char* line, std::ptrdiff_t stride, double* result) const
    {
        std::fill(result, result + axis.length, 0.0);
        for (int index = 0; index < axis.textureLength; ++index) {
            const axisSample& sample = axis[index];
            const double value = line[index * stride];
            result[sample.base] += sample.rest * value;
            if (sample.next != sample.base)
                result[sample.next] += sample.fraction * value;
        }
    }

    // Solves in place for `count` right-hand sides stored side by side: entry i
    // of right-hand side c is values[i * count + c].
    template <typename Number>
    void solve(Number* values, std::size_t count) const
    {
        const std::size_t length = static_cast<std::size_t>(axis.length);
        for (std::size_t i = 0; i < length; ++i) {
            Number* row = values + i * count;
            const Number* previous = row - count;
            const double above = i > 0 ? upper[i - 1] : 0.0;
            for (std::size_t c = 0; c < count; ++c)
                row[c] = static_cast<Number>((row[c] - (i > 0 ? above * previous[c] : 0.0)) * inverseDiagonal[i]);
        }
        for (std::size_t i = length - 1; i-- > 0;) {
            Number* row = values + i * count;
            const Number* below = row + count;
            for (std::size_t c = 0; c < count; ++c)
                row[c] = static_cast<Number>(row[c] - eliminated[i] * below[c]);
        }
    }

private:
    const axisLayout& axis;
    std::vector<double> upper;
    std::vector<double> inverseDiagonal;
    std::vector<double> eliminated;
};

// A band of `lineCount` neighbouring original rows (alongRows) or columns
// from `firstLine`, between positions `first` and `last` along them, whose
// texels may each move up to `span` levels.
struct band {
    bool alongRows;
    int lineCount;
    int firstLine;
    int first;
    int last;
    int span;

    int levels() const { return 2 * span + 1; }
};

// The band solver's view of one output of a group: the band texels it reads
// (each a line of the band and a side, 0 for the group's own position, 1 for
// the next), and where its table starts in its group's misses: whether it
// misses for every setting of those texels, one digit of base band.levels()
// a texel.
struct bandOutput {
    int lines[4];
    int sides[4];
    int count;
    std::size_t table;
};

// The outputs of one group, their tables of misses side by side, and for
// each output and band state the part of its table index that the state
// gives at the group's own position and at the next (output-major).
struct bandGroup {
    std::vector<bandOutput> outputs;
    std::vector<unsigned char> misses;
    std::vector<int> ownParts;
    std::vector<int> nextParts;
};

// A band stage solves bands of lineCount lines around each miss, reaching
// this far along them, each texel moving up to `span` levels.
struct bandStage {
    int lineCount;
    int reach;
    int span = 1;
};

// The directions bands may run in: along rows, or down columns.
struct bandDirections {
    bool alongRows = true;
    bool downColumns = true;
};

struct texelPosition {
    int row;
    int column;
};

// A small deterministic generator for the random steps of the walk, so that
// the same texture always gives the same picture. Each walk starts it from a
// seed of its own.
class walkGenerator {
public:
    explicit walkGenerator(std::uint32_t seed) : state(12345u + seed * 7919u) {}

    std::uint32_t next(std::uint32_t bound)
    {
        state = state * 1664525u + 1013904223u;
        return (state >> 8) % bound;
    }

private:
    std::uint32_t state;
};

class planeRecovery {
public:
    planeRecovery(const std::vector<unsigned char>& texture, int textureWidth, int textureHeight, int width,
                  int height, planeWork& work)
        : texture(texture),
          columns(width, textureWidth),
          rows(height, textureHeight),
          width(width),
          height(height),
          textureWidth(textureWidth),
          textureHeight(textureHeight),
          work(work)
    {
    }

    planeSearch run(std::vector<unsigned char>& original);
    std::optional<planeSearch> firstRepairs(std::vector<int>& misses);

private:
    void estimate();
    std::vector<int> findMisses() const;
    // The misses left after a stage: the earlier misses and the outputs that
    // read a texel the stage changed are all that can have changed.
    std::vector<int> remainingMisses(const std::vector<int>& earlier);
    void noteChange(int row, int column) { changed.push_back(row * width + column); }
    void adjustSingleTexels(const std::vector<int>& misses);
    void adjustTexelPairs(const std::vector<int>& misses);
    void solveBands(const std::vector<int>& misses, const bandStage& stage, bandDirections directions = {});
    void solveBandStages(std::vector<int>& misses, std::initializer_list<bandStage> stages,
                         bandDirections directions = {});
    void solveNearlyOneSides(std::vector<int>& misses);
    void solveBand(const band& where);
    void followChains(const std::vector<int>& misses, int depth);
    void followChainStages(std::vector<int>& misses, std::initializer_list<int> depths);
    bool chainFixes(int y, int x, int depth, long& nodes);
    void walk(const std::vector<int>& misses, std::size_t stepLimit, std::uint32_t seed);
    void finishWithWalks(std::vector<int>& misses, std::uint64_t earlierWork);

    bool workIsUp() const { return work.spent >= std::min(work.allowance, walkWorkEnd); }

    unsigned char& texel(int row, int column) { return plane[static_cast<std::size_t>(row) * width + column]; }
    float estimated(int row, int column) const { return estimates[static_cast<std::size_t>(row) * width + column]; }
    double distanceCost(int row, int column) const
    {
        const double distance = plane[static_cast<std::size_t>(row) * width + column] - estimated(row, column);
        return distance * distance;
    }
    unsigned char target(int y, int x) const { return texture[static_cast<std::size_t>(y) * textureWidth + x]; }
    float sumAt(int y, int x) const
    {
        ++work.spent;
        const axisSample& across = columns[x];
        const axisSample& down = rows[y];
        const unsigned char* top = &plane[static_cast<std::size_t>(down.base) * width];
        const unsigned char* bottom = &plane[static_cast<std::size_t>(down.next) * width];
        return upScaledSum(top[across.base], top[across.next], bottom[across.base], bottom[across.next], across, down);
    }
    bool missed(int y, int x) const { return static_cast<unsigned char>(sumAt(y, x)) != target(y, x); }
    bool missed(int index) const { return missed(index / textureWidth, index % textureWidth); }
    int missesIn(int firstY, int lastY, int firstX, int lastX) const
    {
        int count = 0;
        for (int y = firstY; y < lastY; ++y)
            for (int x = firstX; x < lastX; ++x)
                count += missed(y, x) ? 1 : 0;
        return count;
    }
    int missesAround(int row, int column) const
    {
        const auto [firstY, lastY] = rows.reading(row);
        const auto [firstX, lastX] = columns.reading(column);
        return missesIn(firstY, lastY, firstX, lastX);
    }
    double costAround(int row, int column) const
    {
        return missCost * missesAround(row, column) + distanceCost(row, column);
    }
    unsigned char& bandTexel(const band& where, int line, int position)
    {
        return where.alongRows ? texel(where.firstLine + line, position) : texel(position, where.firstLine + line);
    }
    void setBandTexel(const band& where, int line, int position, unsigned char was, int digit);
    bandGroup tabulateGroup(const band& where, int position, bool ownFree, bool nextFree, const unsigned char* wasOwn,
                            const unsigned char* wasNext);

    // The distinct texels that output (y, x) reads with a weight above zero.
    int contributors(int y, int x, texelPosition (&found)[4]) const;

    const std::vector<unsigned char>& texture;
    axisLayout columns;
    axisLayout rows;
    int width;
    int height;
    int textureWidth;
    int textureHeight;
    planeWork& work;
    // Where the last misses' walks must stop, once they have begun.
    std::uint64_t walkWorkEnd = UINT64_MAX;
    std::vector<float> estimates;
    std::vector<unsigned char> plane;
    std::vector<int> changed;
    std::vector<bool> listed;
    struct loggedTexel {
        texelPosition at;
        unsigned char was;
    };
    std::vector<loggedTexel> chainLog;
};

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

// Moves one texel at a time by up to two levels when that lowers the misses
// around it (or, at equal misses, brings it nearer the estimate).
void planeRecovery::adjustSingleTexels(const std::vector<int>& misses)
{
    for (int index : misses) {
        const int y = index / textureWidth;
        const int x = index % textureWidth;
        texelPosition found[4];
        const int count = contributors(y, x, found);
        for (int k = 0; k < count && missed(y, x); ++k) {
            unsigned char& value = texel(found[k].row, found[k].column);
            const int original = value;
            double best = costAround(found[k].row, found[k].column);
            int bestValue = original;
            for (int step : {1, -1, 2, -2}) {
                const int candidate = original + step;
                if (candidate < 0 || candidate > 255)
                    continue;
                value = static_cast<unsigned char>(candidate);
                const double cost = costAround(found[k].row, found[k].column);
                if (cost < best) {
                    best = cost;
                    bestValue = candidate;
                }
            }
            value = static_cast<unsigned char>(bestValue);
            if (bestValue != original)
                noteChange(found[k].row, found[k].column);
        }
    }
}

// Moves a texel that a missed output reads together with one of its eight
// neighbours, each by one level: the fix for a miss whose single-texel fix
// breaks a neighbouring output.
void planeRecovery::adjustTexelPairs(const std::vector<int>& misses)
{
    static constexpr int neighbours[8][2] = {{0, 1}, {1, 0}, {1, 1}, {1, -1}, {0, -1}, {-1, 0}, {-1, -1}, {-1, 1}};
    for (int index : misses) {
        const int y = index / textureWidth;
        const int x = index % textureWidth;
        texelPosition found[4];
        const int count = contributors(y, x, found);
        for (int k = 0; k < count && missed(y, x); ++k) {
            const texelPosition first = found[k];
            for (const auto& offset : neighbours) {
                const texelPosition second{first.row + offset[0], first.column + offset[1]};
                if (second.row < 0 || second.row >= height || second.column < 0 || second.column >= width)
                    continue;
                const int firstY = rows.reading(std::min(first.row, second.row)).first;
                const int endY = rows.reading(std::max(first.row, second.row)).second;
                const int firstX = columns.reading(std::min(first.column, second.column)).first;
                const int endX = columns.reading(std::max(first.column, second.column)).second;
                auto cost = [&] {
                    return missCost * missesIn(firstY, endY, firstX, endX) + distanceCost(first.row, first.column)
                           + distanceCost(second.row, second.column);
                };
                unsigned char& one = texel(first.row, first.column);
                unsigned char& two = texel(second.row, second.column);
                const int oneWas = one;
                const int twoWas = two;
                double best = cost();
                int bestOne = oneWas;
                int bestTwo = twoWas;
                for (int stepOne : {1, -1})
                    for (int stepTwo : {1, -1}) {
                        if (oneWas + stepOne < 0 || oneWas + stepOne > 255 || twoWas + stepTwo < 0
                            || twoWas + stepTwo > 255)
                            continue;
                        one = static_cast<unsigned char>(oneWas + stepOne);
                        two = static_cast<unsigned char>(twoWas + stepTwo);
                        const double candidate = cost();
                        if (candidate < best) {
                            best = candidate;
                            bestOne = one;
                            bestTwo = two;
                        }
                    }
                one = static_cast<unsigned char>(bestOne);
                two = static_cast<unsigned char>(bestTwo);
                if (bestOne != oneWas || bestTwo != twoWas) {
                    noteChange(first.row, first.column);
                    noteChange(second.row, second.column);
                }
                if (!missed(y, x))
                    break;
            }
        }
    }
}

} // namespace

// The band texel (line, position) set `digit` - span levels from `was`.
void planeRecovery::setBandTexel(const band& where, int line, int position, unsigned char was, int digit)
{
    bandTexel(where, line, position) = static_cast<unsigned char>(std::clamp(was + digit - where.span, 0, 255));
}

// The outputs whose base along the band is `position`, each tabulated over the
// band texels it reads at `position` (when `ownFree`) and position + 1 (when
// `nextFree`); the other texels keep their values.
bandGroup planeRecovery::tabulateGroup(const band& where, int position, bool ownFree, bool nextFree,
                                       const unsigned char* wasOwn, const unsigned char* wasNext)
{
    const axisLayout& along = where.alongRows ? columns : rows;
    const axisLayout& across = where.alongRows ? rows : columns;
    const int firstCross = across.reading(where.firstLine).first;
    const int lastCross = across.reading(where.firstLine + where.lineCount - 1).second;
    bandGroup group;
    for (int t = along.groupStart(position); t < along.groupStart(position + 1); ++t)
        for (int c = firstCross; c < lastCross; ++c) {
            const axisSample& cross = across[c];
            bandOutput output{};
            for (int line : {cross.base, cross.next}) {
                const int bandLine = line - where.firstLine;
                if (bandLine < 0 || bandLine >= where.lineCount || (line == cross.next && cross.next == cross.base))
                    continue;
                for (int side = 0; side < 2; ++side)
                    if (side ? nextFree : ownFree) {
                        output.lines[output.count] = bandLine;
                        output.sides[output.count++] = side;
                    }
            }
            int settings = 1;
            for (int slot = 0; slot < output.count; ++slot)
                settings *= where.levels();
            const int y = where.alongRows ? c : t;
            const int x = where.alongRows ? t : c;
            output.table = group.misses.size();
            group.misses.resize(output.table + static_cast<std::size_t>(settings));
            auto setSlot = [&](int slot, int digit) {
                const int line = output.lines[slot];
                const int side = output.sides[slot];
                setBandTexel(where, line, position + side, (side ? wasNext : wasOwn)[line], digit);
            };
            // The settings in order, as an odometer: each step sets only the
            // slots whose digits change.
            int digits[4] = {};
            for (int slot = 0; slot < output.count; ++slot)
                setSlot(slot, 0);
            for (int setting = 0; setting < settings; ++setting) {
                group.misses[output.table + static_cast<std::size_t>(setting)] = missed(y, x) ? 1 : 0;
                for (int slot = 0; slot < output.count; ++slot) {
                    digits[slot] = (digits[slot] + 1) % where.levels();
                    setSlot(slot, digits[slot]);
                    if (digits[slot] != 0)
                        break;
                }
            }
            for (int slot = 0; slot < output.count; ++slot)
                setSlot(slot, where.span); // back to where it was
            group.outputs.push_back(output);
        }
    return group;
}

// Re-solves a band exactly: every texel in it may move up to the band's span
// of levels, everything outside stays, and a dynamic programme along the
// band, whose state is the band's cross-section (one digit a line), finds the
// fewest misses and then the least distance from the estimate. It fixes
// misses that need several texels to move together, which single and paired
// moves cannot see.
// Each output is evaluated once for every setting of the few band texels it
// reads, not once for every pair of states.
void planeRecovery::solveBand(const band& where)
{
    const int lineCount = where.lineCount;
    const int levels = where.levels();
    int states = 1;
    for (int line = 0; line < lineCount; ++line)
        states *= levels;
    std::vector<int> digits(static_cast<std::size_t>(states) * lineCount);
    for (int state = 0; state < states; ++state)
        for (int line = 0, rest = state; line < lineCount; ++line, rest /= levels)
            digits[static_cast<std::size_t>(state) * lineCount + line] = rest % levels;
    auto digit = [&](int state, int line) { return digits[static_cast<std::size_t>(state) * lineCount + line]; };

    const int length = where.last - where.first + 1;
    std::vector<unsigned char> was(static_cast<std::size_t>(length + 2) * lineCount);
    auto wasAt = [&](int k) { return &was[static_cast<std::size_t>(k + 1) * lineCount]; };
    const int positions = (where.alongRows ? columns : rows).length;
    for (int k = -1; k <= length; ++k)
        for (int line = 0; line < lineCount; ++line) {
            const int position = std::clamp(where.first + k, 0, positions - 1);
            wasAt(k)[line] = bandTexel(where, line, position);
        }

    // Distance from the estimate of every state at every position; states
    // that leave 0..255 are unreachable.
    constexpr double unreachable = 1e300;
    std::vector<double> distance(static_cast<std::size_t>(length) * states);
    for (int k = 0; k < length; ++k)
        for (int state = 0; state < states; ++state) {
            double sum = 0;
            for (int line = 0; line < lineCount; ++line) {
                const int value = wasAt(k)[line] + digit(state, line) - where.span;
                const int row = where.alongRows ? where.firstLine + line : where.first + k;
                const int column = where.alongRows ? where.first + k : where.firstLine + line;
                const double away = value - estimated(row, column);
                sum = (value < 0 || value > 255 || sum >= unreachable) ? unreachable : sum + away * away;
            }
            distance[static_cast<std::size_t>(k) * states + state] = sum;
        }
    // An output's table index is a part from the state at the group's own
    // position plus a part from the state at the next. Working the parts out
    // once a state, not once for every pair of states, makes a group's count
    // of misses a few look-ups.
    auto indexByState = [&](bandGroup& group) {
        const std::size_t outputs = group.outputs.size();
        group.ownParts.assign(outputs * static_cast<std::size_t>(states), 0);
        group.nextParts.assign(outputs * static_cast<std::size_t>(states), 0);
        for (std::size_t o = 0; o < outputs; ++o) {
            const bandOutput& output = group.outputs[o];
            for (int state = 0; state < states; ++state) {
                int own = 0;
                int next = 0;
                for (int slot = 0, weight = 1; slot < output.count; ++slot, weight *= levels)
                    (output.sides[slot] ? next : own) += digit(state, output.lines[slot]) * weight;
                group.ownParts[o * static_cast<std::size_t>(states) + static_cast<std::size_t>(state)] = own;
                group.nextParts[o * static_cast<std::size_t>(states) + static_cast<std::size_t>(state)] = next;
            }
        }
    };
    auto groupMisses = [&](const bandGroup& group, int own, int next) {
        work.spent += group.outputs.size();
        int count = 0;
        const int* ownPart = group.ownParts.data() + own;
        const int* nextPart = group.nextParts.data() + next;
        for (const bandOutput& output : group.outputs) {
            count += group.misses[output.table + static_cast<std::size_t>(*ownPart + *nextPart)];
            ownPart += states;
            nextPart += states;
        }
        return count;
    };

    const int unchanged = states / 2;
    std::vector<double> cost(static_cast<std::size_t>(length) * states, unreachable);
    std::vector<int> previous(static_cast<std::size_t>(length) * states, unchanged);
    auto costAt = [&](int k, int state) -> double& { return cost[static_cast<std::size_t>(k) * states + state]; };
    bandGroup entry =
        where.first > 0 ? tabulateGroup(where, where.first - 1, false, true, wasAt(-1), wasAt(0)) : bandGroup();
    indexByState(entry);
    for (int state = 0; state < states; ++state)
        if (distance[static_cast<std::size_t>(state)] < unreachable)
            costAt(0, state) = distance[static_cast<std::size_t>(state)] + missCost * groupMisses(entry, unchanged, state);
    // The states are tried cheapest first, so the search for each next state
    // stops at the first one that could not beat the best found even without
    // a miss; among equal totals the lowest state still wins.
    std::vector<int> cheapestFirst(static_cast<std::size_t>(states));
    for (int k = 0; k + 1 < length; ++k) {
        bandGroup group = tabulateGroup(where, where.first + k, true, true, wasAt(k), wasAt(k + 1));
        indexByState(group);
        std::iota(cheapestFirst.begin(), cheapestFirst.end(), 0);
        std::stable_sort(cheapestFirst.begin(), cheapestFirst.end(),
                         [&](int a, int b) { return costAt(k, a) < costAt(k, b); });
        for (int next = 0; next < states; ++next) {
            const double away = distance[static_cast<std::size_t>(k + 1) * states + next];
            if (away >= unreachable)
                continue;
            double& best = costAt(k + 1, next);
            int& from = previous[static_cast<std::size_t>(k + 1) * states + next];
            for (int state : cheapestFirst) {
                if (costAt(k, state) >= unreachable || costAt(k, state) + away > best)
                    break;
                const double total = costAt(k, state) + missCost * groupMisses(group, state, next) + away;
                if (total < best || (total == best && state < from)) {
                    best = total;
                    from = state;
                }
            }
        }
    }
    bandGroup exit = tabulateGroup(where, where.last, true, false, wasAt(length - 1), wasAt(length));
    indexByState(exit);
    double best = unreachable;
    int bestState = unchanged;
    for (int state = 0; state < states; ++state) {
        if (costAt(length - 1, state) >= unreachable)
            continue;
        const double total = costAt(length - 1, state) + missCost * groupMisses(exit, state, unchanged);
        if (total < best) {
            best = total;
            bestState = state;
        }
    }
    for (int k = length - 1; k >= 0; --k) {
        for (int line = 0; line < lineCount; ++line) {
            setBandTexel(where, line, where.first + k, wasAt(k)[line], digit(bestState, line));
            if (digit(bestState, line) != where.span)
                noteChange(where.alongRows ? where.firstLine + line : where.first + k,
                           where.alongRows ? where.first + k : where.firstLine + line);
        }
        bestState = previous[static_cast<std::size_t>(k) * states + bestState];
    }
}

namespace {

// The first lines of the bands of `lineCount` lines that hold line
// sample.base or sample.next, the band centred on the two first.
std::vector<int> bandsHolding(const axisSample& sample, int lineCount, int lines)
{
    std::vector<int> firstLines;
    for (int firstLine = sample.base - lineCount + 1; firstLine <= sample.next; ++firstLine)
        if (firstLine >= 0 && firstLine + lineCount <= lines)
            firstLines.push_back(firstLine);
    const int centred = (sample.base + sample.next + 1 - lineCount) / 2;
    std::stable_sort(firstLines.begin(), firstLines.end(),
                     [centred](int a, int b) { return std::abs(a - centred) < std::abs(b - centred); });
    return firstLines;
}

} // namespace

// Every band of the stage's lines that holds a row (or a column) that a missed
// output reads, reaching the stage's reach either side of it, in the
// directions given.
void planeRecovery::solveBands(const std::vector<int>& misses, const bandStage& stage, bandDirections directions)
{
    const int lineCount = stage.lineCount;
    for (int index : misses) {
        if (workIsUp())
            return;
        const int y = index / textureWidth;
        const int x = index % textureWidth;
        const axisSample& across = columns[x];
        const axisSample& down = rows[y];
        for (int alongRows = 1; alongRows >= 0; --alongRows) {
            if (!(alongRows ? directions.alongRows : directions.downColumns))
                continue;
            const axisSample& cross = alongRows ? down : across;
            const axisSample& along = alongRows ? across : down;
            const int lines = alongRows ? height : width;
            const int positions = alongRows ? width : height;
            if (lines < lineCount || positions < 2)
                continue;
            for (int firstLine : bandsHolding(cross, lineCount, lines)) {
                if (!missed(y, x))
                    break;
                solveBand({alongRows == 1, lineCount, firstLine, std::max(along.base - stage.reach, 0),
                           std::min(along.base + stage.reach, positions - 1), stage.span});
            }
        }
    }
}

// The stages in turn, each on the misses the ones before it left.
void planeRecovery::solveBandStages(std::vector<int>& misses, std::initializer_list<bandStage> stages,
                                    bandDirections directions)
{
    for (const bandStage& stage : stages) {
        if (misses.empty() || workIsUp())
            return;
        solveBands(misses, stage, directions);
        misses = remainingMisses(misses);
    }
}

// Where a side is scaled by nearly one (63/64, say), its samples drift across
// the texels so slowly that runs of neighbouring outputs each read two texels
// at nearly equal weights. Along such a run the texture shows little but the
// sums of neighbouring texels, and a miss there is fixed only by moving
// texels of three or four lines together by two or three levels, which the
// walk finds seldom or never. Those misses get bands that run along that side
// and allow such moves. They cost too much to try on every miss, so they come
// after the first few walks, which fix most misses that are easy for them.
void planeRecovery::solveNearlyOneSides(std::vector<int>& misses)
{
    constexpr float nearHalf = 0.2f;
    const bandDirections directions{scaledByNearlyOne(width, textureWidth), scaledByNearlyOne(height, textureHeight)};
    if (!directions.alongRows && !directions.downColumns)
        return;
    std::vector<int> inRuns;
    std::vector<int> elsewhere;
    for (int index : misses) {
        const bool inRun =
            (directions.alongRows && std::abs(columns[index % textureWidth].fraction - 0.5f) < nearHalf)
            || (directions.downColumns && std::abs(rows[index / textureWidth].fraction - 0.5f) < nearHalf);
        (inRun ? inRuns : elsewhere).push_back(index);
    }
    solveBandStages(inRuns, {bandStage{3, 10, 2}, bandStage{3, 10, 3}, bandStage{4, 10, 2}}, directions);
    inRuns.insert(inRuns.end(), elsewhere.begin(), elsewhere.end());
    misses = remainingMisses(inRuns);
}

// A walk among the misses: each step moves one texel that a missed output
// reads by one level in the direction it needs, the move that breaks the
// fewest other outputs, or now and then a random one, which lets the misses
// that no local re-solve fixed travel until they meet and cancel.
void planeRecovery::walk(const std::vector<int>& misses, std::size_t stepLimit, std::uint32_t seed)
{
    constexpr std::uint32_t randomMovesPerThousand = 400;
    std::deque<int> queue(misses.begin(), misses.end());
    walkGenerator generator(seed);
    for (std::size_t step = 0; !queue.empty() && step < stepLimit; ++step) {
        const int index = queue.front();
        queue.pop_front();
        if (!missed(index))
            continue;
        if (workIsUp())
            return;
        const int y = index / textureWidth;
        const int x = index % textureWidth;
        const int direction = target(y, x) > static_cast<unsigned char>(sumAt(y, x)) ? 1 : -1;
        texelPosition found[4];
        const int count = contributors(y, x, found);
        double scores[4];
        int movable = 0;
        texelPosition moves[4];
        for (int k = 0; k < count; ++k) {
            unsigned char& value = texel(found[k].row, found[k].column);
            const int was = value;
            if (was + direction < 0 || was + direction > 255)
                continue;
            const double before = missesAround(found[k].row, found[k].column) + 0.01 * distanceCost(found[k].row, found[k].column);
            value = static_cast<unsigned char>(was + direction);
            const double after = missesAround(found[k].row, found[k].column) + 0.01 * distanceCost(found[k].row, found[k].column);
            value = static_cast<unsigned char>(was);
            moves[movable] = found[k];
            scores[movable++] = after - before;
        }
        if (movable == 0)
            continue;
        int chosen = 0;
        if (generator.next(1000) < randomMovesPerThousand)
            chosen = static_cast<int>(generator.next(static_cast<std::uint32_t>(movable)));
        else
            for (int k = 1; k < movable; ++k)
                if (scores[k] < scores[chosen])
                    chosen = k;
        const texelPosition move = moves[chosen];
        texel(move.row, move.column) = static_cast<unsigned char>(texel(move.row, move.column) + direction);
        noteChange(move.row, move.column);
        const auto [firstY, lastY] = rows.reading(move.row);
        const auto [firstX, lastX] = columns.reading(move.column);
        for (int yy = firstY; yy < lastY; ++yy)
            for (int xx = firstX; xx < lastX; ++xx)
                if (missed(yy, xx))
                    queue.push_back(yy * textureWidth + xx);
    }
}

// A chain of moves that fixes a miss: a texel the missed output reads moves
// by a level or two in the direction the output needs, and the outputs around
// it that then miss, at most two, are fixed the same way in turn, up to
// `depth` moves deep, never moving a texel twice. A branch that fails is
// undone (chainLog holds the moves of the branches in progress). Where the
// walk wanders, this tries the branches in order, so the misses that a short
// chain fixes are fixed at once and the walk is left the hard ones.
bool planeRecovery::chainFixes(int y, int x, int depth, long& nodes)
{
    constexpr long nodeLimit = 20000;
    if (!missed(y, x))
        return true;
    if (depth == 0)
        return false;
    const int direction = target(y, x) > static_cast<unsigned char>(sumAt(y, x)) ? 1 : -1;
    texelPosition found[4];
    const int count = contributors(y, x, found);
    for (int k = 0; k < count; ++k) {
        const texelPosition at = found[k];
        if (std::any_of(chainLog.begin(), chainLog.end(), [at](const loggedTexel& change) {
                return change.at.row == at.row && change.at.column == at.column;
            }))
            continue;
        const int was = texel(at.row, at.column);
        for (int step : {direction, 2 * direction}) {
            if (was + step < 0 || was + step > 255 || ++nodes > nodeLimit)
                continue;
            const std::size_t mark = chainLog.size();
            chainLog.push_back({at, static_cast<unsigned char>(was)});
            texel(at.row, at.column) = static_cast<unsigned char>(was + step);
            const auto [firstY, lastY] = rows.reading(at.row);
            const auto [firstX, lastX] = columns.reading(at.column);
            constexpr int widestFrontier = 2;
            int frontier[widestFrontier + 1];
            int frontierSize = 0;
            for (int yy = firstY; yy < lastY && frontierSize <= widestFrontier; ++yy)
                for (int xx = firstX; xx < lastX && frontierSize <= widestFrontier; ++xx)
                    if (missed(yy, xx))
                        frontier[frontierSize++] = yy * textureWidth + xx;
            bool fixed = frontierSize <= widestFrontier;
            for (int i = 0; fixed && i < frontierSize; ++i)
                fixed = chainFixes(frontier[i] / textureWidth, frontier[i] % textureWidth, depth - 1, nodes);
            if (fixed)
                return true;
            while (chainLog.size() > mark) {
                texel(chainLog.back().at.row, chainLog.back().at.column) = chainLog.back().was;
                chainLog.pop_back();
            }
        }
    }
    return false;
}

// Chains of each depth in turn, each on the misses the ones before it left.
void planeRecovery::followChainStages(std::vector<int>& misses, std::initializer_list<int> depths)
{
    for (int depth : depths) {
        if (misses.empty() || workIsUp())
            return;
        followChains(misses, depth);
        misses = remainingMisses(misses);
    }
}

void planeRecovery::followChains(const std::vector<int>& misses, int depth)
{
    for (int index : misses) {
        if (workIsUp())
            return;
        if (!missed(index))
            continue;
        long nodes = 0;
        chainLog.clear();
        if (chainFixes(index / textureWidth, index % textureWidth, depth, nodes))
            for (const loggedTexel& change : chainLog)
                noteChange(change.at.row, change.at.column);
    }
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
