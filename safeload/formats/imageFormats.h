#pragma once

#include "safeload/imageSandbox.h"

#include <cstddef>
#include <string>

// Which decoder reads an image, chosen from its first bytes before any child
// is started. Formats SOIL has always read correctly (baseline JPEG, Radiance
// HDR, DDS, top-left TGA) keep SOIL's decoder, so their textures stay as they
// were; the others have a decoder of their own in this folder.

enum class imageFormat { unknown, png, jpeg, gif, webp, tiff, bmp, pnm, psd, tga, hdr, dds, heic, avif };

// The format the bytes announce; unknown when none does. A file that is an
// image of a format not read here gives unknown and its name in
// unsupportedName ("JPEG 2000").
imageFormat identifyImageFormat(const unsigned char* bytes, size_t length, const char** unsupportedName);

struct imageDecoderChoice {
    imageDecodeFunction decode = nullptr; // null when the file is refused without decoding
    decoderConfinement confinement;
    std::string refusal; // why, when decode is null
};

// The decoder for the bytes, or a refusal that names the format and why
// ("not supported: JPEG 2000"), or lists the formats read for an unknown file.
imageDecoderChoice chooseImageDecoder(const unsigned char* bytes, size_t length);
