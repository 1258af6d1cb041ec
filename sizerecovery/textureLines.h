#pragma once

#include "texture/axisSampling.h"

#include <cstddef>
#include <vector>

// A texture's lines along one side, rows when `alongRows`, else columns, of
// red, green and blue texels, with the line tests of lineFit.h asked of all
// three colours at once. It reads the texture it is given, which must outlive
// it.
class textureLines {
public:
    textureLines(const std::vector<unsigned char>& rgb, int width, int height, bool alongRows);

    bool runsAlongRows() const { return alongRows; }
    int count() const { return alongRows ? height : width; }
    int length() const { return alongRows ? width : height; }

    // All lines, the ones whose neighbouring texels differ most first: a
    // wrong length fails soonest on them, while a flat line fits any. The
    // texture is read row by row whichever side the lines run along.
    std::vector<int> busiestFirst() const;

    // Whether the line can be the up-scaling of a line of `originalLength`
    // real values (fitsRealLine), `samples` being sampleAxis's for it.
    bool fitsReal(int line, const std::vector<axisSample>& samples, int originalLength) const;

    // Whether the line, which must sample one original line alone, is the
    // up-scaling of a line of whole texels (fitsWholeLine). A line of one
    // level is the up-scaling of a line of that level at any length, and the
    // whole-texel test is slowest on it: it is not run there.
    bool fitsWhole(int line, const std::vector<axisSample>& samples, int originalLength) const;

    // Whether the line is of one level in every colour.
    bool isLevel(int line) const;

private:
    static constexpr int channels = 3;

    std::ptrdiff_t stride() const;
    const unsigned char* start(int line, int channel) const;
    bool isLevel(int line, int channel) const;

    const std::vector<unsigned char>& rgb;
    int width;
    int height;
    bool alongRows;
};
