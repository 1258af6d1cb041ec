#pragma once

#include "safeload/imageSandbox.h"
#include "texture/textureBounds.h"

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
