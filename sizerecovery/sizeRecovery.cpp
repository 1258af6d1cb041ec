// The driver of the size recovery: which sizes are tried, in what order, and
// with how much work each. It stays one file because the order of the tiers
// and the work limits only make sense read together; the strategies that
// recover a plane at a given size are in planeRecovery.cpp and the files
// beside it.

#include "sizerecovery/sizeRecovery.h"

#include "base/parallelParts.h"

#include "sizerecovery/textureLines.h"
#include "sizerecovery/pixelRecovery.h"
#include "sizerecovery/upScaling.h"
#include "texture/singleTexelStretch.h"

#include <SOIL/image_helper.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>

namespace {

constexpr int channels = 3;

// A wrong length usually fails within a few texels of the first lines tried;
// these many of the busiest lines are tried on every candidate, and more on
// a candidate that the size search reaches. (The recovery itself is the
// full test; these only spare it most wrong sizes.)
constexpr std::size_t quickLineCount = 8;
constexpr std::size_t thoroughLineCount = 256;

// The single-line test of a candidate size is run on at most this many of the
// texture lines that sample one original line alone.
constexpr std::size_t wholeLineCount = 16;

bool linesFit(const textureLines& lines, const std::vector<int>& order, std::size_t count, int originalLength)
{
    const std::vector<axisSample> samples = sampleAxis(originalLength, lines.length());
    for (std::size_t i = 0; i < count && i < order.size(); ++i)
        if (!lines.fitsReal(order[i], samples, originalLength))
            return false;
    return true;
}

// The lengths that the busiest lines fit, and that the first line fits with
// whole texels: the first texture line samples the first original line alone
// whatever the length across, so its exact test holds for every size. Most
// wrong lengths fail the busiest line; the smooth lines of a smooth picture
// fit almost any length in real numbers, but seldom in whole texels. So the
// busiest line goes first, the whole-texel test next, and the other busy
// lines last, on the few lengths left.
std::vector<int> quickLengths(const textureLines& lines, const std::vector<int>& busiest)
{
    const int textureLength = lines.length();
    std::vector<int> lengths;
    for (int length = textureLength / 2 + 1; length < textureLength && textureLength > 2; ++length)
        if (linesFit(lines, busiest, 1, length) && lines.fitsWhole(0, sampleAxis(length, textureLength), length)
            && linesFit(lines, busiest, quickLineCount, length))
            lengths.push_back(length);
    lengths.push_back(textureLength);
    return lengths;
}

// The candidate lengths of one side and the slower tests of a candidate,
// run only when the size search reaches it and remembered.
class sideSearch {
public:
    sideSearch(const std::vector<unsigned char>& rgb, int textureWidth, int textureHeight, bool alongRows)
        : lines(rgb, textureWidth, textureHeight, alongRows),
          crossLength(alongRows ? textureHeight : textureWidth),
          busiest(lines.busiestFirst()),
          lengths(quickLengths(lines, busiest))
    {
    }

    const std::vector<int>& candidates() const { return lengths; }

    bool fitsBusyLines(int length)
    {
        auto known = busyLinesFit.find(length);
        if (known == busyLinesFit.end())
            known = busyLinesFit.emplace(length, length == lines.length()
                                                     || linesFit(lines, busiest, thoroughLineCount, length)).first;
        return known->second;
    }

    // The texture lines that sample one original line alone (with no fraction
    // across, given the length `acrossLength` of the other side) each hold an
    // exact one-dimensional problem: a length that none of their whole-texel
    // lines fits is ruled out. The first and last lines sample one original
    // line whatever the length across, so every candidate of the other side
    // asks about them again: each line's answer for a length is remembered.
    bool singleLinesFit(int length, int acrossLength)
    {
        if (length == lines.length())
            return true;
        const std::vector<axisSample> across = sampleAxis(acrossLength, crossLength);
        const std::vector<axisSample> samples = sampleAxis(length, lines.length());
        std::size_t tested = 0;
        for (int line : busiest) {
            const axisSample& sample = across[static_cast<std::size_t>(line)];
            if (sample.fraction != 0.0f && sample.rest != 0.0f)
                continue;
            auto known = wholeLineFits.find({length, line});
            if (known == wholeLineFits.end())
                known = wholeLineFits.emplace(std::make_pair(length, line), lines.fitsWhole(line, samples, length))
                            .first;
            if (!known->second)
                return false;
            if (++tested == wholeLineCount)
                break;
        }
        return true;
    }

private:
    textureLines lines;
    int crossLength;
    std::vector<int> busiest;
    std::vector<int> lengths;
    std::map<int, bool> busyLinesFit;
    std::map<std::pair<int, int>, bool> wholeLineFits; // by length and line
};

// The sizes to try, in turn: smallest width first, and for each the smallest
// height first, in three tiers, and the texture's own size last.
// - Sizes with each side shorter than the texture's, not both scaled by
//   nearly one.
// - Sizes with both sides scaled by nearly one. A smooth picture fits these
//   almost exactly whatever its own size, and each costs the whole budget of
//   its planes to give up; tried earlier, they used up the search's time
//   before a smooth picture's own size came.
// - Sizes with one side at the texture's length: such a size fits whenever
//   each texture line along the other side is an up-scaling on its own, the
//   fallback of a picture whose own size was given up.
std::vector<std::pair<int, int>> sizesInSearchOrder(const std::vector<int>& widths, const std::vector<int>& heights,
                                                    int textureWidth, int textureHeight)
{
    std::vector<std::pair<int, int>> tiers[3];
    for (int width : widths)
        for (int height : heights) {
            if (width == textureWidth && height == textureHeight)
                continue;
            const bool keepsASide = width == textureWidth || height == textureHeight;
            const bool bothNearlyOne =
                scaledByNearlyOne(width, textureWidth) && scaledByNearlyOne(height, textureHeight);
            tiers[keepsASide ? 2 : bothNearlyOne ? 1 : 0].emplace_back(width, height);
        }
    std::vector<std::pair<int, int>> sizes;
    for (const auto& tier : tiers)
        sizes.insert(sizes.end(), tier.begin(), tier.end());
    sizes.emplace_back(textureWidth, textureHeight);
    return sizes;
}

std::vector<unsigned char> channelPlane(const std::vector<unsigned char>& rgb, int channel)
{
    std::vector<unsigned char> plane(rgb.size() / channels);
    for (std::size_t i = 0; i < plane.size(); ++i)
        plane[i] = rgb[i * channels + static_cast<std::size_t>(channel)];
    return plane;
}

// The texture texels that SOIL's own up-scaling of the candidate misses, or
// for a texture one texel wide or high (which SOIL's up-scaling refuses) the
// loader's stretch of such lines; every texel when neither can be made.
std::size_t texelsMissed(const std::vector<unsigned char>& rgb, int width, int height,
                         const std::vector<unsigned char>& texture, int textureWidth, int textureHeight)
{
    const std::size_t textureTexels = texture.size() / channels;
    std::vector<unsigned char> scaled;
    if (textureWidth >= 2 && textureHeight >= 2) {
        scaled.resize(texture.size());
        if (up_scale_image(rgb.data(), width, height, channels, scaled.data(), textureWidth, textureHeight) != 1)
            return textureTexels;
    } else if (!needsSingleTexelStretch(width, height)) {
        scaled = rgb;
    } else {
        int stretchedWidth = 0;
        int stretchedHeight = 0;
        scaled = stretchSingleTexelLine(rgb.data(), width, height, channels, stretchedWidth, stretchedHeight);
        if (stretchedWidth != textureWidth || stretchedHeight != textureHeight)
            return textureTexels;
    }
    if (scaled.size() != texture.size())
        return textureTexels;
    std::size_t missed = 0;
    for (std::size_t texel = 0; texel < textureTexels; ++texel)
        missed += std::equal(&scaled[texel * channels], &scaled[texel * channels] + channels,
                             &texture[texel * channels])
                      ? 0
                      : 1;
    return missed;
}

// For each plane, the first plane equal to it: a grey picture's three planes
// are one texture, recovered once.
std::vector<int> firstEqualPlanes(const std::vector<std::vector<unsigned char>>& planes)
{
    std::vector<int> firstEqual;
    for (std::size_t channel = 0; channel < planes.size(); ++channel)
        firstEqual.push_back(static_cast<int>(
            std::find(planes.begin(), planes.end(), planes[channel]) - planes.begin()));
    return firstEqual;
}

// The distinct planes are independent; each is recovered on a thread of its
// own, with the whole of `allowance` for itself, so that what one plane finds
// never depends on how fast the others go. A size is ruled out when any plane
// rules it out, and found when all are. With `probeFirst`, the first plane's
// first repairs run alone before that, so that a size they rule out costs one
// plane's first repairs, not three planes'; a size they leave open has them
// done again with the others. Adds the work of every plane to `spent`.
planeSearch recoverPlanes(const std::vector<std::vector<unsigned char>>& planes, const std::vector<int>& firstEqual,
                          int textureWidth, int textureHeight, int width, int height, std::uint64_t allowance,
                          bool probeFirst, std::vector<unsigned char>& rgb, std::uint64_t& spent,
                          workProgress* progress)
{
    if (probeFirst) {
        planeWork probe{allowance, 0, progress};
        const std::optional<planeSearch> verdict =
            firstRepairsVerdict(planes[0], textureWidth, textureHeight, width, height, probe);
        spent += probe.spent;
        if (verdict)
            return *verdict;
    }
    std::vector<unsigned char> recovered[channels];
    planeSearch found[channels] = {};
    planeWork work[channels] = {{allowance, 0, progress}, {allowance, 0, progress}, {allowance, 0, progress}};
    std::vector<int> distinct;
    for (int channel = 0; channel < channels; ++channel)
        if (firstEqual[static_cast<std::size_t>(channel)] == channel)
            distinct.push_back(channel);
    runParallelParts(distinct.size(), [&](std::size_t part) {
        const int channel = distinct[part];
        found[channel] = recoverPlane(planes[static_cast<std::size_t>(channel)], textureWidth, textureHeight, width,
                                      height, work[channel], recovered[channel]);
    });
    for (int channel = 0; channel < channels; ++channel) {
        spent += work[channel].spent;
        const int same = firstEqual[static_cast<std::size_t>(channel)];
        found[channel] = found[same];
        recovered[channel] = recovered[same];
    }
    for (const planeSearch search : {planeSearch::ruledOut, planeSearch::gaveUp})
        if (std::find(std::begin(found), std::end(found), search) != std::end(found))
            return search;
    const bool nearly = std::find(std::begin(found), std::end(found), planeSearch::nearlyFound) != std::end(found);
    rgb.resize(recovered[0].size() * channels);
    for (std::size_t i = 0; i < recovered[0].size(); ++i)
        for (int channel = 0; channel < channels; ++channel)
            rgb[i * channels + static_cast<std::size_t>(channel)] = recovered[channel][i];
    return nearly ? planeSearch::nearlyFound : planeSearch::found;
}

} // namespace

std::vector<int> feasibleLengths(const std::vector<unsigned char>& textureRgb, int textureWidth, int textureHeight,
                                 bool alongRows)
{
    const textureLines lines(textureRgb, textureWidth, textureHeight, alongRows);
    const std::vector<int> busiest = lines.busiestFirst();
    std::vector<int> lengths;
    for (int length : quickLengths(lines, busiest))
        if (length == lines.length() || linesFit(lines, busiest, thoroughLineCount, length))
            lengths.push_back(length);
    return lengths;
}

recoveredPicture recoverOriginalSize(const std::vector<unsigned char>& textureRgb, int textureWidth,
                                     int textureHeight, std::uint64_t workLimit, workProgress* progress)
{
    std::uint64_t workSpent = 0;
    recoveredPicture picture;
    picture.width = textureWidth;
    picture.height = textureHeight;
    // The two sides' candidates are independent, found side by side.
    std::optional<sideSearch> widths;
    std::optional<sideSearch> heights;
    runParallelParts(2, [&](std::size_t part) {
        (part == 0 ? widths : heights).emplace(textureRgb, textureWidth, textureHeight, part == 0);
    });
    std::vector<std::vector<unsigned char>> planes;
    for (int channel = 0; channel < channels; ++channel)
        planes.push_back(channelPlane(textureRgb, channel));
    const std::vector<int> firstEqual = firstEqualPlanes(planes);

    // A size whose planes were given up on may have been the answer, so the
    // texture is then kept for lack of work, not for lack of a smaller size,
    // and a larger size found later is not called the original.
    bool sizeGivenUp = false;
    // Most textures fit their own size first of all those tried. One that has
    // had a size ruled out fits others closely (a smooth picture does), and
    // most of the sizes after it are ruled out too: each is first tried on
    // one plane.
    bool sizeRuledOut = false;
    // The size whose picture came nearest to up-scaling to the texture, when
    // none did so exactly. It beats a size that keeps a side of the texture,
    // which would stretch the picture along the other.
    std::optional<recoveredPicture> nearest;
    auto lastResort = [&](recoveredPicture::outcome kept) {
        if (nearest)
            return std::move(*nearest);
        picture.result = kept;
        return std::move(picture);
    };
    for (const auto& [width, height] :
         sizesInSearchOrder(widths->candidates(), heights->candidates(), textureWidth, textureHeight)) {
        if (width == textureWidth && height == textureHeight)
            return lastResort(sizeGivenUp ? recoveredPicture::outcome::outOfWork
                                          : recoveredPicture::outcome::textureKept);
        if (workSpent >= workLimit)
            return lastResort(recoveredPicture::outcome::outOfWork);
        if (nearest && (width == textureWidth || height == textureHeight))
            continue;
        // The single lines' tests read a line or two a size; the busy
        // lines' test reads hundreds, so it comes last.
        if (!widths->singleLinesFit(width, height) || !heights->singleLinesFit(height, width)
            || !widths->fitsBusyLines(width) || !heights->fitsBusyLines(height))
            continue;
        std::vector<unsigned char> rgb;
        const planeSearch search = recoverPlanes(planes, firstEqual, textureWidth, textureHeight, width, height,
                                                 workLimit - workSpent, sizeRuledOut, rgb, workSpent, progress);
        if (progress != nullptr)
            progress->reach(workSpent);
        sizeGivenUp = sizeGivenUp || search == planeSearch::gaveUp;
        sizeRuledOut = sizeRuledOut || search == planeSearch::ruledOut;
        if (search != planeSearch::found && search != planeSearch::nearlyFound)
            continue;
        const std::size_t missed = texelsMissed(rgb, width, height, textureRgb, textureWidth, textureHeight);
        if (missed == 0)
            return {recoveredPicture::outcome::recovered, width, height, std::move(rgb), sizeGivenUp, 0};
        if (!nearest || missed < nearest->texelsMissed)
            nearest = recoveredPicture{recoveredPicture::outcome::nearlyRecovered, width, height, std::move(rgb),
                                       sizeGivenUp, missed};
    }
    return picture;
}

std::uint64_t recoveryWorkLimit(int textureWidth, int textureHeight)
{
    constexpr std::uint64_t fixedPart = 1'000'000'000;
    constexpr std::uint64_t perTexel = 1'500;
    return fixedPart + perTexel * static_cast<std::uint64_t>(textureWidth) * static_cast<std::uint64_t>(textureHeight);
}

std::string describeRecovery(const recoveredPicture& picture, int textureWidth, int textureHeight)
{
    const char* const smallerGivenUp = ", but the search for a smaller original reached its work limit";
    const char* const which = picture.smallerSizeGivenUp ? "size" : "original size";
    const char* const caveat = picture.smallerSizeGivenUp ? smallerGivenUp : "";
    char line[256];
    switch (picture.result) {
    case recoveredPicture::outcome::recovered:
        std::snprintf(line, sizeof line, "%s %dx%d recovered; it up-scales to the encoded texture exactly%s", which,
                      picture.width, picture.height, caveat);
        break;
    case recoveredPicture::outcome::nearlyRecovered:
        std::snprintf(line, sizeof line,
                      "%s %dx%d recovered nearly; it up-scales to the encoded texture but for %zu of its %lld "
                      "texels%s",
                      which, picture.width, picture.height, picture.texelsMissed,
                      static_cast<long long>(textureWidth) * textureHeight, caveat);
        break;
    case recoveredPicture::outcome::textureKept:
        std::snprintf(line, sizeof line, "texture size %dx%d kept; no smaller original up-scales to it exactly",
                      textureWidth, textureHeight);
        break;
    case recoveredPicture::outcome::outOfWork:
        std::snprintf(line, sizeof line,
                      "texture size %dx%d kept; the search for a smaller original reached its work limit",
                      textureWidth, textureHeight);
        break;
    }
    return line;
}
