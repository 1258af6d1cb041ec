#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <cstdlib>

// Netpbm: P1 to P6, plain (text) and raw. Samples are scaled from the file's
// maximum to 16 bits and then to 8, as ImageMagick does; a bitmap's 1 is
// black.

namespace {

struct pnmReader {
    const unsigned char* bytes;
    size_t length;
    size_t at;

    bool atSpace() const
    {
        return at < length && (bytes[at] == ' ' || (bytes[at] >= '\t' && bytes[at] <= '\r'));
    }

    void skipSpaceAndComments()
    {
        while (at < length && (atSpace() || bytes[at] == '#')) {
            if (bytes[at] == '#')
                while (at < length && bytes[at] != '\n' && bytes[at] != '\r')
                    ++at;
            else
                ++at;
        }
    }

    // A decimal number of at most `largest`, after space and comments.
    bool readNumber(uint32_t largest, uint32_t& value)
    {
        skipSpaceAndComments();
        size_t start = at;
        uint64_t number = 0;
        while (at < length && bytes[at] >= '0' && bytes[at] <= '9' && number <= largest)
            number = number * 10 + uint32_t(bytes[at++] - '0');
        value = uint32_t(number);
        return at > start && number <= largest;
    }

    // A plain bitmap's digits need no space between them.
    bool readBit(uint32_t& value)
    {
        skipSpaceAndComments();
        if (at >= length || (bytes[at] != '0' && bytes[at] != '1'))
            return false;
        value = uint32_t(bytes[at++] - '0');
        return true;
    }
};

unsigned char scaledSample(uint32_t value, uint32_t maximum)
{
    uint32_t sixteenBits = uint32_t((uint64_t(value) * 65535 + maximum / 2) / maximum);
    return sampleFromSixteenBits(sixteenBits);
}

bool readRawSamples(pnmReader& reader, unsigned char* pixels, size_t samples, uint32_t maximum)
{
    size_t sampleBytes = maximum > 255 ? 2 : 1;
    if (reader.length - reader.at < samples * sampleBytes)
        return false;
    const unsigned char* data = reader.bytes + reader.at;
    for (size_t i = 0; i < samples; ++i) {
        uint32_t value = sampleBytes == 2 ? uint32_t(data[2 * i] << 8 | data[2 * i + 1]) : data[i];
        if (value > maximum)
            return false;
        pixels[i] = scaledSample(value, maximum);
    }
    return true;
}

bool readPlainSamples(pnmReader& reader, unsigned char* pixels, size_t samples, uint32_t maximum, bool bitmap)
{
    for (size_t i = 0; i < samples; ++i) {
        uint32_t value = 0;
        if (!(bitmap ? reader.readBit(value) : reader.readNumber(maximum, value)))
            return false;
        pixels[i] = bitmap ? (value ? 0 : 255) : scaledSample(value, maximum);
    }
    return true;
}

// Raw bitmaps pack eight pixels a byte, most significant bit first, each row
// starting on a byte.
bool readRawBits(pnmReader& reader, unsigned char* pixels, uint32_t width, uint32_t height)
{
    size_t rowBytes = (size_t(width) + 7) / 8;
    if ((reader.length - reader.at) / rowBytes < height)
        return false;
    for (uint32_t y = 0; y < height; ++y) {
        const unsigned char* row = reader.bytes + reader.at + y * rowBytes;
        for (uint32_t x = 0; x < width; ++x)
            pixels[size_t(y) * width + x] = (row[x / 8] >> (7 - x % 8)) & 1 ? 0 : 255;
    }
    return true;
}

} // namespace

unsigned char* decodePnm(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    if (length < 3 || bytes[0] != 'P' || bytes[1] < '1' || bytes[1] > '6') {
        *failureReason = "PNM header is corrupt";
        return nullptr;
    }
    pnmReader reader {bytes, size_t(length), 2};
    const char kind = char(bytes[1]);
    const bool bitmap = kind == '1' || kind == '4';
    const bool raw = kind >= '4';
    const int imageChannels = kind == '3' || kind == '6' ? 3 : 1;
    uint32_t columns = 0, rows = 0, maximum = 1;
    if (!reader.readNumber(UINT32_MAX, columns) || !reader.readNumber(UINT32_MAX, rows) ||
        (!bitmap && (!reader.readNumber(65535, maximum) || maximum == 0))) {
        *failureReason = "PNM header is corrupt";
        return nullptr;
    }
    // One whitespace character separates a raw file's header from its samples.
    if (raw && !reader.atSpace()) {
        *failureReason = "PNM header is corrupt";
        return nullptr;
    }
    reader.at += raw ? 1 : 0;
    unsigned char* pixels = allocateImage(columns, rows, imageChannels, failureReason);
    if (!pixels)
        return nullptr;
    size_t samples = size_t(columns) * rows * size_t(imageChannels);
    bool complete = bitmap && raw ? readRawBits(reader, pixels, columns, rows)
        : raw                     ? readRawSamples(reader, pixels, samples, maximum)
                                  : readPlainSamples(reader, pixels, samples, maximum, bitmap);
    if (!complete) {
        std::free(pixels);
        *failureReason = "PNM file is truncated or holds a sample beyond its maximum";
        return nullptr;
    }
    *width = int(columns);
    *height = int(rows);
    *channels = imageChannels;
    return pixels;
}
