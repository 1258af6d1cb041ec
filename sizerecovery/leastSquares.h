#pragma once

#include "sizerecovery/upScaling.h"

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

// The geometry and the least-squares inverse of one side's interpolation,
// from which the plane recovery starts: its estimate of the original is the
// least-squares solution through both sides in turn.

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
