#include "sizerecovery/planeRecovery.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <initializer_list>
#include <numeric>
#include <vector>

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
