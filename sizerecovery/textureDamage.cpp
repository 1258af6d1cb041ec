#include "sizerecovery/textureDamage.h"

#include "sizerecovery/textureLines.h"
#include "sizerecovery/upScaling.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

constexpr int channels = 3;

// How far a changed texel stands from its four neighbours, and from every
// texel in the 5 x 5 square around it, in some channel. A random byte clears
// this against a picture's texels most of the time; a picture's own texel
// seldom does, and then it is a star or a hot pixel, rare in any photo.
constexpr int lonelyMargin = 32;
constexpr int squareRadius = 2;

// Lonely texels in at least one of this many texels of a texture are many:
// damage unless the picture was up-scaled with them all. A JPEG re-save of
// quality 100 leaves one in ten, whatever the picture, as the encoded bytes
// it changes look alike in every encoding. Past what a real picture holds,
// it stays short of a picture that is largely salt-and-pepper noise.
constexpr std::size_t denseShare = 32;
constexpr std::size_t denseMinimum = 16;

// The lines sampled to find the lengths a side was up-scaled from: evenly
// spread, those holding no lonely texel and not of one level. A length fits
// when at least half of them fit it: at a wrong length nearly every busy line
// fails, while changed texels that were not lonely enough to be seen break a
// share of the lines at the true one.
constexpr std::size_t sampledLines = 64;
// Past this many lengths a side fits, its lines tell nothing: with few lonely
// texels that leaves the picture as it is; with many, a picture that fits so
// freely is smooth, and cannot be up-scaled with so many lonely texels.
constexpr std::size_t fewLengths = 4;
constexpr std::size_t manyLengths = 16;

class texelGrid {
public:
    texelGrid(const std::vector<unsigned char>& rgb, int width) : rgb(rgb), width(width) {}

    int at(int x, int y, int channel) const
    {
        return rgb[(static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x))
                       * channels
                   + static_cast<std::size_t>(channel)];
    }

    // Only texels whose whole square lies in the texture are judged: a thin
    // texture gives too few texels around each to tell.
    bool isLonely(int x, int y) const
    {
        for (int channel = 0; channel < channels; ++channel)
            if (standsApartFromNeighbours(x, y, channel) && standsApartFromSquare(x, y, channel))
                return true;
        return false;
    }

private:
    bool standsApartFromNeighbours(int x, int y, int channel) const
    {
        const int value = at(x, y, channel);
        return std::abs(at(x - 1, y, channel) - value) > lonelyMargin
               && std::abs(at(x + 1, y, channel) - value) > lonelyMargin
               && std::abs(at(x, y - 1, channel) - value) > lonelyMargin
               && std::abs(at(x, y + 1, channel) - value) > lonelyMargin;
    }

    bool standsApartFromSquare(int x, int y, int channel) const
    {
        const int value = at(x, y, channel);
        for (int dy = -squareRadius; dy <= squareRadius; ++dy)
            for (int dx = -squareRadius; dx <= squareRadius; ++dx)
                if ((dx != 0 || dy != 0) && std::abs(at(x + dx, y + dy, channel) - value) <= lonelyMargin)
                    return false;
        return true;
    }

    const std::vector<unsigned char>& rgb;
    int width;
};

// The texture's lines along one side: those holding a lonely texel, and
// those that tell the lengths the side may have been up-scaled from (the
// clean ones, or all). Lines of one level fit any length and take no part.
struct sideLines {
    textureLines lines;
    std::vector<int> telling;
    std::vector<int> lonely;
    std::vector<bool> isTelling; // by line
};

sideLines sortLines(const textureLines& lines, const std::vector<bool>& lonelyLines, bool lonelyLinesTell)
{
    sideLines side{lines, {}, {}, std::vector<bool>(static_cast<std::size_t>(lines.count()), false)};
    for (int line = 0; line < lines.count(); ++line) {
        if (lines.isLevel(line))
            continue;
        const bool isLonely = lonelyLines[static_cast<std::size_t>(line)];
        if (isLonely)
            side.lonely.push_back(line);
        if (!isLonely || lonelyLinesTell) {
            side.telling.push_back(line);
            side.isTelling[static_cast<std::size_t>(line)] = true;
        }
    }
    return side;
}

// At most `count` of `lines`, spread evenly.
std::vector<int> spreadSample(const std::vector<int>& lines, std::size_t count)
{
    const std::size_t taken = std::min(count, lines.size());
    std::vector<int> sample;
    for (std::size_t i = 0; i < taken; ++i)
        sample.push_back(lines[i * lines.size() / taken]);
    return sample;
}

// The shorter lengths, not scaled by nearly one, that at least half of the
// sampled telling lines fit in real numbers; nothing when there are more than
// `mostLengths`, as for a smooth picture, which fits almost any length and so
// tells nothing of its own.
std::optional<std::vector<int>> upScaledLengths(const sideLines& side, std::size_t mostLengths)
{
    const std::vector<int> sampled = spreadSample(side.telling, sampledLines);
    const int textureLength = side.lines.length();
    std::vector<int> lengths;
    if (side.lonely.empty() || sampled.size() < 2)
        return lengths;
    for (int length = textureLength / 2 + 1; length < textureLength; ++length) {
        if (scaledByNearlyOne(length, textureLength))
            continue;
        const std::vector<axisSample> samples = sampleAxis(length, textureLength);
        std::size_t fitting = 0;
        std::size_t failing = 0;
        for (int line : sampled) {
            if (side.lines.fitsReal(line, samples, length))
                ++fitting;
            else if (++failing * 2 > sampled.size())
                break;
        }
        if (fitting * 2 >= sampled.size())
            lengths.push_back(length);
        if (lengths.size() > mostLengths)
            return std::nullopt;
    }
    return lengths;
}

// Whether at least half of the telling lines that sample one original line
// alone, at `crossLength` across, fit `length` with whole texels (at most
// sixteen are tried): the exact test that smooth lines pass at a wrong length
// only by chance.
bool wholeLinesFit(const sideLines& side, int length, int crossLength)
{
    constexpr std::size_t wholeLinesTried = 16;
    const std::vector<axisSample> across = sampleAxis(crossLength, side.lines.count());
    std::vector<int> whole;
    for (int line = 0; line < side.lines.count(); ++line) {
        const axisSample& sample = across[static_cast<std::size_t>(line)];
        if ((sample.fraction == 0.0f || sample.rest == 0.0f) && side.isTelling[static_cast<std::size_t>(line)])
            whole.push_back(line);
    }
    const std::vector<int> tried = spreadSample(whole, wholeLinesTried);
    const std::vector<axisSample> samples = sampleAxis(length, side.lines.length());
    const std::size_t fitting = static_cast<std::size_t>(std::count_if(
        tried.begin(), tried.end(), [&](int line) { return side.lines.fitsWhole(line, samples, length); }));
    return !tried.empty() && fitting * 2 >= tried.size();
}

bool brokenByLonelyLine(const sideLines& side, int length)
{
    if (length == side.lines.length())
        return false;
    const std::vector<axisSample> samples = sampleAxis(length, side.lines.length());
    return std::any_of(side.lonely.begin(), side.lonely.end(),
                       [&](int line) { return !side.lines.fitsReal(line, samples, length); });
}

enum class upScalingEvidence {
    none,           // no smaller size fits the telling lines, or too many do to tell
    lonelyLinesFit, // at some smaller size that fits, every line holding a lonely texel fits too
    lonelyLinesBreak, // some smaller sizes fit, and at each a line holding a lonely texel does not
};

// What the texture's lines say of an up-scaled picture and its lonely texels.
upScalingEvidence weighUpScaling(const sideLines& rows, const sideLines& columns, std::size_t mostLengths)
{
    std::optional<std::vector<int>> widths = upScaledLengths(rows, mostLengths);
    std::optional<std::vector<int>> heights = upScaledLengths(columns, mostLengths);
    if (!widths || !heights)
        return upScalingEvidence::none;
    const int width = rows.lines.length();
    const int height = columns.lines.length();
    widths->push_back(width);
    heights->push_back(height);
    bool anySize = false;
    for (int candidateWidth : *widths)
        for (int candidateHeight : *heights) {
            if (candidateWidth == width && candidateHeight == height)
                continue;
            if ((candidateWidth < width && !wholeLinesFit(rows, candidateWidth, candidateHeight))
                || (candidateHeight < height && !wholeLinesFit(columns, candidateHeight, candidateWidth)))
                continue;
            anySize = true;
            if (!brokenByLonelyLine(rows, candidateWidth) && !brokenByLonelyLine(columns, candidateHeight))
                return upScalingEvidence::lonelyLinesFit;
        }
    return anySize ? upScalingEvidence::lonelyLinesBreak : upScalingEvidence::none;
}

} // namespace

textureDamage findChangedTexels(const std::vector<unsigned char>& textureRgb, int width, int height)
{
    textureDamage damage;
    damage.texels = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    const texelGrid grid(textureRgb, width);
    std::vector<bool> lonelyRows(static_cast<std::size_t>(height), false);
    std::vector<bool> lonelyColumns(static_cast<std::size_t>(width), false);
    for (int y = squareRadius; y < height - squareRadius; ++y)
        for (int x = squareRadius; x < width - squareRadius; ++x)
            if (grid.isLonely(x, y)) {
                ++damage.lonelyTexels;
                lonelyRows[static_cast<std::size_t>(y)] = true;
                lonelyColumns[static_cast<std::size_t>(x)] = true;
            }
    if (damage.lonelyTexels == 0)
        return damage;
    // Many lonely texels are damage unless the picture was up-scaled with
    // them all (a fine dither is); a few, only where the up-scaling shows
    // that they broke it. The lengths that many lonely texels leave are told
    // by every line, and the few of a smooth picture do not rule damage out.
    const bool many = damage.lonelyTexels >= denseMinimum && damage.lonelyTexels * denseShare >= damage.texels;
    const upScalingEvidence evidence =
        weighUpScaling(sortLines(textureLines(textureRgb, width, height, true), lonelyRows, many),
                       sortLines(textureLines(textureRgb, width, height, false), lonelyColumns, many),
                       many ? manyLengths : fewLengths);
    damage.changed = many ? evidence != upScalingEvidence::lonelyLinesFit
                          : evidence == upScalingEvidence::lonelyLinesBreak;
    return damage;
}

std::string describeDamage(const textureDamage& damage)
{
    char line[160];
    std::snprintf(line, sizeof line, "%zu of its %zu texels stand apart from every texel around them",
                  damage.lonelyTexels, damage.texels);
    return line;
}
