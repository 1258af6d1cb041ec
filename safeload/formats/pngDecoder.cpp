#include "safeload/byteOrder.h"
#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "safeload/formats/pngWholeImage.h"

#include <spng.h>

#include <cstdlib>

// PNG through libspng. An 8-bit image of a kind SOIL read correctly gives the
// bytes SOIL gave: the samples as stored, palettes expanded, no gamma applied.
// libspng also reads what SOIL refused (interlaced, 1-, 2-, 4- and 16-bit
// images) and, unlike SOIL, counts a tRNS colour key as the alpha channel it
// is.

namespace {

// SOIL's channel count for each colour type, one more for a colour key or a
// palette with transparency.
int channelsOf(const spng_ihdr& header, bool hasTransparency)
{
    switch (header.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE: return hasTransparency ? 2 : 1;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: return 2;
    case SPNG_COLOR_TYPE_TRUECOLOR: return hasTransparency ? 4 : 3;
    case SPNG_COLOR_TYPE_INDEXED: return hasTransparency ? 4 : 3;
    default: return 4;
    }
}

// The output format libspng gives those channels in directly, or 0 when the
// image must go through 16-bit RGBA: 16-bit samples, grey below 8 bits or
// with a colour key. libspng 0.7 refuses GA8 output for grey and alpha, but
// its PNG format is exactly that for an 8-bit image.
int directFormat(const spng_ihdr& header, int channels)
{
    bool eightBit = header.bit_depth == 8;
    switch (header.color_type) {
    case SPNG_COLOR_TYPE_GRAYSCALE: return eightBit && channels == 1 ? SPNG_FMT_G8 : 0;
    case SPNG_COLOR_TYPE_GRAYSCALE_ALPHA: return eightBit ? SPNG_FMT_PNG : 0;
    case SPNG_COLOR_TYPE_INDEXED: return channels == 4 ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    default:
        if (!eightBit)
            return 0;
        return channels == 4 ? SPNG_FMT_RGBA8 : SPNG_FMT_RGB8;
    }
}

// RGBA with 16 bits a sample, cut down to the image's channels and 8 bits.
bool decodeThroughRgba16(spng_ctx* context, unsigned char* pixels, size_t pixelCount, int channels)
{
    size_t bytes = 0;
    if (spng_decoded_image_size(context, SPNG_FMT_RGBA16, &bytes) != 0)
        return false;
    auto* wide = static_cast<uint16_t*>(std::malloc(bytes));
    if (!wide)
        return false;
    bool decoded = spng_decode_image(context, wide, bytes, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS) == 0;
    // Grey comes back as equal red, green and blue: red is the grey sample.
    static const int greyAlpha[] = {0, 3}, rgba[] = {0, 1, 2, 3};
    const int* taken = channels <= 2 ? greyAlpha : rgba;
    for (size_t pixel = 0; decoded && pixel < pixelCount; ++pixel)
        for (int channel = 0; channel < channels; ++channel)
            pixels[pixel * channels + channel] = sampleFromSixteenBits(wide[pixel * 4 + taken[channel]]);
    std::free(wide);
    return decoded;
}

const char* spngFailure(int error)
{
    return decodeFailure("PNG %s", spng_strerror(error));
}

// The indexes of a palette image, unpacked to a byte each, checked against
// the palette's length: libspng draws an index past the palette as black,
// where the file is simply wrong (the BMP reader refuses the same fault).
bool paletteIndexesFit(const unsigned char* bytes, int length, const spng_ihdr& header)
{
    spng_ctx* context = spng_ctx_new(0);
    if (!context)
        return false;
    spng_set_png_buffer(context, bytes, size_t(length));
    spng_set_image_limits(context, INT32_MAX, INT32_MAX);
    spng_plte palette {};
    size_t rowBytes = (size_t(header.width) * header.bit_depth + 7) / 8;
    size_t size = 0;
    bool fit = spng_get_plte(context, &palette) == 0 && spng_decoded_image_size(context, SPNG_FMT_PNG, &size) == 0
        && size == rowBytes * header.height;
    // Cleared: libspng puts the passes of an interlaced image of fewer than 8
    // bits an index together by adding each index's bits to the byte already
    // there, so whatever the heap left in the buffer would read as indexes.
    auto* packed = fit ? static_cast<unsigned char*>(std::calloc(size, 1)) : nullptr;
    fit = packed && spng_decode_image(context, packed, size, SPNG_FMT_PNG, 0) == 0;
    const unsigned depth = header.bit_depth;
    const unsigned perByte = 8 / depth;
    for (uint32_t y = 0; fit && y < header.height; ++y)
        for (uint32_t x = 0; fit && x < header.width; ++x) {
            const unsigned char byte = packed[y * rowBytes + x / perByte];
            const unsigned shift = 8 - depth * (x % perByte + 1);
            fit = ((byte >> shift) & ((1u << depth) - 1)) < palette.n_entries;
        }
    std::free(packed);
    spng_ctx_free(context);
    return fit;
}

unsigned char* decodeWithContext(spng_ctx* context, const unsigned char* bytes, int length, int* width,
    int* height, int* channels, const char** failureReason)
{
    spng_set_png_buffer(context, bytes, size_t(length));
    spng_set_image_limits(context, INT32_MAX, INT32_MAX);
    spng_ihdr header {};
    int error = spng_get_ihdr(context, &header);
    if (error) {
        *failureReason = spngFailure(error);
        return nullptr;
    }
    spng_trns colourKey {};
    const int transparency = spng_get_trns(context, &colourKey);
    int imageChannels = channelsOf(header, transparency == 0);
    unsigned char* pixels = allocateImage(header.width, header.height, imageChannels, failureReason);
    if (!pixels)
        return nullptr;
    size_t pixelBytes = size_t(header.width) * header.height * size_t(imageChannels);
    int format = directFormat(header, imageChannels);
    if (suitsWholeDecode(header, transparency)
        && decodePngWhole(bytes, size_t(length), header, format, imageChannels, pixels)) {
        *width = int(header.width);
        *height = int(header.height);
        *channels = imageChannels;
        return pixels;
    }
    size_t expected = 0;
    if (format) {
        error = spng_decoded_image_size(context, format, &expected);
        if (!error && expected != pixelBytes)
            error = SPNG_EINTERNAL;
        if (!error)
            error = spng_decode_image(context, pixels, pixelBytes, format, SPNG_DECODE_TRNS);
    } else if (!decodeThroughRgba16(context, pixels, pixelBytes / size_t(imageChannels), imageChannels)) {
        error = SPNG_EINTERNAL;
    }
    // The image decodes before the last chunks are read: reading on to IEND
    // checks the rest of the file too (the last image chunk's checksum, a
    // file cut off before its end).
    if (!error && (error = spng_decode_chunks(context)) != 0) {
        *failureReason = error == SPNG_IO_EOF ? "PNG file ends before its last chunk" : spngFailure(error);
        std::free(pixels);
        return nullptr;
    }
    if (error) {
        *failureReason = format ? spngFailure(error) : "PNG image data is corrupt";
        std::free(pixels);
        return nullptr;
    }
    *width = int(header.width);
    *height = int(header.height);
    *channels = imageChannels;
    return pixels;
}

} // namespace

unsigned char* decodePng(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    spng_ctx* context = spng_ctx_new(0);
    if (!context) {
        *failureReason = outOfMemoryReason;
        return nullptr;
    }
    unsigned char* pixels = decodeWithContext(context, bytes, length, width, height, channels, failureReason);
    spng_ihdr header {};
    if (pixels && spng_get_ihdr(context, &header) == 0 && header.color_type == SPNG_COLOR_TYPE_INDEXED
        && !paletteIndexesFit(bytes, length, header)) {
        std::free(pixels);
        pixels = nullptr;
        *failureReason = "PNG palette index beyond the palette";
    }
    spng_ctx_free(context);
    return pixels;
}

bool readPngHeader(const unsigned char* bytes, size_t length, declaredImage& declared)
{
    // The IHDR chunk always follows the signature: sides at 16, colour type at 25.
    constexpr size_t widthAt = 16, colourTypeAt = 25;
    if (length <= colourTypeAt)
        return false;
    declared.width = bigEndian32(bytes + widthAt);
    declared.height = bigEndian32(bytes + widthAt + 4);
    spng_ihdr header{};
    header.color_type = bytes[colourTypeAt];
    // A palette's channels depend on its transparency, which a later chunk
    // gives; a colour key may still add one to the others.
    const bool tellsChannels = header.color_type == SPNG_COLOR_TYPE_GRAYSCALE
        || header.color_type == SPNG_COLOR_TYPE_TRUECOLOR || header.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA
        || header.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    declared.channels = tellsChannels ? channelsOf(header, false) : 0;
    return true;
}
