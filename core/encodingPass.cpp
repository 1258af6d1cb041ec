#include "core/encodingPass.h"

#include "core/noise.h"
#include "core/noiseBuffer.h"
#include "core/rgbTexels.h"
#include "safeload/decodeAhead.h"
#include "texture/soilTexture.h"

#include <GL/freeglut.h>

#include <cstdio>
#include <utility>

namespace {

// The filters are set through the float form of the call.
constexpr GLfloat nearestFilter = GL_NEAREST;

// One corner of the quad: the position, then the texture coordinate and the
// a_param attribute, issued in this order.
struct quadCallGroup {
    GLfloat x, y, z;
    GLfloat s, t;
    GLfloat parameter[3];
};

constexpr quadCallGroup quadCallGroups[4] = {
    {-1, -1, 0, 1, 1, {1, 6, 3}},
    {1, -1, 0, 1, 0, {15, 7, 8}},
    {1, 1, 0, 0, 0, {4, 3, 12}},
    {-1, 1, 0, 0, 1, {11, 2, 9}},
};

// In immediate mode the position call emits the vertex with the texture
// coordinate and attribute current at that moment, so each group's texture
// coordinate and a_param belong to the next vertex, and the last group's to
// the first vertex of the next frame. The captured frame depends on this order.
void drawQuad(GLint parameterLocation)
{
    glBegin(GL_QUADS);
    for (const quadCallGroup& group : quadCallGroups) {
        glVertex3f(group.x, group.y, group.z);
        glTexCoord2f(group.s, group.t);
        if (glVertexAttrib3f)
            glVertexAttrib3f(static_cast<GLuint>(parameterLocation), group.parameter[0], group.parameter[1],
                             group.parameter[2]);
    }
    glEnd();
}

GLint parameterLocationOf(vexo::glShader* program)
{
    if (program && glGetAttribLocation)
        return glGetAttribLocation(program->programHandle, "a_param");
    return 0;
}

void drawQuadWithProgram(vexo::glShader* program)
{
    const GLint parameterLocation = parameterLocationOf(program);
    drawQuad(parameterLocation);
    glColor4f(1, 1, 1, 1);
    if (program)
        program->unbind();
}

GLuint uploadNoise(const noiseBuffer& noise, noiseTextureFailure& failure, std::string& reason)
{
    failure = noiseTextureFailure::none;
    if (!noise.bytes) {
        char text[128];
        std::snprintf(text, sizeof text, "no memory for the %zu-byte noise buffer", noise.byteCount);
        reason = text;
        failure = noiseTextureFailure::noMemory;
        return 0;
    }
    const GLuint texture = createTextureAsSoilDoes(noise.bytes.get(), static_cast<int>(noise.width),
                                                   static_cast<int>(noise.height), rgbChannels, reason);
    if (texture == 0)
        failure = noiseTextureFailure::noTexture;
    return texture;
}

} // namespace

// The noise made ahead of the image for one size: its texture, or why it
// could not be made.
struct noiseTextureAhead {
    noiseTextureAhead() = default;
    noiseTextureAhead(const noiseTextureAhead&) = delete;
    noiseTextureAhead& operator=(const noiseTextureAhead&) = delete;
    ~noiseTextureAhead()
    {
        if (texture)
            glDeleteTextures(1, &texture);
    }

    unsigned int width = 0;
    unsigned int height = 0;
    GLuint texture = 0;
    noiseTextureFailure failure = noiseTextureFailure::none;
    std::string reason;
};

noiseMadeAhead::noiseMadeAhead() = default;
noiseMadeAhead::noiseMadeAhead(noiseMadeAhead&&) noexcept = default;
noiseMadeAhead& noiseMadeAhead::operator=(noiseMadeAhead&&) noexcept = default;
noiseMadeAhead::~noiseMadeAhead() = default;

noiseMadeAhead::noiseMadeAhead(std::unique_ptr<noiseTextureAhead> made) : made(std::move(made)) {}

bool noiseMadeAhead::takeFor(unsigned int width, unsigned int height, GLuint& texture, noiseTextureFailure& failure,
                             std::string& reason)
{
    const std::unique_ptr<noiseTextureAhead> ahead = std::move(made);
    if (!ahead || ahead->width != width || ahead->height != height)
        return false;
    texture = std::exchange(ahead->texture, 0);
    failure = ahead->failure;
    reason = std::move(ahead->reason);
    return true;
}

void prepareEncodingState()
{
    glShadeModel(GL_FLAT);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_TEXTURE_2D);
    // The image, noise and screenshot buffers are packed at 3 bytes a texel.
    // At OpenGL's default row alignment of 4, rows of a 1- or 2-texel wide
    // texture (or an odd DDS width) are read and written past those buffers.
    // Alignment 1 matches them and leaves every other layout unchanged.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
}

void selectTextureUnit(GLenum unit)
{
    if (glActiveTexture)
        glActiveTexture(unit);
}

void bindWithNearestFilters(GLuint texture)
{
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, nearestFilter);
    glTexParameterf(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, nearestFilter);
}

textureSize sizeWindowToTexture()
{
    GLfloat width = 0;
    GLfloat height = 0;
    glGetTexLevelParameterfv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameterfv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    const textureSize size{static_cast<unsigned int>(width), static_cast<unsigned int>(height)};

    const float widthF = static_cast<float>(size.width);
    const float heightF = static_cast<float>(size.height);
    glutReshapeWindow(static_cast<int>(widthF + widthF * windowGrowth),
                      static_cast<int>(heightF + heightF * windowGrowth));
    glViewport(0, 0, static_cast<GLsizei>(size.width), static_cast<GLsizei>(size.height));
    return size;
}

GLuint createNoiseTexture(unsigned int width, unsigned int height, std::uint32_t seed, noiseTextureFailure& failure,
                          std::string& reason)
{
    return uploadNoise(makeNoiseBuffer(width, height, seed), failure, reason);
}

GLuint createClockSeededNoiseTexture(unsigned int width, unsigned int height, noiseMadeAhead madeAhead,
                                     noiseTextureFailure& failure, std::string& reason)
{
    GLuint texture = 0;
    if (madeAhead.takeFor(width, height, texture, failure, reason)) {
        if (texture)
            glBindTexture(GL_TEXTURE_2D, texture);
        return texture;
    }
    return uploadNoise(makeNoiseBuffer(width, height, noiseSeedFromClock()), failure, reason);
}

noiseMadeAhead makeNoiseTextureAheadOfImage(const imageDecodeAhead& imageDecode)
{
    std::uint32_t width = 0, height = 0;
    if (!imageDecode.guessTextureSize(width, height))
        return noiseMadeAhead();
    auto made = std::make_unique<noiseTextureAhead>();
    made->width = width;
    made->height = height;
    made->texture = createNoiseTexture(width, height, noiseSeedFromClock(), made->failure, made->reason);
    if (made->texture && !textureHasSize(made->texture, int(width), int(height)))
        return noiseMadeAhead();
    return noiseMadeAhead(std::move(made));
}

void drawEncodingFrame(vexo::glShader* program, GLuint imageTexture, GLuint noiseTexture)
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    selectTextureUnit(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, imageTexture);
    selectTextureUnit(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, noiseTexture);
    if (program) {
        program->bind();
        program->setUniformInt("u_texture", 0, -1);
        program->setUniformInt("u_gamma", 1, -1);
    }
    drawQuadWithProgram(program);
}

void drawQuadOnly(vexo::glShader* program)
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    if (program)
        program->bind();
    drawQuadWithProgram(program);
}
