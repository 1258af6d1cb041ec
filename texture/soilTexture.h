#pragma once

#include <SOIL/SOIL.h>

#include <string>

// The flags the image texture is made with, as SOIL_load_OGL_texture takes them.
inline constexpr unsigned int imageTextureFlags = SOIL_FLAG_POWER_OF_TWO | SOIL_FLAG_DDS_LOAD_DIRECT;

// Makes the texture that SOIL_create_OGL_texture(pixels, width, height,
// channels, SOIL_CREATE_NEW_ID, SOIL_FLAG_POWER_OF_TWO |
// SOIL_FLAG_DDS_LOAD_DIRECT) makes, bound on the active unit with SOIL's
// linear filters and clamping, from the rows at the current unpack alignment.
// An image whose sides are powers of two within the driver's largest texture
// goes straight to glTexImage2D: SOIL would copy it first and change nothing.
// Any other is up-scaled by SOIL itself. Returns the texture name, or 0 with
// SOIL's reason. Needs a current OpenGL context; the name is a GLuint.
unsigned int createTextureAsSoilDoes(const unsigned char* pixels, int width, int height, int channels,
    std::string& failureReason);

// The texture createTextureAsSoilDoes makes of an image of these sizes whose
// sides are powers of two within the driver's largest texture, with its
// storage but not yet its texels, bound on the active unit; 0 for any other
// image, and when OpenGL did not store it. Made while the image decodes, it
// takes the storage's first-touch cost (most of an upload) off the load.
unsigned int createTextureStorageAsSoilDoes(int width, int height, int channels);

// Gives such a texture the image's texels, from rows at the current unpack
// alignment; it is then the texture createTextureAsSoilDoes makes of them.
void fillTextureAsSoilDoes(unsigned int texture, const unsigned char* pixels, int width, int height, int channels);

// Binds `texture` on the active unit and says whether its level 0 has this
// size: OpenGL may not store what it was given (its memory ran out, say).
bool textureHasSize(unsigned int texture, int width, int height);
