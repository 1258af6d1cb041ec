#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <webp/decode.h>

#include <cstdlib>

// WebP through libwebp, single-threaded: RGB, or RGBA when the file has alpha.

namespace {

const char* statusText(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY: return "Out of memory";
    case VP8_STATUS_INVALID_PARAM: return "WebP invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "WebP bitstream error";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "WebP feature not supported";
    case VP8_STATUS_SUSPENDED: return "WebP decoding suspended";
    case VP8_STATUS_USER_ABORT: return "WebP decoding aborted";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "WebP file is truncated";
    default: return "WebP decoding failed";
    }
}

} // namespace

unsigned char* decodeWebp(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    WebPBitstreamFeatures features;
    VP8StatusCode status = WebPGetFeatures(bytes, size_t(length), &features);
    if (status != VP8_STATUS_OK) {
        *failureReason = statusText(status);
        return nullptr;
    }
    if (features.has_animation) {
        *failureReason = "not supported: animated WebP";
        return nullptr;
    }
    int imageChannels = features.has_alpha ? 4 : 3;
    unsigned char* pixels =
        allocateImage(uint64_t(features.width), uint64_t(features.height), imageChannels, failureReason);
    if (!pixels)
        return nullptr;
    size_t stride = size_t(features.width) * size_t(imageChannels);
    size_t size = stride * size_t(features.height);
    uint8_t* decoded = imageChannels == 4
        ? WebPDecodeRGBAInto(bytes, size_t(length), pixels, size, int(stride))
        : WebPDecodeRGBInto(bytes, size_t(length), pixels, size, int(stride));
    if (!decoded) {
        std::free(pixels);
        *failureReason = "WebP image data is corrupt or truncated";
        return nullptr;
    }
    *width = features.width;
    *height = features.height;
    *channels = imageChannels;
    return pixels;
}
