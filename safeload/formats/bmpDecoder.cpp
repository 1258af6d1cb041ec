#include "safeload/byteOrder.h"
#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <cstdlib>
#include <cstring>

// BMP of every header version (OS/2 1.x and 2.x, Windows V3, V4 and V5), and
// the first bitmap of an OS/2 bitmap array: 1-, 4- and 8-bit palettes, 16- and 32-bit pixels with or without bit fields, 24-bit
// pixels, and RLE4/RLE8 compression. A file that holds fewer pixels than its
// header promises is refused. Palettes give RGB; bit fields give RGBA when
// they have an alpha mask, and each field is widened to 8 bits as ImageMagick
// widens it.

namespace {

enum compressionKind : uint32_t { uncompressed = 0, rle8 = 1, rle4 = 2, bitFields = 3, alphaBitFields = 6 };

struct bitField {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;
};

struct bmpLayout {
    uint32_t width = 0, height = 0;
    bool topDown = false;
    int bitsPerPixel = 0;
    uint32_t compression = uncompressed;
    size_t pixelOffset = 0;
    bitField fields[4]; // red, green, blue, alpha
    const unsigned char* palette = nullptr;
    uint32_t paletteColours = 0;
    int paletteEntryBytes = 4;
    int channels = 3;
};

bitField fieldOf(uint32_t mask)
{
    bitField field;
    field.mask = mask;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++field.shift;
    }
    while (mask & 1) {
        mask >>= 1;
        ++field.bits;
    }
    return field;
}

// The field's value placed in the top of 16 bits, its leading bits repeated
// below it as ImageMagick repeats them, then cut to 8 bits. ImageMagick fills
// in differently by pixel size: in 16-bit pixels a 5-bit field (and a 6-bit
// green one, as in RGB565) gets its top bits again and any field of up to 8
// bits its top byte; in 32-bit pixels only an 8-bit field does.
unsigned char widenField(uint32_t pixel, const bitField& field, int bitsPerPixel, bool green)
{
    if (field.bits == 0)
        return 0;
    uint32_t value = (pixel & field.mask) >> field.shift;
    uint32_t top = field.bits <= 16 ? value << (16 - field.bits) : value >> (field.bits - 16);
    if (bitsPerPixel == 16) {
        if (field.bits == 5)
            top |= (top & 0xe000) >> 5;
        if (field.bits == 6 && green)
            top |= (top & 0xc000) >> 6;
        if (field.bits <= 8)
            top |= (top & 0xff00) >> 8;
    } else if (field.bits == 8) {
        top |= top >> 8;
    }
    return sampleFromSixteenBits(top & 0xffff);
}

void setDefaultFields(bmpLayout& layout)
{
    if (layout.bitsPerPixel == 16) {
        layout.fields[0] = fieldOf(0x7c00);
        layout.fields[1] = fieldOf(0x03e0);
        layout.fields[2] = fieldOf(0x001f);
    } else {
        layout.fields[0] = fieldOf(0x00ff0000);
        layout.fields[1] = fieldOf(0x0000ff00);
        layout.fields[2] = fieldOf(0x000000ff);
    }
}

// Reads the masks of a bit-field file: inside a header of 52 bytes or more,
// after a 40-byte one (the header starting at `headerAt`).
bool readFields(const unsigned char* bytes, size_t length, size_t headerAt, uint32_t headerBytes, bmpLayout& layout)
{
    size_t masksAt = headerAt + 40;
    int maskCount = headerBytes >= 56 || layout.compression == alphaBitFields ? 4 : 3;
    if (masksAt + 4 * size_t(maskCount) > length)
        return false;
    for (int i = 0; i < maskCount; ++i)
        layout.fields[i] = fieldOf(littleEndian32(bytes + masksAt + 4 * i));
    return true;
}

bool isWindowsHeader(uint32_t headerBytes)
{
    return headerBytes == 40 || headerBytes == 52 || headerBytes == 56 || headerBytes == 108 || headerBytes == 124;
}

// OS/2 2.x headers hold 16 to 64 bytes: the fields of a 40-byte header as far
// as they reach, then fields of their own.
bool isOs2Header(uint32_t headerBytes)
{
    return headerBytes >= 16 && headerBytes <= 64 && headerBytes % 4 == 0 && !isWindowsHeader(headerBytes);
}

// Where the file header starts: a bitmap array's first bitmap follows its
// 14-byte array header. Offsets count from the start of the file either way.
size_t fileHeaderAt(const unsigned char* bytes, size_t length)
{
    return length >= 2 && bytes[0] == 'B' && bytes[1] == 'A' ? 14 : 0;
}

const char* readLayout(const unsigned char* bytes, size_t length, bmpLayout& layout)
{
    const size_t fileHeader = fileHeaderAt(bytes, length);
    const size_t headerAt = fileHeader + 14;
    if (length < headerAt + 4)
        return "BMP file is truncated";
    layout.pixelOffset = littleEndian32(bytes + fileHeader + 10);
    uint32_t headerBytes = littleEndian32(bytes + headerAt);
    const unsigned char* header = bytes + headerAt;
    if ((headerBytes == 12 || isWindowsHeader(headerBytes) || isOs2Header(headerBytes))
        && length < headerAt + headerBytes)
        return "BMP file is truncated";
    if (headerBytes == 12) {
        layout.width = littleEndian16(header + 4);
        layout.height = littleEndian16(header + 6);
        layout.bitsPerPixel = littleEndian16(header + 10);
        layout.paletteEntryBytes = 3;
    } else if (isWindowsHeader(headerBytes) || isOs2Header(headerBytes)) {
        int32_t width = int32_t(littleEndian32(header + 4)), height = int32_t(littleEndian32(header + 8));
        if (width <= 0 || height == 0 || height == INT32_MIN)
            return "BMP has a width or height of zero or less";
        layout.width = uint32_t(width);
        layout.topDown = height < 0;
        layout.height = uint32_t(height < 0 ? -height : height);
        layout.bitsPerPixel = littleEndian16(header + 14);
        layout.compression = headerBytes >= 20 ? littleEndian32(header + 16) : uncompressed;
        layout.paletteColours = headerBytes >= 36 ? littleEndian32(header + 32) : 0;
        // OS/2's compressions 3 and 4 are Huffman and RLE24, not bit fields.
        if (isOs2Header(headerBytes) && (layout.compression == 3 || layout.compression == 4))
            return "not supported: OS/2 BMP with Huffman or RLE24 compression";
    } else {
        return decodeFailure("not supported: BMP with a %u-byte header", headerBytes);
    }
    size_t paletteAt = headerAt + headerBytes;
    bool fields = layout.compression == bitFields || layout.compression == alphaBitFields;
    if (fields && headerBytes == 40)
        paletteAt += layout.compression == alphaBitFields ? 16 : 12;
    if (!fields)
        setDefaultFields(layout);
    else if (!readFields(bytes, length, headerAt, headerBytes, layout))
        return "BMP file is truncated";
    if (fields && !(layout.bitsPerPixel == 16 || layout.bitsPerPixel == 32))
        return "BMP bit fields need 16 or 32 bits a pixel";
    layout.channels = layout.fields[3].mask ? 4 : 3;
    if (layout.bitsPerPixel <= 8) {
        uint32_t most = 1u << layout.bitsPerPixel;
        if (layout.paletteColours == 0 || layout.paletteColours > most)
            layout.paletteColours = most;
        layout.palette = bytes + paletteAt;
        if (paletteAt + size_t(layout.paletteColours) * layout.paletteEntryBytes > length)
            return "BMP file is truncated";
    }
    return nullptr;
}

const char* checkKind(const bmpLayout& layout)
{
    constexpr uint32_t embeddedJpeg = 4, embeddedPng = 5;
    if (layout.compression == embeddedJpeg)
        return "not supported: BMP holding a JPEG";
    if (layout.compression == embeddedPng)
        return "not supported: BMP holding a PNG";
    switch (layout.bitsPerPixel) {
    case 1:
    case 24:
        return layout.compression == uncompressed ? nullptr : "BMP compression does not fit its pixel size";
    case 4:
        return layout.compression == uncompressed || layout.compression == rle4
            ? nullptr
            : "BMP compression does not fit its pixel size";
    case 8:
        return layout.compression == uncompressed || layout.compression == rle8
            ? nullptr
            : "BMP compression does not fit its pixel size";
    case 16:
    case 32:
        return layout.compression == uncompressed || layout.compression == bitFields ||
                layout.compression == alphaBitFields
            ? nullptr
            : "BMP compression does not fit its pixel size";
    default: return decodeFailure("not supported: BMP with %d bits a pixel", layout.bitsPerPixel);
    }
}

bool putPaletteColour(const bmpLayout& layout, uint32_t index, unsigned char* target)
{
    if (index >= layout.paletteColours)
        return false;
    const unsigned char* entry = layout.palette + size_t(index) * layout.paletteEntryBytes;
    target[0] = entry[2];
    target[1] = entry[1];
    target[2] = entry[0];
    return true;
}

unsigned char* imageRow(const bmpLayout& layout, unsigned char* pixels, uint32_t storedRow)
{
    uint32_t y = layout.topDown ? storedRow : layout.height - 1 - storedRow;
    return pixels + size_t(y) * layout.width * size_t(layout.channels);
}

bool readStoredRow(const bmpLayout& layout, const unsigned char* row, unsigned char* target)
{
    for (uint32_t x = 0; x < layout.width; ++x, target += layout.channels) {
        switch (layout.bitsPerPixel) {
        case 1:
        case 4:
        case 8: {
            size_t bit = size_t(x) * layout.bitsPerPixel;
            uint32_t index =
                (row[bit / 8] >> (8 - layout.bitsPerPixel - bit % 8)) & ((1u << layout.bitsPerPixel) - 1);
            if (!putPaletteColour(layout, index, target))
                return false;
            break;
        }
        case 24:
            target[0] = row[3 * x + 2];
            target[1] = row[3 * x + 1];
            target[2] = row[3 * x];
            break;
        default: {
            uint32_t pixel = layout.bitsPerPixel == 16 ? littleEndian16(row + 2 * x) : littleEndian32(row + 4 * x);
            for (int channel = 0; channel < layout.channels; ++channel)
                target[channel] = widenField(pixel, layout.fields[channel], layout.bitsPerPixel, channel == 1);
        }
        }
    }
    return true;
}

const char* readUncompressed(
    const unsigned char* bytes, size_t length, const bmpLayout& layout, unsigned char* pixels)
{
    size_t stride = ((size_t(layout.width) * layout.bitsPerPixel + 31) / 32) * 4;
    if (layout.pixelOffset > length || (length - layout.pixelOffset) / stride < layout.height)
        return "BMP file is truncated";
    for (uint32_t row = 0; row < layout.height; ++row)
        if (!readStoredRow(layout, bytes + layout.pixelOffset + row * stride, imageRow(layout, pixels, row)))
            return "BMP pixel refers to a colour beyond its palette";
    return nullptr;
}

// Run-length encoded pixels: pairs of (count, index) runs, and escapes for
// end of line, end of image, a jump and literal indices. Pixels a jump or an
// early end of line passes over stay the first palette colour. Pixels of a run
// in the padding of its row (up to its stored length of whole 4-byte words)
// are dropped: writers pad rows that way (ImageMagick's RLE8 does). Runs and
// jumps beyond that, or beyond the last row, are corrupt data, refused rather
// than drawn in the first palette colour.
const char* readRunLengths(
    const unsigned char* bytes, size_t length, const bmpLayout& layout, unsigned char* pixels)
{
    const bool fourBit = layout.compression == rle4;
    const uint64_t paddedWidth = (uint64_t(layout.width) * layout.bitsPerPixel + 31) / 32 * 32 / layout.bitsPerPixel;
    for (uint32_t row = 0; row < layout.height; ++row)
        for (uint32_t x = 0; x < layout.width; ++x)
            putPaletteColour(layout, 0, imageRow(layout, pixels, row) + size_t(x) * 3);
    size_t at = layout.pixelOffset;
    uint64_t x = 0, row = 0;
    auto put = [&](uint32_t index) -> const char* {
        if (row >= layout.height)
            return "BMP RLE data runs past the end of the image";
        if (x >= paddedWidth)
            return "BMP RLE data runs past the end of a row";
        if (x >= layout.width) {
            ++x;
            return nullptr;
        }
        if (!putPaletteColour(layout, index, imageRow(layout, pixels, uint32_t(row)) + size_t(x++) * 3))
            return "BMP pixel refers to a colour beyond its palette";
        return nullptr;
    };
    while (at + 2 <= length) {
        unsigned count = bytes[at], value = bytes[at + 1];
        at += 2;
        if (count > 0) {
            for (unsigned i = 0; i < count; ++i)
                if (const char* problem = put(fourBit ? (i % 2 ? value & 15 : value >> 4) : value))
                    return problem;
            continue;
        }
        if (value == 0) {
            ++row;
            x = 0;
        } else if (value == 1) {
            return nullptr;
        } else if (value == 2) {
            if (at + 2 > length)
                break;
            x += bytes[at];
            row += bytes[at + 1];
            at += 2;
            if (x > layout.width)
                return "BMP RLE jump runs past the end of a row";
            if (row > layout.height)
                return "BMP RLE jump runs past the end of the image";
        } else {
            size_t literalBytes = fourBit ? (value + 1) / 2 : value;
            if (at + literalBytes > length)
                break;
            for (unsigned i = 0; i < value; ++i)
                if (const char* problem =
                        put(fourBit ? (i % 2 ? bytes[at + i / 2] & 15 : bytes[at + i / 2] >> 4) : bytes[at + i]))
                    return problem;
            at += (literalBytes + 1) & ~size_t(1);
        }
    }
    return "BMP file is truncated";
}

} // namespace

unsigned char* decodeBmp(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    bmpLayout layout;
    const char* problem = readLayout(bytes, size_t(length), layout);
    if (!problem)
        problem = checkKind(layout);
    if (problem) {
        *failureReason = problem;
        return nullptr;
    }
    unsigned char* pixels = allocateImage(layout.width, layout.height, layout.channels, failureReason);
    if (!pixels)
        return nullptr;
    bool runLengths = layout.compression == rle4 || layout.compression == rle8;
    problem = runLengths ? readRunLengths(bytes, size_t(length), layout, pixels)
                         : readUncompressed(bytes, size_t(length), layout, pixels);
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

bool readBmpHeader(const unsigned char* bytes, size_t length, declaredImage& declared)
{
    bmpLayout layout;
    if (readLayout(bytes, length, layout) || checkKind(layout))
        return false;
    declared.width = layout.width;
    declared.height = layout.height;
    declared.channels = layout.channels;
    return true;
}
