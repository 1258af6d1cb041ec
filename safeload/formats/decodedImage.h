#pragma once

#include <cstdint>

// What the format decoders share. Each follows imageDecodeFunction's contract
// (safeload/imageSandbox.h): pixels from malloc, top row first, 8 bits a
// sample and the image's own channels (grey 1, grey and alpha 2, RGB 3, RGBA
// 4; palettes expanded, with alpha when they have transparency), or null with
// a reason that stays valid until the next decode. They run in the sandboxed
// child under its system-call filter: nothing in them opens files, starts
// threads (but the HEIF decoder, which has a child of its own) or throws.

// The most pixel bytes a decoder may allocate: the sandboxed child sets its
// shared area's capacity before it decodes, so that a decoder refuses an
// oversized image from its header instead of after allocating and decoding it.
void setDecodedImageByteLimit(uint64_t bytes);
uint64_t decodedImageByteLimit();

// The reason every decoder gives when an allocation fails: SOIL's own text,
// which the sandbox turns into its out-of-memory outcome, so that a file too
// large for the memory left is told from a damaged one.
inline constexpr const char* outOfMemoryReason = "Out of memory";

// width x height x channels bytes from malloc, or null and a reason when a
// side is 0 or the image is beyond the limit.
unsigned char* allocateImage(uint64_t width, uint64_t height, int channels, const char** failureReason);

// A reason of the decoder's own making, formatted into static storage, on one
// line whatever line breaks a library's message brings.
const char* decodeFailure(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A 16-bit sample as 8 bits, rounded down as ImageMagick's -depth 8 does.
inline unsigned char sampleFromSixteenBits(unsigned value)
{
    return static_cast<unsigned char>(value / 257);
}

// The red, green or blue that an ink leaves with black (both stored as
// coverage, 255 for full): what neither covers of white, rounded as
// ImageMagick rounds it.
inline unsigned char rgbFromInks(unsigned ink, unsigned black)
{
    return static_cast<unsigned char>(((255u - ink) * (255u - black) + 127u) / 255u);
}

// Moves the rows of an image into the opposite order, in place.
void flipRows(unsigned char* pixels, int width, int height, int channels);
