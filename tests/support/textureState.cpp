#include "tests/support/textureState.h"

#include <GL/gl.h>

#include <cstddef>

bool textureState::operator==(const textureState& other) const
{
    return width == other.width && height == other.height && internalFormat == other.internalFormat
        && minFilter == other.minFilter && magFilter == other.magFilter && wrapS == other.wrapS
        && wrapT == other.wrapT && texels == other.texels;
}

textureState readTexture(unsigned int texture, unsigned int format, int channels)
{
    textureState state;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &state.boundTexture);
    glBindTexture(GL_TEXTURE_2D, texture);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &state.width);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &state.height);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &state.internalFormat);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, &state.minFilter);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, &state.magFilter);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, &state.wrapS);
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, &state.wrapT);
    state.texels.resize(std::size_t(state.width) * state.height * channels);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glGetTexImage(GL_TEXTURE_2D, 0, format, GL_UNSIGNED_BYTE, state.texels.data());
    return state;
}

textureState readTexture(unsigned int texture)
{
    return readTexture(texture, GL_RGBA, 4);
}
