#pragma once

// Reading a texture back from OpenGL, for tests that compare the textures two
// ways of loading give. Needs a current OpenGL context.

#include <vector>

struct textureState {
    int width = 0, height = 0, internalFormat = 0;
    int minFilter = 0, magFilter = 0, wrapS = 0, wrapT = 0;
    // The texture the active unit had bound before the read, which binds the
    // texture read.
    int boundTexture = 0;
    std::vector<unsigned char> texels;

    // Equal when the shader would sample the same: the binding is left out.
    bool operator==(const textureState& other) const;
};

// Level 0 of `texture` with its size, format and sampling parameters; the
// texels as `format` (a GLenum) with `channels` bytes a texel, rows packed
// tightly.
textureState readTexture(unsigned int texture, unsigned int format, int channels);
// The same as RGBA.
textureState readTexture(unsigned int texture);
