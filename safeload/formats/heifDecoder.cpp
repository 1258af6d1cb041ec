#include "safeload/formats/decodedImage.h"
#include "safeload/formats/formatDecoders.h"

#include <libheif/heif.h>
#include <malloc.h>

#include <cstdlib>
#include <cstring>

// HEIC and AVIF through libheif, the primary image at 8 bits: RGB, or RGBA
// with an alpha plane. libheif's decoders start threads whatever they are
// told, so this runs in a child whose filter allows threads. HEIF's own
// rotation, mirroring and cropping are part of the image's geometry there and
// are applied, as every HEIF reader does.

namespace {

// Keeps libheif's message in storage of our own: it lives in the context.
const char* heifFailure(const heif_error& error)
{
    return decodeFailure("HEIF %s", error.message ? error.message : "decoding failed");
}

unsigned char* copyPlane(const heif_image* image, int width, int height, int channels,
    const char** failureReason)
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

unsigned char* decodePrimaryImage(heif_context* context, int* width, int* height, int* channels,
    const char** failureReason)
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
        pixels = allocateImage(uint64_t(imageWidth > 0 ? imageWidth : 0), uint64_t(imageHeight > 0 ? imageHeight : 0),
            imageChannels, failureReason);
        heif_image_handle_release(handle);
        return pixels;
    }
    heif_decoding_options* options = heif_decoding_options_alloc();
    options->convert_hdr_to_8bit = 1;
    options->strict_decoding = 1;
    heif_image* image = nullptr;
    error = heif_decode_image(handle, &image, heif_colorspace_RGB,
        imageChannels == 4 ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, options);
    heif_decoding_options_free(options);
    if (error.code != heif_error_Ok) {
        *failureReason = heifFailure(error);
    } else {
        *width = heif_image_get_width(image, heif_channel_interleaved);
        *height = heif_image_get_height(image, heif_channel_interleaved);
        *channels = imageChannels;
        pixels = copyPlane(image, *width, *height, imageChannels, failureReason);
    }
    if (image)
        heif_image_release(image);
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
    heif_context* context = heif_context_alloc();
    if (!context) {
        *failureReason = "Out of memory";
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
