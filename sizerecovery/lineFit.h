#pragma once

#include "sizerecovery/upScaling.h"

#include <cstddef>
#include <vector>

// Whether one line of a texture (a row or a column, `stride` bytes between
// its texels) can be the up-scaling of a line of `samples`' original length.
// These are the size search's tests: each looks at one side only.

// Whether some line of real values in 0..255 gives this texture line after
// rounding. A texture row is a blend of two original rows, so a row that no
// real line fits rules the width out whatever the height; it never rules out
// the true width. Exact along the line (the feasible values of each texel form
// an interval, passed on from texel to texel).
bool fitsRealLine(const unsigned char* line, std::ptrdiff_t stride, const std::vector<axisSample>& samples,
                  int originalLength);

// Whether some line of whole texels gives this texture line exactly, with
// SOIL's arithmetic. Holds only for a texture line that samples one original
// line alone (its fraction across is 0, as for row 0 and column 0), and is
// then the stronger test.
bool fitsWholeLine(const unsigned char* line, std::ptrdiff_t stride, const std::vector<axisSample>& samples,
                   int originalLength);
