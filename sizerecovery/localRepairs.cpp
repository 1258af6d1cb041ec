#include "sizerecovery/planeRecovery.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <initializer_list>

// The local repairs: each moves a few texels around a miss, from single
// texels to chains of moves and random walks among the misses.

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
