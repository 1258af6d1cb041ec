#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Telling a decoded texture whose encoded texels were changed after encoding
// (re-saved as JPEG or lossy WebP, bits flipped, a run of bytes lost) from one
// decoded intact. A changed encoded byte decodes to a byte that has nothing
// to do with the picture: XOR with the noise and the rotation scatter even a
// one-level change over the whole byte. So a changed texel stands alone: it
// differs from each of its four neighbours by far more than a picture's
// texels do, and no texel around it comes near it.
//
// Such lonely texels are the verdict when they are many. A picture can hold a
// few of its own (a star, a hot pixel), so a few decide only where the texture
// shows that its picture was up-scaled: the texture lines without a lonely
// texel fit a smaller length along a side, and every such length is broken by
// a line that holds one. A lonely texel of the picture itself was up-scaled
// with it, and its line fits.

struct textureDamage {
    bool changed = false;
    std::size_t lonelyTexels = 0; // texels that stand apart from all around them
    std::size_t texels = 0;
};

// `textureRgb` holds width x height texels of red, green and blue, row 0 first.
textureDamage findChangedTexels(const std::vector<unsigned char>& textureRgb, int width, int height);

// "N of the M texels do not belong to the picture", for the refusal's line.
std::string describeDamage(const textureDamage& damage);
