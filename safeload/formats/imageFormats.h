#pragma once

#include "safeload/imageSandbox.h"

#include <cstddef>
#include <string>

// Which decoder reads an image, chosen from its first bytes before any child
// is started, from one table of the formats read (imageFormats.cpp): a format
// is a row there and a decoder file in this folder. Formats SOIL has always
// read correctly (Radiance HDR, DDS, TGA of 8 to 32 bits) keep SOIL's
// decoder, so their textures stay as they were.

#include "safeload/formats/formatDecoders.h"

struct imageDecoderChoice {
    imageDecodeFunction decode = nullptr; // null when the file is refused without decoding
    decoderConfinement confinement;
    std::string refusal; // why, when decode is null
};

// The decoder for the bytes, or a refusal that names the format and why
// ("not supported: JPEG 2000"), or lists the formats read for an unknown file.
imageDecoderChoice chooseImageDecoder(const unsigned char* bytes, size_t length);

// The sides and channels the image's header declares, for the formats whose
// header gives them without decoding; false for the others.
bool readDeclaredImage(const unsigned char* bytes, size_t length, declaredImage& declared);
