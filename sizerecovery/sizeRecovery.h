#pragma once

#include "base/workProgress.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Giving a decoded picture back at its own size. The encoder's loader raises
// each side that is not a power of two with SOIL's bilinear up-scaling
// (upScaling.h), so a decoded texture of W x H is the up-scaling of an
// original of w x h with W/2 < w <= W and H/2 < h <= H. This tries the sizes
// that the texture's lines fit, side by side, smallest first (in tiers: see
// sizesInSearchOrder), until one has an original whose up-scaling is the
// texture exactly (pixelRecovery.h), checked with SOIL's own up-scaling.
// When none does within the work limit, the size whose picture misses
// fewest texels, if any comes near, is given back, saying how near.
//
// A texture can fit several sizes: a flat or smoothly shaded picture fits
// every size, and comes back at the smallest. w = W and h = H always fit (the
// texture itself), so a texture that fits no smaller size comes back as it
// is, bit for bit.

struct recoveredPicture {
    enum class outcome {
        recovered,       // a smaller original was found
        nearlyRecovered, // a smaller size fits, but its picture misses a few texels of the texture
        textureKept,     // no smaller size fits the texture
        outOfWork,       // the search did not end within its work limit, or gave a size up for its budget
    };
    outcome result = outcome::textureKept;
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb; // width x height, rows top first; empty unless (nearly) recovered
    // Recovered only after a smaller size was given up for its work limit:
    // that size may have been the original, and this one then is not.
    bool smallerSizeGivenUp = false;
    // The texture texels that SOIL's up-scaling of `rgb` misses: 0 but when
    // nearlyRecovered.
    std::size_t texelsMissed = 0;
};

// `textureRgb` holds textureWidth x textureHeight texels of red, green and
// blue, texture row 0 first. Gives up once the search has done `workLimit`
// units of work (pixelRecovery.h counts them), so that its answer is the
// same on every machine. The work done is shown to `progress` as it goes.
recoveredPicture recoverOriginalSize(const std::vector<unsigned char>& textureRgb, int textureWidth,
                                     int textureHeight, std::uint64_t workLimit, workProgress* progress = nullptr);

// The work the decoder allows the search for a texture of this size.
std::uint64_t recoveryWorkLimit(int textureWidth, int textureHeight);

// The line the decoder prints about the outcome, for example "original size
// 300x200 recovered; it up-scales to the encoded texture exactly".
std::string describeRecovery(const recoveredPicture& picture, int textureWidth, int textureHeight);

// The widths (or heights, for `alongRows` false) from textureLength / 2 + 1
// up to textureLength that the busiest texture lines fit (fitsRealLine) and
// the first line fits with whole texels (fitsWholeLine), smallest first;
// textureLength is always the last.
std::vector<int> feasibleLengths(const std::vector<unsigned char>& textureRgb, int textureWidth, int textureHeight,
                                 bool alongRows);
