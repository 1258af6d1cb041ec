#pragma once

#include "safeload/imageSandbox.h"

#include <SOIL/SOIL.h>

#include <cstdint>
#include <string>
#include <vector>

// Makes the image texture as SOIL_load_OGL_texture(path, SOIL_LOAD_AUTO,
// SOIL_CREATE_NEW_ID, SOIL_FLAG_POWER_OF_TWO | SOIL_FLAG_DDS_LOAD_DIRECT) does
// for a valid image, but reads a regular file only, once, and decodes its
// untrusted bytes in a sandboxed child process (imageSandbox.h) with the
// decoder its format needs (formats/imageFormats.h), so that it also reads the
// formats SOIL does not. A DDS file that SOIL would upload directly is uploaded
// directly, after its header has been checked against its length
// (ddsHeader.h). Returns the texture name, bound to GL_TEXTURE_2D, or 0 with a
// one-line reason: SOIL's text, a decoder's, or one of ours such as "not a
// regular file", "image decoder crashed (signal 11)", "image decoder timed
// out" or "image decoder ran out of memory". Needs a current OpenGL context;
// the name is a GLuint.
unsigned int loadImageTextureSafely(const char* path, std::string& failureReason);

// The same for an image whose decode was started ahead of the load
// (decodeAhead.h), of the same path: the loader takes that decode over and
// waits for it instead of reading and decoding the file itself.
class imageDecodeAhead;
unsigned int loadImageTextureSafely(const char* path, imageDecodeAhead decodeAhead, std::string& failureReason);

// The flags the image texture is made with, as SOIL_load_OGL_texture takes them.
inline constexpr unsigned int imageTextureFlags = SOIL_FLAG_POWER_OF_TWO | SOIL_FLAG_DDS_LOAD_DIRECT;

// The largest texture a load makes: the driver's largest side, and an area
// that bounds the memory a program takes for its image (textureArea.h).
struct textureBounds {
    uint32_t side = 0;
    uint64_t area = 0;
};

// The bounds for a driver whose largest side is maxTextureSize, or false with
// a reason when PIXVEIL_AREA_LIMIT is set but is no whole number above 0.
bool findTextureBounds(int maxTextureSize, textureBounds& bounds, std::string& problem);

// The texture an image of these sides is drawn into: each side raised to a power of two.
uint64_t textureAreaFor(uint32_t width, uint32_t height);

// Whether that texture is within the bounds: each side within the driver's
// largest, and its area within the limit.
bool textureFits(uint32_t width, uint32_t height, const textureBounds& bounds);

// Decodes a file's bytes in the sandbox with the decoder its first bytes choose
// and the limits for its size; a format that is refused gives a failed decode
// with the refusal as its reason. startImageBytesDecode is its first half
// (startDecodeInSandbox).
sandboxDecodeResult decodeImageBytes(const std::vector<unsigned char>& bytes, const textureBounds& bounds);
startedSandboxDecode startImageBytesDecode(const std::vector<unsigned char>& bytes, const textureBounds& bounds);

// The steps of a load before the decode, for decodeAhead.h: reading the file
// (false when it cannot be opened, is not a regular file or is larger than any
// image file for the largest texture), and whether SOIL may upload it as a DDS
// file without decoding it.
bool readImageFile(const char* path, const textureBounds& bounds, std::vector<unsigned char>& bytes);
bool mayBeUploadedAsDds(const std::vector<unsigned char>& bytes, const textureBounds& bounds);

// Whether a texture can be made from decoded sizes as the decoder child
// reported them: decodedSizeFits, each side's next power of two no larger
// than the driver's largest texture, and their product within the area.
bool decodedSizeIsUsable(int width, int height, int channels, uint64_t pixelCapacity, const textureBounds& bounds);

// SOIL's power-of-two up-scaling leaves its output unwritten when one side is
// 1 texel and the other is not a power of two. For such an image this returns
// the stretch SOIL's bilinear up-scaling gives wider images, along the long
// side to its next power of two; for any other image it returns nothing.
bool needsSingleTexelStretch(int width, int height);
std::vector<unsigned char> stretchSingleTexelLine(const unsigned char* pixels, int width, int height,
    int channels, int& stretchedWidth, int& stretchedHeight);

uint32_t nextPowerOfTwo(uint32_t value);
bool isPowerOfTwo(int side);

// The driver's largest texture side; needs a current context.
int maximumTextureSize();
