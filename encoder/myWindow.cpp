#include "encoder/myWindow.h"

#include "core/atomicOutput.h"
#include "core/encodingPass.h"
#include "core/noise.h"
#include "core/outputPath.h"
#include "safeload/safeImageLoad.h"
#include "core/shaderBlobs.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

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
    prepareEncodingState();
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
    const textureSize size = sizeWindowToTexture();
    textureWidth = size.width;
    textureHeight = size.height;
    noiseTexture = makeNoiseTexture();
    selectTextureUnit(GL_TEXTURE1);
    bindWithNearestFilters(noiseTexture);
}

GLuint myWindow::loadImageTexture(const char* imagePath)
{
    std::string reason;
    const GLuint texture = loadImageTextureSafely(imagePath, reason);
    if (texture == 0)
        copyText(failureReason, sizeof failureReason, reason.c_str());
    return texture;
}

GLuint myWindow::makeNoiseTexture()
{
    noiseTextureFailure failure = noiseTextureFailure::none;
    std::string reason;
    // SOIL binds the new texture on the active unit, still unit 0 here.
    const GLuint texture = createNoiseTexture(textureWidth, textureHeight, noiseSeedFromClock(), failure, reason);
    if (failure == noiseTextureFailure::noMemory)
        failOutput(reason.c_str());
    if (failure == noiseTextureFailure::noTexture) {
        glDisable(GL_TEXTURE_2D);
        std::cout << "Something is wrong..." << std::endl;
        std::cout << "Texture loading failed: '" << reason << "'" << std::endl;
        failOutput(("the noise texture could not be made (" + reason + ")").c_str());
    }
    return texture;
}

void myWindow::onDisplay()
{
    drawEncodingFrame(program, imageTexture, noiseTexture);
    if (frameCount == warmUpFrame)
        swapWarmUpFrame(windowId);
    if (frameCount == captureFrame) {
        if (!saveCapture())
            failOutput(failureReason);
        closeWindow();
    }
    ++frameCount;
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
