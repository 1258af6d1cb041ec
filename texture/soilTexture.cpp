#include "texture/soilTexture.h"

#include "texture/textureBounds.h"

#include <GL/gl.h>
#include <SOIL/SOIL.h>

namespace {

// SOIL's own text for the one failure of its upload that it reports.
constexpr const char* noTextureName = "Failed to generate an OpenGL texture name; missing OpenGL context?";

bool soilWouldUploadAsItIs(int width, int height, int channels)
{
    const GLint maxSize = maximumTextureSize();
    return channels >= 1 && channels <= 4 && isPowerOfTwo(width) && isPowerOfTwo(height) && width <= maxSize
        && height <= maxSize;
}

// SOIL's pixel format for a channel count, used for the internal format too.
GLenum soilFormatOf(int channels)
{
    constexpr GLenum formats[] = {GL_LUMINANCE, GL_LUMINANCE_ALPHA, GL_RGB, GL_RGBA};
    return formats[channels - 1];
}

void setSoilParameters()
{
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP);
}

// SOIL_last_result can be null; a null pointer streamed into std::cout would
// silence all later output.
std::string soilReason()
{
    const char* text = SOIL_last_result();
    return text ? text : "SOIL gave no reason";
}

// A new texture as SOIL makes one that needs no resizing, with `pixels` (or,
// when null, only the storage for them); 0 without a texture name.
GLuint makeTextureAsSoilDoes(const unsigned char* pixels, int width, int height, int channels)
{
    GLuint texture = 0;
    glGenTextures(1, &texture);
    if (!texture)
        return 0;
    const GLenum format = soilFormatOf(channels);
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GLint(format), width, height, 0, format, GL_UNSIGNED_BYTE, pixels);
    setSoilParameters();
    return texture;
}

} // namespace

unsigned int createTextureAsSoilDoes(const unsigned char* pixels, int width, int height, int channels,
    std::string& failureReason)
{
    if (!soilWouldUploadAsItIs(width, height, channels)) {
        const GLuint texture =
            SOIL_create_OGL_texture(pixels, width, height, channels, SOIL_CREATE_NEW_ID, imageTextureFlags);
        if (!texture)
            failureReason = soilReason();
        return texture;
    }
    const GLuint texture = makeTextureAsSoilDoes(pixels, width, height, channels);
    if (!texture)
        failureReason = noTextureName;
    return texture;
}

// A storage OpenGL could not make leaves an error behind, which is taken here
// so that no later check mistakes it for its own.
unsigned int createTextureStorageAsSoilDoes(int width, int height, int channels)
{
    if (!soilWouldUploadAsItIs(width, height, channels))
        return 0;
    GLuint texture = makeTextureAsSoilDoes(nullptr, width, height, channels);
    if (texture && !textureHasSize(texture, width, height)) {
        glDeleteTextures(1, &texture);
        while (glGetError() != GL_NO_ERROR) { }
        return 0;
    }
    return texture;
}

void fillTextureAsSoilDoes(unsigned int texture, const unsigned char* pixels, int width, int height, int channels)
{
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, soilFormatOf(channels), GL_UNSIGNED_BYTE, pixels);
}

bool textureHasSize(unsigned int texture, int width, int height)
{
    GLint storedWidth = 0, storedHeight = 0;
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &storedWidth);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &storedHeight);
    return storedWidth == width && storedHeight == height;
}
