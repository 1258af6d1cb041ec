#pragma once

#include "sizerecovery/leastSquares.h"
#include "sizerecovery/pixelRecovery.h"
#include "sizerecovery/upScaling.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

// The recovery of one plane (pixelRecovery.h), shared by the files that hold
// its strategies: planeRecovery.cpp the estimate and the order of the stages,
// localRepairs.cpp the moves of single texels, pairs, chains and walks, and
// bandSolver.cpp the exact re-solves of bands of lines. Nothing outside the
// size recovery includes this.

// A missed output outweighs any distance from the estimate.
inline constexpr double missCost = 1e6;

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

    // Asked between steps, which is where the work done so far is shown.
    bool workIsUp() const
    {
        work.showProgress();
        return work.spent >= std::min(work.allowance, walkWorkEnd);
    }

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
