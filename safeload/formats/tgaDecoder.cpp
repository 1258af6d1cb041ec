#include "safeload/byteOrder.h"
#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "safeload/imageSandbox.h"

// TGA through SOIL's decoder, with two of its faults mended. Its origin bit is
// orientation metadata, which is not applied (ImageMagick reads the rows in
// the order they are stored, whatever the bit says); SOIL turns images with a
// bottom-left origin upside down, so their rows are turned back. And SOIL
// makes up the pixels of a file that ends early, so a file is first checked
// to hold every pixel its header promises.

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

bool holdsEveryPixel(const unsigned char* bytes, size_t length)
{
    const int imageType = bytes[2], bitsPerPixel = bytes[16];
    const size_t colourMapBytes = bytes[1] ? size_t(littleEndian16(bytes + 5)) * ((size_t(bytes[7]) + 7) / 8) : 0;
    const size_t dataAt = 18 + size_t(bytes[0]) + colourMapBytes;
    const uint64_t pixels = uint64_t(littleEndian16(bytes + 12)) * littleEndian16(bytes + 14);
    const size_t pixelBytes = (size_t(bitsPerPixel) + 7) / 8;
    if (dataAt > length)
        return false;
    if (imageType >= 9)
        return packetsAreComplete(bytes, length, dataAt, pixels, pixelBytes);
    return pixels * pixelBytes <= length - dataAt;
}

} // namespace

unsigned char* decodeTga(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    if (!holdsEveryPixel(bytes, size_t(length))) {
        *failureReason = "TGA file is truncated";
        return nullptr;
    }
    unsigned char* pixels = decodeWithSoil(bytes, length, width, height, channels, failureReason);
    const bool bottomLeftOrigin = (bytes[17] & 0x20) == 0;
    if (pixels && bottomLeftOrigin)
        flipRows(pixels, *width, *height, *channels);
    return pixels;
}
