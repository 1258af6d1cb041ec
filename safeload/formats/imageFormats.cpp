#include "safeload/formats/imageFormats.h"

#include "safeload/byteOrder.h"
#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <cstring>

namespace {

bool startsWith(const unsigned char* bytes, size_t length, const char* magic, size_t magicLength)
{
    return length >= magicLength && std::memcmp(bytes, magic, magicLength) == 0;
}

template <size_t N>
bool startsWith(const unsigned char* bytes, size_t length, const char (&magic)[N])
{
    return startsWith(bytes, length, magic, N - 1);
}

bool isPnm(const unsigned char* bytes, size_t length)
{
    return length >= 3 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '6' &&
        std::strchr(" \t\r\n#", bytes[2]) != nullptr && bytes[2] != '\0';
}

// SOIL reads uncompressed DDS files and those of the compressions DXT1 to
// DXT5. Others (BC4 and BC5 as 'ATI1' and 'ATI2', DX10 headers, ...) it
// either draws as garbage or refuses with another format's message ("Not a
// PNG"); they are refused here, by the pixel format's name.
unsigned char* decodeDds(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    constexpr size_t formatFlagsAt = 80, fourCCAt = 84;
    constexpr uint32_t hasFourCC = 0x4;
    if (size_t(length) >= fourCCAt + 4 && (littleEndian32(bytes + formatFlagsAt) & hasFourCC) != 0) {
        const unsigned char* code = bytes + fourCCAt;
        const bool readable = std::memcmp(code, "DXT", 3) == 0 && code[3] >= '1' && code[3] <= '5';
        if (!readable) {
            char name[5] = {};
            for (int i = 0; i < 4; ++i)
                name[i] = code[i] >= 0x20 && code[i] < 0x7f ? char(code[i]) : '?';
            *failureReason = decodeFailure("not supported: DDS with pixel format '%s'", name);
            return nullptr;
        }
    }
    return decodeWithSoil(bytes, length, width, height, channels, failureReason);
}

// An ISO base media file: a 'ftyp' box whose brands say what it holds.
bool hasBrand(const unsigned char* bytes, size_t length, const char* brand)
{
    if (length < 16 || std::memcmp(bytes + 4, "ftyp", 4) != 0)
        return false;
    size_t boxLength = bigEndian32(bytes);
    if (boxLength < 16 || boxLength > length)
        boxLength = length;
    if (std::memcmp(bytes + 8, brand, 4) == 0)
        return true;
    for (size_t at = 16; at + 4 <= boxLength; at += 4)
        if (std::memcmp(bytes + at, brand, 4) == 0)
            return true;
    return false;
}

enum class heifKind { none, heic, avif };

// AVIF first: an AVIF file may name HEIF's general brands too.
heifKind identifyHeif(const unsigned char* bytes, size_t length)
{
    if (hasBrand(bytes, length, "avif") || hasBrand(bytes, length, "avis"))
        return heifKind::avif;
    for (const char* brand : {"heic", "heix", "heim", "heis", "hevc", "hevx", "mif1", "msf1"})
        if (hasBrand(bytes, length, brand))
            return heifKind::heic;
    return heifKind::none;
}

// Formats recognised only to say so.
const char* identifyUnsupported(const unsigned char* bytes, size_t length)
{
    static const struct {
        const char* magic;
        size_t magicLength;
        const char* name;
    } known[] = {
        {"\x00\x00\x00\x0cjP  \r\n\x87\n", 12, "JPEG 2000"},
        {"\xff\x4f\xff\x51", 4, "JPEG 2000"},
        {"\xff\x0a", 2, "JPEG XL"},
        {"\x00\x00\x00\x0cJXL \r\n\x87\n", 12, "JPEG XL"},
        {"\x76\x2f\x31\x01", 4, "OpenEXR"},
        {"P7\n", 3, "PAM"},
        {"%PDF", 4, "PDF"},
        {"%!PS", 4, "PostScript"},
        {"<svg", 4, "SVG"},
        {"\x53\x80\xf6\x34", 4, "Softimage PIC"},
        {"gimp xcf", 8, "GIMP XCF"},
    };
    for (const auto& format : known)
        if (startsWith(bytes, length, format.magic, format.magicLength))
            return format.name;
    if (startsWith(bytes, length, "RIFF") && length >= 12 && std::memcmp(bytes + 8, "WEBP", 4) != 0)
        return "RIFF other than WebP";
    if (length >= 12 && std::memcmp(bytes + 4, "ftyp", 4) == 0)
        return "ISO media other than HEIC or AVIF";
    return nullptr;
}

// TGA has no signature: a header whose fields all hold values TGA allows.
bool looksLikeTga(const unsigned char* bytes, size_t length)
{
    if (length < 18)
        return false;
    int colourMapType = bytes[1], imageType = bytes[2], bitsPerPixel = bytes[16];
    bool knownType = imageType == 1 || imageType == 2 || imageType == 3 || imageType == 9 ||
        imageType == 10 || imageType == 11;
    bool knownDepth = bitsPerPixel == 8 || bitsPerPixel == 15 || bitsPerPixel == 16 || bitsPerPixel == 24 ||
        bitsPerPixel == 32;
    return colourMapType <= 1 && knownType && knownDepth;
}

bool isPng(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "\x89PNG\r\n\x1a\n");
}

bool isJpeg(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "\xff\xd8\xff");
}

bool isGif(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "GIF87a") || startsWith(bytes, length, "GIF89a");
}

bool isWebp(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "RIFF") && length >= 12 && std::memcmp(bytes + 8, "WEBP", 4) == 0;
}

bool isTiff(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "II*\0") || startsWith(bytes, length, "MM\0*") ||
        startsWith(bytes, length, "II+\0") || startsWith(bytes, length, "MM\0+");
}

// An OS/2 bitmap array ("BA") is read for its first bitmap.
bool isBmp(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "BM") ||
        (startsWith(bytes, length, "BA") && length >= 16 && bytes[14] == 'B' && bytes[15] == 'M');
}

bool isPsd(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "8BPS");
}

bool isHdr(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "#?RADIANCE") || startsWith(bytes, length, "#?RGBE");
}

bool isDds(const unsigned char* bytes, size_t length)
{
    return startsWith(bytes, length, "DDS ");
}

bool isHeic(const unsigned char* bytes, size_t length)
{
    return identifyHeif(bytes, length) == heifKind::heic;
}

bool isAvif(const unsigned char* bytes, size_t length)
{
    return identifyHeif(bytes, length) == heifKind::avif;
}

// libtiff asks the system for its memory size once; libheif starts threads
// whatever it is told.
constexpr decoderConfinement strictly{};
constexpr decoderConfinement afterTiffSetUp{prepareTiffDecoder, false};
constexpr decoderConfinement withHeifThreads{prepareHeifDecoder, true};

// One row per format read, in the order users see them listed. A format
// without a signature (TGA) is tried after every other and after the formats
// recognised only to be refused.
struct imageFormatDescriptor {
    const char* name;
    bool (*recognise)(const unsigned char* bytes, size_t length);
    imageDecodeFunction decode;
    decoderConfinement confinement;
    // The sides and channels its header gives before decoding, where it can.
    bool (*readHeader)(const unsigned char* bytes, size_t length, declaredImage& declared);
};

const imageFormatDescriptor formats[] = {
    {"PNG", isPng, decodePng, strictly, readPngHeader},
    {"JPEG", isJpeg, decodeJpeg, strictly, nullptr},
    {"GIF", isGif, decodeGif, strictly, nullptr},
    {"WebP", isWebp, decodeWebp, strictly, nullptr},
    {"TIFF", isTiff, decodeTiff, afterTiffSetUp, nullptr},
    {"BMP", isBmp, decodeBmp, strictly, readBmpHeader},
    {"PNM", isPnm, decodePnm, strictly, nullptr},
    {"PSD", isPsd, decodePsd, strictly, nullptr},
    {"TGA", looksLikeTga, decodeTga, strictly, nullptr},
    {"HDR", isHdr, decodeWithSoil, strictly, nullptr},
    {"DDS", isDds, decodeDds, strictly, nullptr},
    {"HEIC", isHeic, decodeHeif, withHeifThreads, nullptr},
    {"AVIF", isAvif, decodeHeif, withHeifThreads, nullptr},
};

bool hasSignature(const imageFormatDescriptor& format)
{
    return format.recognise != looksLikeTga;
}

std::string formatsRead()
{
    std::string names;
    for (const imageFormatDescriptor& format : formats)
        names += (names.empty() ? "" : ", ") + std::string(format.name);
    return names;
}

// The format the bytes announce, or null with the name of a format
// recognised only to be refused ("JPEG 2000") in unsupportedName.
const imageFormatDescriptor* identifyFormat(const unsigned char* bytes, size_t length, const char** unsupportedName)
{
    *unsupportedName = nullptr;
    for (const imageFormatDescriptor& format : formats)
        if (hasSignature(format) && format.recognise(bytes, length))
            return &format;
    *unsupportedName = identifyUnsupported(bytes, length);
    if (*unsupportedName)
        return nullptr;
    for (const imageFormatDescriptor& format : formats)
        if (!hasSignature(format) && format.recognise(bytes, length))
            return &format;
    return nullptr;
}

} // namespace

imageDecoderChoice chooseImageDecoder(const unsigned char* bytes, size_t length)
{
    imageDecoderChoice choice;
    const char* unsupported = nullptr;
    const imageFormatDescriptor* format = identifyFormat(bytes, length, &unsupported);
    if (format) {
        choice.decode = format->decode;
        choice.confinement = format->confinement;
    } else if (unsupported) {
        choice.refusal = std::string("not supported: ") + unsupported;
    } else {
        choice.refusal = "Image not of any known type, or corrupt (formats read: " + formatsRead() + ")";
    }
    return choice;
}

bool readDeclaredImage(const unsigned char* bytes, size_t length, declaredImage& declared)
{
    const char* unsupported = nullptr;
    const imageFormatDescriptor* format = identifyFormat(bytes, length, &unsupported);
    return format && format->readHeader && format->readHeader(bytes, length, declared);
}
