#include "myWindow.h"

#include "atomicOutput.h"
#include "inflateRaw.h"
#include "noise.h"
#include "outputPath.h"
#include "safeImageLoad.h"
#include "shaderBlobs.h"

#include <GL/freeglut.h>
#include <SOIL/SOIL.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>

namespace {

constexpr GLfloat nearestFilter = 9728.0f; // GL_NEAREST, through the float form of the call.
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

void copyText(char* destination, std::size_t capacity, const char* text)
{
    std::snprintf(destination, capacity, "%s", text ? text : "");
}

} // namespace

myWindow::myWindow(const char* path)
    : shaderManager(),
      program(nullptr),
      imageTexture(0),
      noiseTexture(0),
      frameCount(0),
      textureWidth(0),
      textureHeight(0),
      fragmentSource{},
      vertexSource{},
      inputPath{},
      outputPath{},
      failureReason{},
      exitStatus(EXIT_SUCCESS)
{
    copyText(inputPath, sizeof inputPath, path);
    deriveOutputPath(path, outputPath);
}

myWindow::~myWindow() = default;

void myWindow::onSetup()
{
    frameCount = 0;
    glShadeModel(GL_FLAT);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_TEXTURE_2D);
    // The image, noise and screenshot buffers are packed at 3 bytes a texel.
    // At OpenGL's default row alignment of 4, rows of a 1- or 2-texel wide
    // texture (or an odd DDS width) are read and written past those buffers.
    // Alignment 1 matches them and leaves every other layout unchanged.
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    prepareEncoding(vertexShaderBlob, fragmentShaderBlob, inputPath);
}

// A failing step prints its message, closes the window and carries on: a
// failure before the resize then ends the process through GLUT's fatal error
// for a resize without a current window.
void myWindow::prepareEncoding(const unsigned char* vertexBlob, const unsigned char* fragmentBlob,
                               const char* imagePath)
{
    glClearColor(0, 0, 0, 0);
    if (!inflateShaderText(fragmentSource, fragmentBlob, fragmentShaderBlobLength)) {
        std::cout << "Oops! Buffer corrupted!\n";
        closeWindow();
    }
    if (!inflateShaderText(vertexSource, vertexBlob, vertexShaderBlobLength)) {
        std::cout << "Oops! Buffer corrupted!\n";
        closeWindow();
    }
    program = shaderManager.loadFromMemory(vertexSource, fragmentSource);
    if (!program) {
        std::cout << "Hmm... it seems that your computer is a piece of crap! Buy a new one!\n";
        closeWindow();
    }
    imageTexture = loadImageTexture(imagePath);
    if (imageTexture == 0) {
        glDisable(GL_TEXTURE_2D);
        std::cout << "Something is wrong with your image..." << std::endl;
        std::cout << "Texture loading failed: '" << failureReason << "'" << std::endl;
        closeWindow();
    }
    selectTextureUnit(GL_TEXTURE0);
    bindWithNearestFilters(imageTexture);
    sizeWindowToTexture();
    noiseTexture = makeNoiseTexture();
    selectTextureUnit(GL_TEXTURE1);
    bindWithNearestFilters(noiseTexture);
}

bool myWindow::inflateShaderText(char (&text)[shaderTextCapacity], const unsigned char* blob,
                                 std::size_t blobLength)
{
    std::memset(text, 0, sizeof text);
    uLongf length = sizeof text;
    return inflateRaw(reinterpret_cast<Bytef*>(text), &length, blob, static_cast<uLong>(blobLength)) == 0;
}

GLuint myWindow::loadImageTexture(const char* imagePath)
{
    std::string reason;
    const GLuint texture = loadImageTextureSafely(imagePath, reason);
    if (texture == 0)
        copyText(failureReason, sizeof failureReason, reason.c_str());
    return texture;
}

// Reads the bound texture's level-0 size and asks GLUT for a window 3 % larger;
// the viewport covers exactly the texture-sized lower-left corner of it.
void myWindow::sizeWindowToTexture()
{
    GLfloat width = 0;
    GLfloat height = 0;
    glGetTexLevelParameterfv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &width);
    glGetTexLevelParameterfv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &height);
    textureWidth = static_cast<unsigned int>(width);
    textureHeight = static_cast<unsigned int>(height);

    const float widthF = static_cast<float>(textureWidth);
    const float heightF = static_cast<float>(textureHeight);
    glutReshapeWindow(static_cast<int>(widthF + widthF * windowGrowth),
                      static_cast<int>(heightF + heightF * windowGrowth));
    glViewport(0, 0, static_cast<GLsizei>(textureWidth), static_cast<GLsizei>(textureHeight));
}

GLuint myWindow::makeNoiseTexture()
{
    const std::size_t byteCount = std::size_t{textureWidth} * textureHeight * rgbChannels;
    std::unique_ptr<unsigned char, decltype(&std::free)> noise(
        static_cast<unsigned char*>(std::malloc(byteCount > 0 ? byteCount : 1)), &std::free);
    if (!noise) {
        char reason[128];
        std::snprintf(reason, sizeof reason, "no memory for the %zu-byte noise buffer", byteCount);
        failOutput(reason);
        return 0;
    }
    fillNoise(noise.get(), byteCount, noiseSeedFromClock());

    // SOIL binds the new texture on the active unit, still unit 0 here.
    const GLuint texture = SOIL_create_OGL_texture(noise.get(), static_cast<int>(textureWidth),
                                                   static_cast<int>(textureHeight), rgbChannels,
                                                   SOIL_CREATE_NEW_ID, textureLoadFlags);
    if (texture == 0) {
        const char* soilReason = SOIL_last_result();
        glDisable(GL_TEXTURE_2D);
        std::cout << "Something is wrong..." << std::endl;
        std::cout << "Texture loading failed: '" << soilReason << "'" << std::endl;
        char reason[sizeof failureReason];
        std::snprintf(reason, sizeof reason, "the noise texture could not be made (%s)", soilReason);
        failOutput(reason);
    }
    return texture;
}

void myWindow::onDisplay()
{
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    selectTextureUnit(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, imageTexture);
    selectTextureUnit(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, noiseTexture);

    GLint parameterLocation = 0;
    if (program) {
        program->bind();
        program->setUniformInt("u_texture", 0, -1);
        program->setUniformInt("u_gamma", 1, -1);
        if (glGetAttribLocation)
            parameterLocation = glGetAttribLocation(program->programHandle, "a_param");
    }
    drawQuad(parameterLocation);
    glColor4f(1, 1, 1, 1);
    if (program)
        program->unbind();

    if (frameCount == 0 && glutGetWindow() == windowId) {
        // Mesa keeps a window's back buffer at its old size until a swap, so
        // without one the captured frame would only be right in the 800 x 600
        // corner the window was created with. The first frame is never saved;
        // swapping it lets the second frame's back buffer follow the resize.
        // After a failed setup step the window is already closing and GLUT
        // has no current window to swap.
        glutSwapBuffers();
    }
    if (frameCount == 1) {
        if (!saveCapture())
            failOutput(failureReason);
        closeWindow();
    }
    ++frameCount;
}

// In immediate mode the position call emits the vertex with the texture
// coordinate and attribute current at that moment, so each group's texture
// coordinate and a_param belong to the next vertex, and the last group's to
// the first vertex of the next frame. The captured frame depends on this order.
void myWindow::drawQuad(GLint parameterLocation)
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

// SOIL reads the lower-left texture-sized region from the back buffer into a
// temporary file, which replaces the output only once it is complete, so a
// failed or interrupted save leaves an earlier output as it was.
bool myWindow::saveCapture()
{
    std::string reason;
    if (saveCaptureAtomically(outputPath, static_cast<int>(textureWidth), static_cast<int>(textureHeight), reason))
        return true;
    copyText(failureReason, sizeof failureReason, reason.c_str());
    return false;
}

void myWindow::failOutput(const char* reason)
{
    std::fprintf(stderr, "pixveil: %s was not written: %s\n", outputPath, reason);
    exitStatus = EXIT_FAILURE;
    closeWindow();
}

// GLUT ends the process with status 0 as soon as this, its last window, is
// gone, and offers no way to change that status. A failed output is recorded
// in exitStatus and turned into the exit status here, the last moment before
// GLUT's own exit: the process ends now instead, with the window still
// queued for destruction, which the system does anyway as the process ends.
void myWindow::onCloseRequest()
{
    if (exitStatus == EXIT_SUCCESS)
        return;
    std::cout.flush();
    std::exit(exitStatus);
}
