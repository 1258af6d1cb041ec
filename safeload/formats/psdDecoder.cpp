#include "safeload/byteOrder.h"
#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <cstdlib>

// Photoshop PSD, the merged image: grey and RGB, 8 or 16 bits, raw or
// PackBits-compressed. Grey gives 1 channel and RGB 3, one more for a first
// extra channel (alpha). SOIL reads only RGB, and hands over four channels of
// a three-channel file while reporting three.

namespace {

constexpr int greyMode = 1, rgbMode = 3;

struct psdLayout {
    uint32_t width = 0, height = 0;
    int storedChannels = 0, channels = 0, bytesPerSample = 1;
    bool packBits = false;
    size_t dataAt = 0;
};

// Skips a section that starts with its 32-bit length.
bool skipSection(const unsigned char* bytes, size_t length, size_t& at)
{
    if (at + 4 > length)
        return false;
    uint32_t sectionLength = bigEndian32(bytes + at);
    if (sectionLength > length - at - 4)
        return false;
    at += 4 + size_t(sectionLength);
    return true;
}

const char* modeName(int mode)
{
    static const char* const names[] = {
        "bitmap", "grey", "indexed", "RGB", "CMYK", "?", "?", "multichannel", "duotone", "Lab"};
    return mode >= 0 && mode <= 9 ? names[mode] : "unknown";
}

const char* readLayout(const unsigned char* bytes, size_t length, psdLayout& layout)
{
    if (length < 26)
        return "PSD file is truncated";
    if (bigEndian16(bytes + 4) != 1)
        return "not supported: PSB (large document format)";
    layout.storedChannels = bigEndian16(bytes + 12);
    layout.height = bigEndian32(bytes + 14);
    layout.width = bigEndian32(bytes + 18);
    int depth = bigEndian16(bytes + 22), mode = bigEndian16(bytes + 24);
    if (mode != greyMode && mode != rgbMode)
        return decodeFailure("not supported: PSD in %s colour mode", modeName(mode));
    if (depth != 8 && depth != 16)
        return decodeFailure("not supported: PSD with %d bits a sample", depth);
    int colours = mode == rgbMode ? 3 : 1;
    if (layout.storedChannels < colours || layout.storedChannels > 56)
        return "PSD has too few channels for its colour mode";
    layout.channels = layout.storedChannels > colours ? colours + 1 : colours;
    layout.bytesPerSample = depth / 8;
    size_t at = 26;
    for (int section = 0; section < 3; ++section)
        if (!skipSection(bytes, length, at))
            return "PSD file is truncated";
    if (at + 2 > length)
        return "PSD file is truncated";
    int compression = bigEndian16(bytes + at);
    if (compression > 1)
        return "not supported: PSD with ZIP-compressed image data";
    layout.packBits = compression == 1;
    layout.dataAt = at + 2;
    return nullptr;
}

// Unpacks one PackBits row into exactly `rowBytes` bytes.
bool unpackRow(const unsigned char* packed, size_t packedLength, unsigned char* row, size_t rowBytes)
{
    size_t in = 0, out = 0;
    while (out < rowBytes && in < packedLength) {
        int header = static_cast<signed char>(packed[in++]);
        if (header >= 0) {
            size_t count = size_t(header) + 1;
            if (count > rowBytes - out || count > packedLength - in)
                return false;
            for (size_t i = 0; i < count; ++i)
                row[out++] = packed[in++];
        } else if (header != -128) {
            size_t count = size_t(1 - header);
            if (count > rowBytes - out || in >= packedLength)
                return false;
            for (size_t i = 0; i < count; ++i)
                row[out++] = packed[in];
            ++in;
        }
    }
    return out == rowBytes;
}

void storeRow(
    const psdLayout& layout, const unsigned char* row, int channel, uint32_t y, unsigned char* pixels)
{
    unsigned char* target = pixels + size_t(y) * layout.width * size_t(layout.channels) + size_t(channel);
    for (uint32_t x = 0; x < layout.width; ++x, target += layout.channels)
        *target = layout.bytesPerSample == 1 ? row[x] : sampleFromSixteenBits(bigEndian16(row + 2 * size_t(x)));
}

// Channels are stored one after another, each row by row; with PackBits a
// table of every row's packed length comes first.
const char* readChannels(const unsigned char* bytes, size_t length, const psdLayout& layout,
    unsigned char* pixels, unsigned char* row)
{
    const size_t rowBytes = size_t(layout.width) * size_t(layout.bytesPerSample);
    const size_t rows = size_t(layout.height) * size_t(layout.storedChannels);
    size_t tableAt = layout.dataAt;
    size_t at = layout.dataAt + (layout.packBits ? 2 * rows : 0);
    if (at > length)
        return "PSD file is truncated";
    for (int channel = 0; channel < layout.channels; ++channel)
        for (uint32_t y = 0; y < layout.height; ++y) {
            size_t storedBytes = rowBytes;
            if (layout.packBits)
                storedBytes = bigEndian16(bytes + tableAt + 2 * (size_t(channel) * layout.height + y));
            if (storedBytes > length - at)
                return "PSD file is truncated";
            const unsigned char* stored = bytes + at;
            if (layout.packBits && !unpackRow(stored, storedBytes, row, rowBytes))
                return "PSD image data is corrupt";
            storeRow(layout, layout.packBits ? row : stored, channel, y, pixels);
            at += storedBytes;
        }
    return nullptr;
}

} // namespace

unsigned char* decodePsd(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    psdLayout layout;
    if (const char* problem = readLayout(bytes, size_t(length), layout)) {
        *failureReason = problem;
        return nullptr;
    }
    unsigned char* pixels = allocateImage(layout.width, layout.height, layout.channels, failureReason);
    if (!pixels)
        return nullptr;
    auto* row =
        static_cast<unsigned char*>(std::malloc(size_t(layout.width) * size_t(layout.bytesPerSample)));
    const char* problem = row ? readChannels(bytes, size_t(length), layout, pixels, row) : outOfMemoryReason;
    std::free(row);
    if (problem) {
        std::free(pixels);
        *failureReason = problem;
        return nullptr;
    }
    *width = int(layout.width);
    *height = int(layout.height);
    *channels = layout.channels;
    return pixels;
}
