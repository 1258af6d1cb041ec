#include "safeload/byteOrder.h"
#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "safeload/imageSandbox.h"

#include <cstdlib>

// TGA through SOIL's decoder, with its faults mended. Its origin bit is
// orientation metadata, which is not applied (ImageMagick reads the rows in
// the order they are stored, whatever the bit says); SOIL turns images with a
// bottom-left origin upside down, so their rows are turned back. SOIL makes
// up the pixels of a file that ends early, so a file is first checked to hold
// every pixel its header promises. SOIL misreads every kind with 16-bit
// values (5-bit colours, grey with alpha), and every colour-mapped kind whose
// map starts at an index other than 0 (it takes index i for entry i), so
// those kinds and every one of 8-bit colour indexes are read here instead.

#include <vector>

namespace {

// Walks the run-length packets until they have given `pixels` pixels.
bool packetsAreComplete(
    const unsigned char* bytes, size_t length, size_t at, uint64_t pixels, size_t pixelBytes)
{
    uint64_t given = 0;
    while (given < pixels) {
        if (at >= length)
            return false;
        unsigned header = bytes[at++];
        uint64_t count = (header & 127) + 1;
        size_t packetBytes = header & 128 ? pixelBytes : size_t(count) * pixelBytes;
        if (packetBytes > length - at)
            return false;
        at += packetBytes;
        given += count;
    }
    return true;
}

struct tgaHeader {
    int imageType, bitsPerPixel, mapEntryBits;
    unsigned mapFirst; // the index of the map's first entry
    size_t mapAt, mapBytes, pixelsAt;
    int width, height;
    bool alphaBits; // the descriptor's attribute bits: 16-bit colours carry alpha
};

tgaHeader headerOf(const unsigned char* bytes)
{
    tgaHeader header{};
    header.imageType = bytes[2];
    header.mapEntryBits = bytes[1] ? bytes[7] : 0;
    header.mapFirst = littleEndian16(bytes + 3);
    header.mapBytes = bytes[1] ? size_t(littleEndian16(bytes + 5)) * ((size_t(bytes[7]) + 7) / 8) : 0;
    header.mapAt = 18 + size_t(bytes[0]);
    header.pixelsAt = header.mapAt + header.mapBytes;
    header.width = littleEndian16(bytes + 12);
    header.height = littleEndian16(bytes + 14);
    header.bitsPerPixel = bytes[16];
    header.alphaBits = (bytes[17] & 0x0f) != 0;
    return header;
}

bool runLengthCoded(const tgaHeader& header)
{
    return header.imageType >= 9;
}

bool holdsEveryPixel(const unsigned char* bytes, size_t length, const tgaHeader& header)
{
    const uint64_t pixels = uint64_t(header.width) * uint64_t(header.height);
    const size_t pixelBytes = (size_t(header.bitsPerPixel) + 7) / 8;
    if (header.pixelsAt > length)
        return false;
    if (runLengthCoded(header))
        return packetsAreComplete(bytes, length, header.pixelsAt, pixels, pixelBytes);
    return pixels * pixelBytes <= length - header.pixelsAt;
}

int baseType(const tgaHeader& header)
{
    return runLengthCoded(header) ? header.imageType - 8 : header.imageType;
}

// The kinds read here rather than by SOIL. 16-bit colour indexes are left to
// SOIL as before: ImageMagick does not read them either, so there are no
// pixels to hold them to.
bool readHere(const tgaHeader& header)
{
    switch (baseType(header)) {
    case 1: return header.bitsPerPixel == 8;
    case 2: return header.bitsPerPixel == 15 || header.bitsPerPixel == 16;
    case 3: return header.bitsPerPixel == 16;
    default: return false;
    }
}

// The stored values of every pixel, `pixelBytes` each, run-length packets
// unpacked; the caller has checked that the file holds them all.
std::vector<unsigned char> storedValues(const unsigned char* bytes, const tgaHeader& header, size_t pixelBytes)
{
    const size_t total = size_t(header.width) * size_t(header.height) * pixelBytes;
    const unsigned char* at = bytes + header.pixelsAt;
    if (!runLengthCoded(header))
        return std::vector<unsigned char>(at, at + total);
    std::vector<unsigned char> values;
    values.reserve(total);
    while (values.size() < total) {
        const unsigned packet = *at++;
        const size_t count = (packet & 127) + 1;
        for (size_t pixel = 0; pixel < count && values.size() < total; ++pixel)
            values.insert(values.end(), at + (packet & 128 ? 0 : pixel * pixelBytes),
                          at + (packet & 128 ? 0 : pixel * pixelBytes) + pixelBytes);
        at += packet & 128 ? pixelBytes : count * pixelBytes;
    }
    return values;
}

// A 5-bit value as 8 bits, as ImageMagick scales it (to 16 bits, rounded,
// then rounded down to 8).
unsigned char fromFiveBits(unsigned value)
{
    return sampleFromSixteenBits((2 * 65535 * value + 31) / 62);
}

// A 16-bit colour, stored as 1-5-5-5 bits of alpha, red, green and blue.
void putFiveBitColour(unsigned value, bool withAlpha, unsigned char* target)
{
    target[0] = fromFiveBits(value >> 10 & 31);
    target[1] = fromFiveBits(value >> 5 & 31);
    target[2] = fromFiveBits(value & 31);
    if (withAlpha)
        target[3] = value & 0x8000 ? 255 : 0;
}

// A map entry of 15 or 16 bits (whose alpha bit nobody reads), 24 bits
// (blue, green, red) or 32 bits (with alpha, as SOIL gave it).
void putMapEntry(const unsigned char* entry, int entryBits, unsigned char* target)
{
    if (entryBits <= 16) {
        putFiveBitColour(littleEndian16(entry), false, target);
        return;
    }
    target[0] = entry[2];
    target[1] = entry[1];
    target[2] = entry[0];
    if (entryBits == 32)
        target[3] = entry[3];
}

// Why a colour-mapped file cannot be read, or null.
const char* checkColourMap(const tgaHeader& header)
{
    const int entryBits = header.mapEntryBits;
    if (entryBits != 15 && entryBits != 16 && entryBits != 24 && entryBits != 32)
        return decodeFailure("not supported: TGA colour map of %d-bit entries", entryBits);
    return nullptr;
}

int channelsOf(const tgaHeader& header)
{
    switch (baseType(header)) {
    case 1: return header.mapEntryBits == 32 ? 4 : 3;
    case 2: return header.alphaBits ? 4 : 3;
    default: return 2;
    }
}

// Puts one stored value's pixel, or says why it has none. An index counts
// from the map's first entry, which need not be entry 0.
const char* putPixel(const unsigned char* bytes, const tgaHeader& header, const unsigned char* value,
                     unsigned char* target)
{
    switch (baseType(header)) {
    case 1: {
        const unsigned index = value[0];
        const size_t entryBytes = (size_t(header.mapEntryBits) + 7) / 8;
        if (index < header.mapFirst || index - header.mapFirst >= header.mapBytes / entryBytes)
            return "TGA colour index past its colour map";
        putMapEntry(bytes + header.mapAt + (index - header.mapFirst) * entryBytes, header.mapEntryBits, target);
        return nullptr;
    }
    case 2: putFiveBitColour(littleEndian16(value), header.alphaBits, target); return nullptr;
    default:
        target[0] = value[0];
        target[1] = value[1];
        return nullptr;
    }
}

// The kinds read here: colour-mapped ones, 5-bit colours (with an alpha bit
// when the descriptor says so), and grey and alpha of 8 bits each.
unsigned char* decodeOwnKinds(const unsigned char* bytes, const tgaHeader& header, int* channels,
                              const char** failureReason)
{
    const char* problem = baseType(header) == 1 ? checkColourMap(header) : nullptr;
    if (problem) {
        *failureReason = problem;
        return nullptr;
    }
    const int pixelChannels = channelsOf(header);
    const size_t pixelBytes = (size_t(header.bitsPerPixel) + 7) / 8;
    unsigned char* pixels = allocateImage(uint64_t(header.width), uint64_t(header.height), pixelChannels, failureReason);
    if (!pixels)
        return nullptr;
    const std::vector<unsigned char> values = storedValues(bytes, header, pixelBytes);
    for (size_t pixel = 0; pixel < values.size() / pixelBytes && !problem; ++pixel)
        problem = putPixel(bytes, header, values.data() + pixel * pixelBytes, pixels + pixel * size_t(pixelChannels));
    if (problem) {
        std::free(pixels);
        *failureReason = problem;
        return nullptr;
    }
    *channels = pixelChannels;
    return pixels;
}

} // namespace

unsigned char* decodeTga(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    const tgaHeader header = headerOf(bytes);
    if (!holdsEveryPixel(bytes, size_t(length), header)) {
        *failureReason = "TGA file is truncated";
        return nullptr;
    }
    if (readHere(header)) {
        unsigned char* pixels = decodeOwnKinds(bytes, header, channels, failureReason);
        *width = header.width;
        *height = header.height;
        return pixels;
    }
    unsigned char* pixels = decodeWithSoil(bytes, length, width, height, channels, failureReason);
    const bool bottomLeftOrigin = (bytes[17] & 0x20) == 0;
    if (pixels && bottomLeftOrigin)
        flipRows(pixels, *width, *height, *channels);
    return pixels;
}
