#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <webp/decode.h>
#include <webp/demux.h>

#include <cstdlib>
#include <cstring>

// WebP through libwebp, single-threaded: RGB, or RGBA when the file has alpha.
// Of an animated file, the first frame on its canvas, as ImageMagick reads
// every animated format (and GIF here).

namespace {

const char* statusText(VP8StatusCode status)
{
    switch (status) {
    case VP8_STATUS_OUT_OF_MEMORY: return outOfMemoryReason;
    case VP8_STATUS_INVALID_PARAM: return "WebP invalid parameter";
    case VP8_STATUS_BITSTREAM_ERROR: return "WebP bitstream error";
    case VP8_STATUS_UNSUPPORTED_FEATURE: return "WebP feature not supported";
    case VP8_STATUS_SUSPENDED: return "WebP decoding suspended";
    case VP8_STATUS_USER_ABORT: return "WebP decoding aborted";
    case VP8_STATUS_NOT_ENOUGH_DATA: return "WebP file is truncated";
    default: return "WebP decoding failed";
    }
}

// Copies the decoder's RGBA canvas into `pixels`, dropping the alpha of an
// image that has none.
void copyCanvas(const uint8_t* canvas, unsigned char* pixels, size_t texels, int imageChannels)
{
    if (imageChannels == 4) {
        std::memcpy(pixels, canvas, texels * 4);
        return;
    }
    for (size_t texel = 0; texel < texels; ++texel)
        std::memcpy(pixels + texel * 3, canvas + texel * 4, 3);
}

// The first frame of an animation, composed on its canvas by libwebp's
// animation decoder (on this thread: the sandbox starts none).
unsigned char* decodeFirstFrame(const unsigned char* bytes, int length, const WebPBitstreamFeatures& features,
    int* width, int* height, int* channels, const char** failureReason)
{
    const int imageChannels = features.has_alpha ? 4 : 3;
    unsigned char* pixels =
        allocateImage(uint64_t(features.width), uint64_t(features.height), imageChannels, failureReason);
    if (!pixels)
        return nullptr;
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    options.use_threads = 0;
    const WebPData data{bytes, size_t(length)};
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    WebPAnimInfo info{};
    uint8_t* canvas = nullptr;
    int timestamp = 0;
    const bool decoded = decoder && WebPAnimDecoderGetInfo(decoder, &info)
        && int(info.canvas_width) == features.width && int(info.canvas_height) == features.height
        && WebPAnimDecoderGetNext(decoder, &canvas, &timestamp);
    if (decoded)
        copyCanvas(canvas, pixels, size_t(features.width) * size_t(features.height), imageChannels);
    WebPAnimDecoderDelete(decoder);
    if (!decoded) {
        std::free(pixels);
        *failureReason = "WebP animation data is corrupt or truncated";
        return nullptr;
    }
    *width = features.width;
    *height = features.height;
    *channels = imageChannels;
    return pixels;
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
    if (features.has_animation)
        return decodeFirstFrame(bytes, length, features, width, height, channels, failureReason);
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
