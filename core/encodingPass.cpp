#include "core/encodingPass.h"

#include "core/noise.h"

#include <GL/freeglut.h>
#include <SOIL/SOIL.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The filters are set through the float form of the call.
constexpr GLfloat nearestFilter = GL_NEAREST;
// The image texture's flags, though SOIL resizes nothing here: the noise is
// made at the image texture's power-of-two size.
constexpr unsigned int noiseTextureFlags = SOIL_FLAG_POWER_OF_TWO | SOIL_FLAG_DDS_LOAD_DIRECT;
constexpr int rgbChannels = 3;

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

} // namespace

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
    failure = noiseTextureFailure::none;
    const std::size_t byteCount = std::size_t{width} * height * rgbChannels;
    std::unique_ptr<unsigned char, decltype(&std::free)> noise(
        static_cast<unsigned char*>(std::malloc(byteCount > 0 ? byteCount : 1)), &std::free);
    if (!noise) {
        char text[128];
        std::snprintf(text, sizeof text, "no memory for the %zu-byte noise buffer", byteCount);
        reason = text;
        failure = noiseTextureFailure::noMemory;
        return 0;
    }
    fillNoise(noise.get(), byteCount, seed);

    const GLuint texture = SOIL_create_OGL_texture(noise.get(), static_cast<int>(width), static_cast<int>(height),
                                                   rgbChannels, SOIL_CREATE_NEW_ID, noiseTextureFlags);
    if (texture == 0) {
        const char* soilReason = SOIL_last_result();
        reason = soilReason ? soilReason : "SOIL gave no reason";
        failure = noiseTextureFailure::noTexture;
    }
    return texture;
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
