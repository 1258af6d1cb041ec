#include "seedsearch/naturalness.h"

#include "core/rgbTexels.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>

namespace {

constexpr int byteValues = 256;

// Shares of the three parts of the model. The uniform share bounds what any
// single byte can cost (at most log2(1/0.1) bits more than raw), so that the
// edges of text or line art never outweigh the flat areas between them.
constexpr double uniformShare = 0.1;
constexpr double valueShare = 0.1;
constexpr double neighbourShare = 1.0 - uniformShare - valueShare;

// A two-sided geometric kernel sums to 1 over all integers; its restriction
// to 0..255 sums to less, which keeps the model a proper code. The sharp one
// fits text, line art and dithers, whose neighbours repeat exactly; the wide
// one the few units by which a photo's neighbours differ; the broad one the
// tens of a grainy photo or of one shrunk to a few texels.
constexpr double sharpRatio = 0.05;
constexpr double wideRatio = 0.85;
constexpr double broadRatio = 0.95;
constexpr double sharpShare = 0.4;
constexpr double wideShare = 0.4;
constexpr double broadShare = 1.0 - sharpShare - wideShare;

double geometricKernel(double ratio, int distance)
{
    return (1 - ratio) / (1 + ratio) * std::pow(ratio, distance);
}

std::array<double, byteValues> makeKernel()
{
    std::array<double, byteValues> kernel{};
    for (int distance = 0; distance < byteValues; ++distance)
        kernel[static_cast<std::size_t>(distance)] = sharpShare * geometricKernel(sharpRatio, distance)
                                                      + wideShare * geometricKernel(wideRatio, distance)
                                                      + broadShare * geometricKernel(broadRatio, distance);
    return kernel;
}

const std::array<double, byteValues>& neighbourKernel()
{
    static const std::array<double, byteValues> kernel = makeKernel();
    return kernel;
}

} // namespace

evidenceMeter::evidenceMeter(std::uint32_t rowWidth)
    : width(rowWidth), previousRow(std::size_t{rowWidth} * rgbChannels), valueCounts(rgbChannels * byteValues)
{
}

// The values a channel has taken so far, counted with half a count for every
// value (the Krichevsky–Trofimov estimate), so that a picture of few values
// (a dither, a palette) codes cheaply even where neighbours disagree.
double evidenceMeter::valueProbability(int channel, int value) const
{
    return (valueCounts[static_cast<std::size_t>(channel * byteValues + value)] + 0.5)
           / (channelCounts[channel] + 0.5 * byteValues);
}

double evidenceMeter::neighbourProbability(const unsigned char* row, std::uint32_t x, int channel,
                                           double valueEstimate) const
{
    const auto& kernel = neighbourKernel();
    const std::size_t here = std::size_t{x} * rgbChannels + channel;
    const int value = row[here];
    double kernelSum = 0;
    int neighbours = 0;
    const auto addNeighbour = [&](int neighbourValue) {
        kernelSum += kernel[static_cast<std::size_t>(std::abs(value - neighbourValue))];
        ++neighbours;
    };
    if (x >= 1)
        addNeighbour(row[here - rgbChannels]);
    if (x >= 2)
        addNeighbour(row[here - 2 * rgbChannels]);
    if (hasRowAbove) {
        addNeighbour(previousRow[here]);
        if (x >= 1)
            addNeighbour(previousRow[here - rgbChannels]);
        if (x + 1 < width)
            addNeighbour(previousRow[here + rgbChannels]);
    }
    if (channel >= 1)
        addNeighbour(row[here - 1]);

    const double uniform = (neighbours > 0 ? uniformShare : uniformShare + neighbourShare) / byteValues;
    const double fromNeighbours = neighbours > 0 ? neighbourShare * kernelSum / neighbours : 0;
    return fromNeighbours + valueShare * valueEstimate + uniform;
}

void evidenceMeter::addRow(const unsigned char* rgb, bool belowPrevious)
{
    hasRowAbove = belowPrevious;
    const double neighbourBitsBefore = neighbourCodeBits;
    const double valueBitsBefore = valueCodeBits;
    for (std::uint32_t x = 0; x < width; ++x) {
        for (int channel = 0; channel < rgbChannels; ++channel) {
            const int value = rgb[std::size_t{x} * rgbChannels + channel];
            const double valueEstimate = valueProbability(channel, value);
            neighbourCodeBits += std::log2(byteValues * neighbourProbability(rgb, x, channel, valueEstimate));
            valueCodeBits += std::log2(byteValues * valueEstimate);
            ++valueCounts[static_cast<std::size_t>(channel * byteValues + value)];
            ++channelCounts[channel];
        }
    }
    const double neighbourRowBits = neighbourCodeBits - neighbourBitsBefore;
    const double valueRowBits = valueCodeBits - valueBitsBefore;
    bestNeighbourRowBits = anyRow ? std::max(bestNeighbourRowBits, neighbourRowBits) : neighbourRowBits;
    bestValueRowBits = anyRow ? std::max(bestValueRowBits, valueRowBits) : valueRowBits;
    anyRow = true;
    codedBytes += std::size_t{width} * rgbChannels;
    previousRow.assign(rgb, rgb + std::size_t{width} * rgbChannels);
}

double evidenceMeter::bits() const
{
    return std::max(neighbourCodeBits, valueCodeBits) - 1;
}

double evidenceMeter::bitsBesideBestRow() const
{
    return std::max(neighbourCodeBits - bestNeighbourRowBits, valueCodeBits - bestValueRowBits) - 1;
}

double evidenceMeter::bitsPerByte() const
{
    return codedBytes == 0 ? 8.0 : 8.0 - bits() / static_cast<double>(codedBytes);
}
