#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <libheif/heif.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

// HEIC and AVIF through libheif, the primary image at 8 bits: RGB, or RGBA
// with an alpha plane; deeper samples are cut to 8 bits. libheif's decoders start threads whatever they are
// told, so this runs in a child whose filter allows threads. HEIF's own
// rotation, mirroring and cropping are part of the image's geometry there and
// are applied, as every HEIF reader does.

namespace {

// Keeps libheif's message in storage of our own: it lives in the context.
const char* heifFailure(const heif_error& error)
{
    return decodeFailure("HEIF %s", error.message ? error.message : "decoding failed");
}

unsigned char* copyPlane(
    const heif_image* image, int width, int height, int channels, const char** failureReason)
{
    int stride = 0;
    const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
    if (!plane || stride < width * channels) {
        *failureReason = "HEIF decoder gave no pixels";
        return nullptr;
    }
    unsigned char* pixels = allocateImage(uint64_t(width), uint64_t(height), channels, failureReason);
    for (int y = 0; pixels && y < height; ++y)
        std::memcpy(pixels + size_t(y) * size_t(width) * size_t(channels), plane + size_t(y) * size_t(stride),
            size_t(width) * size_t(channels));
    return pixels;
}

unsigned char clampedSample(double value)
{
    return static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value + 0.5);
}

// Each chroma sample covers its 2 x 2 pixels; full-range BT.601.
unsigned char* convertYCbCr420(const heif_image* image, int width, int height, const char** failureReason)
{
    int yStride = 0, cbStride = 0, crStride = 0;
    const uint8_t* luma = heif_image_get_plane_readonly(image, heif_channel_Y, &yStride);
    const uint8_t* blueDifference = heif_image_get_plane_readonly(image, heif_channel_Cb, &cbStride);
    const uint8_t* redDifference = heif_image_get_plane_readonly(image, heif_channel_Cr, &crStride);
    if (!luma || !blueDifference || !redDifference) {
        *failureReason = "HEIF decoder gave no pixels";
        return nullptr;
    }
    unsigned char* pixels = allocateImage(uint64_t(width), uint64_t(height), 3, failureReason);
    for (int y = 0; pixels && y < height; ++y)
        for (int x = 0; x < width; ++x) {
            double brightness = luma[size_t(y) * size_t(yStride) + size_t(x)];
            double cb = blueDifference[size_t(y / 2) * size_t(cbStride) + size_t(x / 2)] - 128.0;
            double cr = redDifference[size_t(y / 2) * size_t(crStride) + size_t(x / 2)] - 128.0;
            unsigned char* pixel = pixels + (size_t(y) * size_t(width) + size_t(x)) * 3;
            pixel[0] = clampedSample(brightness + 1.402 * cr);
            pixel[1] = clampedSample(brightness - 0.344136 * cb - 0.714136 * cr);
            pixel[2] = clampedSample(brightness + 1.772 * cb);
        }
    return pixels;
}

heif_image* decodeAs(
    const heif_image_handle* handle, heif_colorspace colourSpace, heif_chroma chroma, heif_error& error)
{
    heif_decoding_options* options = heif_decoding_options_alloc();
    options->convert_hdr_to_8bit = 1;
    options->strict_decoding = 1;
    heif_image* image = nullptr;
    error = heif_decode_image(handle, &image, colourSpace, chroma, options);
    heif_decoding_options_free(options);
    return error.code == heif_error_Ok ? image : nullptr;
}

bool isEightBit420(const heif_image* image)
{
    return heif_image_get_colorspace(image) == heif_colorspace_YCbCr &&
        heif_image_get_chroma_format(image) == heif_chroma_420 &&
        heif_image_get_bits_per_pixel_range(image, heif_channel_Y) == 8;
}

// 8-bit pictures without alpha, what cameras and phones write, come as their
// 4:2:0 planes and are converted here as ImageMagick converts them; any other
// through libheif's own conversion.
unsigned char* decodePixels(
    const heif_image_handle* handle, int channels, int* width, int* height, const char** failureReason)
{
    heif_error error {};
    if (channels == 3 && heif_image_handle_get_luma_bits_per_pixel(handle) == 8) {
        heif_image* planes = decodeAs(handle, heif_colorspace_YCbCr, heif_chroma_420, error);
        if (!planes) {
            *failureReason = heifFailure(error);
            return nullptr;
        }
        unsigned char* pixels = nullptr;
        if (isEightBit420(planes)) {
            *width = heif_image_get_width(planes, heif_channel_Y);
            *height = heif_image_get_height(planes, heif_channel_Y);
            pixels = convertYCbCr420(planes, *width, *height, failureReason);
        }
        heif_image_release(planes);
        if (pixels || *failureReason)
            return pixels;
    }
    heif_image* image = decodeAs(handle, heif_colorspace_RGB,
        channels == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, error);
    if (!image) {
        *failureReason = heifFailure(error);
        return nullptr;
    }
    *width = heif_image_get_width(image, heif_channel_interleaved);
    *height = heif_image_get_height(image, heif_channel_interleaved);
    unsigned char* pixels = copyPlane(image, *width, *height, channels, failureReason);
    heif_image_release(image);
    return pixels;
}

unsigned char* decodePrimaryImage(
    heif_context* context, int* width, int* height, int* channels, const char** failureReason)
{
    heif_image_handle* handle = nullptr;
    heif_error error = heif_context_get_primary_image_handle(context, &handle);
    if (error.code != heif_error_Ok) {
        *failureReason = heifFailure(error);
        return nullptr;
    }
    int imageWidth = heif_image_handle_get_width(handle), imageHeight = heif_image_handle_get_height(handle);
    int imageChannels = heif_image_handle_has_alpha_channel(handle) ? 4 : 3;
    unsigned char* pixels = nullptr;
    if (imageWidth < 1 || imageHeight < 1 ||
        uint64_t(imageWidth) * uint64_t(imageHeight) * uint64_t(imageChannels) > decodedImageByteLimit()) {
        pixels = allocateImage(uint64_t(imageWidth > 0 ? imageWidth : 0),
            uint64_t(imageHeight > 0 ? imageHeight : 0), imageChannels, failureReason);
        heif_image_handle_release(handle);
        return pixels;
    }
    pixels = decodePixels(handle, imageChannels, width, height, failureReason);
    *channels = imageChannels;
    heif_image_handle_release(handle);
    return pixels;
}

} // namespace

// One malloc arena for every thread: each further arena would reserve 64 MiB
// of the child's limited address space. The plugins are registered before
// the filter goes on.
void prepareHeifDecoder()
{
    mallopt(M_ARENA_MAX, 1);
    heif_init(nullptr);
}

unsigned char* decodeHeif(const unsigned char* bytes, int length, int* width, int* height, int* channels,
    const char** failureReason)
{
    *failureReason = nullptr;
    heif_context* context = heif_context_alloc();
    if (!context) {
        *failureReason = outOfMemoryReason;
        return nullptr;
    }
    unsigned char* pixels = nullptr;
    heif_error error = heif_context_read_from_memory_without_copy(context, bytes, size_t(length), nullptr);
    if (error.code != heif_error_Ok)
        *failureReason = heifFailure(error);
    else
        pixels = decodePrimaryImage(context, width, height, channels, failureReason);
    heif_context_free(context);
    return pixels;
}
