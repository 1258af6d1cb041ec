#pragma once

#include "base/workProgress.h"

#include <cstdint>
#include <optional>
#include <vector>

// Recovering the texels of one colour plane of a picture from its up-scaled
// texture, once the picture's size is known (sizeRecovery.h finds it).
//
// The up-scaling rounds, so several originals can give the same texture. The
// one returned is an original whose up-scaling (upScaling.h) is the texture
// exactly, chosen near the least-squares estimate through the interpolation:
// the estimate is rounded, and the few texels whose outputs then miss are
// repaired locally, each repair keeping texels as close to the estimate as
// the outputs around them allow. The repair looks at a few texels at a time
// and widens its view only for what the narrower views left, so its time
// follows the number of misses rather than the picture's size. Where a side
// is scaled by nearly one, the misses where its samples read two texels at
// nearly equal weights get views wider in lines and in levels. The last few
// misses of a large picture, where changes to it barely show in the texture,
// can take long to find, and a wrong size can leave one that is never found;
// a budget of their own, a few times what the earlier stages took, and the
// plane's allowance bound them.
//
// Work is counted, not timed, so that a texture gives the same picture on any
// machine, under any load and in any build. Its unit is one output evaluated
// (a texture texel summed from the texels it reads), which is where the
// recovery spends its time; a dynamic programme's step counts one for each
// output it looks up.

struct planeWork {
    std::uint64_t allowance = 0;
    std::uint64_t spent = 0;
    // Where the work is shown as it goes, if anywhere; what was shown so far.
    workProgress* progress = nullptr;
    std::uint64_t shown = 0;

    void showProgress()
    {
        if (progress != nullptr)
            progress->add(spent - shown);
        shown = spent;
    }
};

enum class planeSearch {
    found,     // `original` up-scales to the texture exactly
    ruledOut,  // the estimate misses far too many outputs for a true size
    gaveUp,    // misses were left when the last misses' budget or the plane's allowance ran out
    nearlyFound, // as gaveUp, but the misses left are few: `original` misses only those outputs
};

// Fills `original` (width x height, one byte a texel, rows top first) with a
// plane whose up-scaling to textureWidth x textureHeight is exactly `texture`,
// when it finds one, or the nearest plane found when its misses are few
// (nearlyFound). A plane given up on may still exist: only a size ruled out
// is taken to be wrong.
planeSearch recoverPlane(const std::vector<unsigned char>& texture, int textureWidth, int textureHeight, int width,
                         int height, planeWork& work, std::vector<unsigned char>& original);

// The verdict of the plane's first, cheap repairs (single texels and pairs),
// where recoverPlane rules most wrong sizes out: ruledOut for a size they
// rule out, gaveUp when the allowance cut them short, nothing when the size
// is still open.
std::optional<planeSearch> firstRepairsVerdict(const std::vector<unsigned char>& texture, int textureWidth,
                                               int textureHeight, int width, int height,
                                               planeWork& work);
