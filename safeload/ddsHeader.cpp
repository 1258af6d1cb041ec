#include "safeload/ddsHeader.h"

#include "safeload/byteOrder.h"

#include <algorithm>
#include <climits>

namespace {

// Layout of the 128-byte DDS header (magic included) as SOIL reads it.
constexpr size_t headerLength = 128;
constexpr size_t offsetSize = 4;
constexpr size_t offsetFlags = 8;
constexpr size_t offsetHeight = 12;
constexpr size_t offsetWidth = 16;
constexpr size_t offsetMipMapCount = 28;
constexpr size_t offsetFormatSize = 76;
constexpr size_t offsetFormatFlags = 80;
constexpr size_t offsetFourCC = 84;
constexpr size_t offsetRGBBitCount = 88;
constexpr size_t offsetCaps1 = 108;
constexpr size_t offsetCaps2 = 112;

constexpr uint32_t requiredHeaderFlags = 0x1 | 0x2 | 0x4 | 0x1000; // caps, height, width, pixel format
constexpr uint32_t formatAlphaPixels = 0x1;
constexpr uint32_t formatFourCC = 0x4;
constexpr uint32_t formatRGB = 0x40;
constexpr uint32_t capsTexture = 0x1000;
constexpr uint32_t capsMipMap = 0x400000;
constexpr uint32_t caps2CubeMap = 0x200;

constexpr uint32_t fourCC(char a, char b, char c, char d)
{
    return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 |
        uint32_t(uint8_t(d)) << 24;
}

struct ddsFields {
    uint32_t width, height, mipMapCount, formatFlags, fourCC, rgbBitCount;
    bool compressed, cubeMap, hasMipMaps;
};

// SOIL's own acceptance test: a header that fails it makes SOIL fall back to
// decoding the file as an ordinary image.
bool passesSoilHeaderTest(const unsigned char* bytes, size_t length)
{
    if (length < headerLength)
        return false;
    if (littleEndian32(bytes) != fourCC('D', 'D', 'S', ' '))
        return false;
    if (littleEndian32(bytes + offsetSize) != 124)
        return false;
    if ((littleEndian32(bytes + offsetFlags) & requiredHeaderFlags) != requiredHeaderFlags)
        return false;
    uint32_t formatFlags = littleEndian32(bytes + offsetFormatFlags);
    if ((formatFlags & (formatFourCC | formatRGB)) == 0)
        return false;
    if (littleEndian32(bytes + offsetFormatSize) != 32)
        return false;
    if ((littleEndian32(bytes + offsetCaps1) & capsTexture) == 0)
        return false;
    uint32_t code = littleEndian32(bytes + offsetFourCC);
    bool knownCompression = code == fourCC('D', 'X', 'T', '1') || code == fourCC('D', 'X', 'T', '3') ||
        code == fourCC('D', 'X', 'T', '5');
    return !(formatFlags & formatFourCC) || knownCompression;
}

ddsFields readFields(const unsigned char* bytes)
{
    ddsFields fields{};
    fields.width = littleEndian32(bytes + offsetWidth);
    fields.height = littleEndian32(bytes + offsetHeight);
    fields.mipMapCount = littleEndian32(bytes + offsetMipMapCount);
    fields.formatFlags = littleEndian32(bytes + offsetFormatFlags);
    fields.fourCC = littleEndian32(bytes + offsetFourCC);
    fields.rgbBitCount = littleEndian32(bytes + offsetRGBBitCount);
    fields.compressed = fields.formatFlags & formatFourCC;
    fields.cubeMap = littleEndian32(bytes + offsetCaps2) & caps2CubeMap;
    fields.hasMipMaps = (littleEndian32(bytes + offsetCaps1) & capsMipMap) && fields.mipMapCount > 1;
    return fields;
}

uint64_t bytesPerBlock(const ddsFields& fields)
{
    if (!fields.compressed)
        return (fields.formatFlags & formatAlphaPixels) ? 4 : 3;
    return fields.fourCC == fourCC('D', 'X', 'T', '1') ? 8 : 16;
}

uint64_t atLeastOne(uint64_t value)
{
    return std::max<uint64_t>(value, 1);
}

// Bytes of one level as the upload hands them to OpenGL.
uint64_t uploadedLevelBytes(const ddsFields& fields, unsigned level)
{
    uint64_t width = atLeastOne(uint64_t(fields.width) >> level);
    uint64_t height = atLeastOne(uint64_t(fields.height) >> level);
    if (!fields.compressed)
        return width * height * bytesPerBlock(fields);
    return ((width + 3) / 4) * ((height + 3) / 4) * bytesPerBlock(fields);
}

// Bytes SOIL allocates and copies for the mipmap levels after the first. For
// compressed files it counts blocks by shifting two more bits, which for sides
// that are not powers of two is less than the upload then reads.
uint64_t soilBufferedLevelBytes(const ddsFields& fields, unsigned level)
{
    unsigned shift = fields.compressed ? level + 2 : level;
    return atLeastOne(uint64_t(fields.width) >> shift) * atLeastOne(uint64_t(fields.height) >> shift) *
        bytesPerBlock(fields);
}

unsigned levelsOfFullChain(uint32_t width, uint32_t height)
{
    unsigned levels = 1;
    for (uint32_t side = std::max(width, height); side > 1; side >>= 1)
        ++levels;
    return levels;
}

ddsDirectCheck refuse(const std::string& reason)
{
    ddsDirectCheck check;
    check.verdict = ddsDirectVerdict::refused;
    check.reason = reason;
    return check;
}

std::string sizeText(uint32_t width, uint32_t height)
{
    return std::to_string(width) + " x " + std::to_string(height);
}

} // namespace

ddsDirectCheck checkDdsForDirectUpload(const unsigned char* bytes, size_t length, uint32_t maxTextureSize)
{
    // SOIL turns cube maps away from a plain texture load and decodes them instead.
    if (!passesSoilHeaderTest(bytes, length))
        return {};
    ddsFields fields = readFields(bytes);
    if (fields.cubeMap)
        return {};

    if (fields.width < 1 || fields.height < 1 || fields.width > maxTextureSize ||
        fields.height > maxTextureSize)
        return refuse("DDS image is " + sizeText(fields.width, fields.height) +
            " texels; this OpenGL driver takes 1 to " + std::to_string(maxTextureSize) + " per side");
    if (!fields.compressed && fields.rgbBitCount != bytesPerBlock(fields) * 8)
        return refuse("DDS pixel format of " + std::to_string(fields.rgbBitCount) +
            " bits is neither 24-bit RGB nor 32-bit RGBA");

    unsigned extraLevels = 0;
    if (fields.hasMipMaps) {
        unsigned chain = levelsOfFullChain(fields.width, fields.height);
        if (fields.mipMapCount > chain)
            return refuse("DDS mipmap count " + std::to_string(fields.mipMapCount) + " exceeds the " +
                std::to_string(chain) + " levels of a " + sizeText(fields.width, fields.height) + " image");
        extraLevels = fields.mipMapCount - 1;
    }

    uint64_t soilBuffer = uploadedLevelBytes(fields, 0);
    uint64_t uploadReads = soilBuffer;
    for (unsigned level = 1; level <= extraLevels; ++level) {
        soilBuffer += soilBufferedLevelBytes(fields, level);
        uploadReads += uploadedLevelBytes(fields, level);
    }
    if (uploadReads > soilBuffer)
        return refuse("DDS mipmap levels do not fit the image's data");
    if (length > size_t(INT_MAX) || soilBuffer > uint64_t(INT_MAX) - headerLength)
        return refuse("DDS file is too large");
    if (headerLength + soilBuffer > length)
        return refuse("DDS file was too small for expected image data");

    ddsDirectCheck check;
    check.verdict = ddsDirectVerdict::safe;
    check.width = fields.width;
    check.height = fields.height;
    return check;
}
