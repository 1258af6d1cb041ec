#include "safeload/byteOrder.h"
#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"
#include "safeload/imageSandbox.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

// JPEG through libjpeg-turbo, whose pixels are those of ImageMagick, browsers
// and viewers: baseline, progressive and arithmetic-coded files, grey, YCbCr,
// CMYK and YCCK. (SOIL's own baseline decoder was 5 to 60 levels off theirs
// at the right edge of some photos and with some chroma subsamplings.) Before
// libjpeg sees a file its markers are walked to its end, so that a truncated
// file is refused instead of being completed with grey.

namespace {

bool isStandaloneMarker(unsigned char marker)
{
    return marker == 0x01 || (marker >= 0xd0 && marker <= 0xd8);
}

// Finds the marker that ends the entropy-coded data starting at `at`: 0xff
// followed by a byte that is neither a stuffed zero nor a restart marker.
size_t skipEntropyCodedData(const unsigned char* bytes, size_t length, size_t at)
{
    while (at + 1 < length) {
        if (bytes[at] == 0xff && bytes[at + 1] != 0x00 && !(bytes[at + 1] >= 0xd0 && bytes[at + 1] <= 0xd7) &&
            bytes[at + 1] != 0xff)
            return at;
        ++at;
    }
    return length;
}

const char* const endsEarly = "JPEG file is truncated or corrupt: it ends before its end-of-image marker";

// Walks the file's segments and scans to its end-of-image marker; the fault
// found on the way, or null when the file reaches that marker.
const char* markerWalkFault(const unsigned char* bytes, size_t length)
{
    size_t at = 2;
    while (at + 1 < length) {
        if (bytes[at] != 0xff)
            return endsEarly;
        unsigned char marker = bytes[at + 1];
        if (marker == 0xff) {
            ++at;
            continue;
        }
        if (marker == 0xd9)
            return nullptr;
        at += 2;
        if (isStandaloneMarker(marker))
            continue;
        if (at + 2 > length)
            return endsEarly;
        // A segment's length counts its own two bytes: a shorter one would
        // have the walk read the length as the next marker.
        const unsigned segmentLength = bigEndian16(bytes + at);
        if (segmentLength < 2)
            return "JPEG segment with an impossible length";
        at += segmentLength;
        if (marker == 0xda)
            at = skipEntropyCodedData(bytes, length, at);
    }
    return endsEarly;
}

struct failureExit {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void leaveOnError(j_common_ptr decoder)
{
    auto* exit = reinterpret_cast<failureExit*>(decoder->err);
    decoder->err->format_message(decoder, exit->message);
    std::longjmp(exit->jump, 1);
}

// A warning means the data is corrupt: a missing part would be made up.
void leaveOnWarning(j_common_ptr decoder, int level)
{
    if (level < 0)
        leaveOnError(decoder);
}

// Adobe's CMYK JPEGs store every ink inverted; libjpeg hands them over as
// stored.
void cmykToRgb(const unsigned char* cmyk, unsigned char* rgb, size_t pixels, bool inverted)
{
    for (size_t pixel = 0; pixel < pixels; ++pixel, cmyk += 4, rgb += 3) {
        unsigned black = inverted ? 255u - cmyk[3] : cmyk[3];
        for (int channel = 0; channel < 3; ++channel)
            rgb[channel] = rgbFromInks(inverted ? 255u - cmyk[channel] : cmyk[channel], black);
    }
}

int outputChannels(const jpeg_decompress_struct& decoder)
{
    return decoder.out_color_space == JCS_GRAYSCALE ? 1 : decoder.out_color_space == JCS_CMYK ? 4 : 3;
}

// Every call that can fail leaves through leaveOnError to the setjmp in
// decodeWithLibjpeg; the pixel buffers are therefore released there.
struct jpegBuffers {
    unsigned char* pixels = nullptr;
    unsigned char* cmykRow = nullptr;
};

void readScanlines(jpeg_decompress_struct& decoder, jpegBuffers& buffers)
{
    const bool cmyk = decoder.out_color_space == JCS_CMYK;
    const size_t rowBytes = size_t(decoder.output_width) * (cmyk ? 3 : size_t(decoder.output_components));
    const bool inverted = cmyk && decoder.saw_Adobe_marker;
    while (decoder.output_scanline < decoder.output_height) {
        unsigned char* row = buffers.pixels + size_t(decoder.output_scanline) * rowBytes;
        JSAMPROW target = cmyk ? buffers.cmykRow : row;
        jpeg_read_scanlines(&decoder, &target, 1);
        if (cmyk)
            cmykToRgb(buffers.cmykRow, row, decoder.output_width, inverted);
    }
}

// The buffers are the caller's: a local variable of this function that
// changes after setjmp has no defined value once longjmp returns here (the
// optimiser may keep its old value in a register), and the pixels would leak.
unsigned char* decodeWithLibjpeg(const unsigned char* bytes, int length, int* width, int* height,
    int* channels, const char** failureReason, jpegBuffers& buffers)
{
    jpeg_decompress_struct decoder {};
    failureExit exit {};
    decoder.err = jpeg_std_error(&exit.manager);
    exit.manager.error_exit = leaveOnError;
    exit.manager.emit_message = leaveOnWarning;
    if (setjmp(exit.jump)) {
        std::free(buffers.pixels);
        std::free(buffers.cmykRow);
        jpeg_destroy_decompress(&decoder);
        *failureReason = decodeFailure("JPEG %s", exit.message);
        return nullptr;
    }
    jpeg_create_decompress(&decoder);
    jpeg_mem_src(&decoder, bytes, static_cast<unsigned long>(length));
    jpeg_read_header(&decoder, TRUE);
    if (decoder.jpeg_color_space == JCS_CMYK || decoder.jpeg_color_space == JCS_YCCK)
        decoder.out_color_space = JCS_CMYK;
    int imageChannels = outputChannels(decoder) == 4 ? 3 : outputChannels(decoder);
    buffers.pixels = allocateImage(decoder.image_width, decoder.image_height, imageChannels, failureReason);
    if (!buffers.pixels) {
        jpeg_destroy_decompress(&decoder);
        return nullptr;
    }
    jpeg_start_decompress(&decoder);
    if (decoder.out_color_space == JCS_CMYK) {
        buffers.cmykRow = static_cast<unsigned char*>(std::malloc(size_t(decoder.output_width) * 4));
        if (!buffers.cmykRow) {
            std::snprintf(exit.message, sizeof exit.message, "%s", outOfMemoryReason);
            std::longjmp(exit.jump, 1);
        }
    }
    readScanlines(decoder, buffers);
    jpeg_finish_decompress(&decoder);
    *width = int(decoder.output_width);
    *height = int(decoder.output_height);
    *channels = imageChannels;
    jpeg_destroy_decompress(&decoder);
    std::free(buffers.cmykRow);
    return buffers.pixels;
}

} // namespace

unsigned char* decodeJpeg(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    if (const char* fault = markerWalkFault(bytes, size_t(length))) {
        *failureReason = fault;
        return nullptr;
    }
    jpegBuffers buffers;
    return decodeWithLibjpeg(bytes, length, width, height, channels, failureReason, buffers);
}
