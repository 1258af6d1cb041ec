#include "sizerecovery/textureLines.h"

#include "sizerecovery/lineFit.h"

#include <algorithm>
#include <cstdlib>
#include <numeric>

textureLines::textureLines(const std::vector<unsigned char>& rgb, int width, int height, bool alongRows)
    : rgb(rgb), width(width), height(height), alongRows(alongRows)
{
}

std::ptrdiff_t textureLines::stride() const
{
    return alongRows ? channels : static_cast<std::ptrdiff_t>(width) * channels;
}

const unsigned char* textureLines::start(int line, int channel) const
{
    const std::size_t texel = alongRows ? static_cast<std::size_t>(line) * width : static_cast<std::size_t>(line);
    return &rgb[texel * channels + static_cast<std::size_t>(channel)];
}

std::vector<int> textureLines::busiestFirst() const
{
    std::vector<long> variation(static_cast<std::size_t>(count()), 0);
    const std::size_t rowBytes = static_cast<std::size_t>(width) * channels;
    for (int y = 0; y < height; ++y) {
        const unsigned char* row = &rgb[static_cast<std::size_t>(y) * rowBytes];
        if (alongRows) {
            long sum = 0;
            for (std::size_t i = channels; i < rowBytes; ++i)
                sum += std::abs(row[i] - row[i - channels]);
            variation[static_cast<std::size_t>(y)] = sum;
        } else if (y > 0) {
            const unsigned char* above = row - rowBytes;
            for (std::size_t i = 0; i < rowBytes; ++i)
                variation[i / channels] += std::abs(row[i] - above[i]);
        }
    }
    std::vector<int> order(static_cast<std::size_t>(count()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&variation](int a, int b) {
        return variation[static_cast<std::size_t>(a)] > variation[static_cast<std::size_t>(b)];
    });
    return order;
}

bool textureLines::fitsReal(int line, const std::vector<axisSample>& samples, int originalLength) const
{
    for (int channel = 0; channel < channels; ++channel)
        if (!fitsRealLine(start(line, channel), stride(), samples, originalLength))
            return false;
    return true;
}

bool textureLines::fitsWhole(int line, const std::vector<axisSample>& samples, int originalLength) const
{
    for (int channel = 0; channel < channels; ++channel)
        if (!isLevel(line, channel) && !fitsWholeLine(start(line, channel), stride(), samples, originalLength))
            return false;
    return true;
}

bool textureLines::isLevel(int line) const
{
    for (int channel = 0; channel < channels; ++channel)
        if (!isLevel(line, channel))
            return false;
    return true;
}

bool textureLines::isLevel(int line, int channel) const
{
    const unsigned char* texel = start(line, channel);
    for (int index = 1; index < length(); ++index)
        if (texel[index * stride()] != texel[0])
            return false;
    return true;
}
