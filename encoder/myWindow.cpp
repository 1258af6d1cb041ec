#include "encoder/myWindow.h"

#include "base/livesUntilExit.h"
#include "core/atomicOutput.h"
#include "core/outputPath.h"
#include "safeload/safeImageLoad.h"
#include "core/shaderBlobs.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <utility>

namespace {

void copyText(char* destination, std::size_t capacity, const char* text)
{
    std::snprintf(destination, capacity, "%s", text ? text : "");
}

} // namespace

bool openEncodingWindow(const char* path, const char* outputFolder)
{
    char outputPath[pathCapacity];
    std::string problem;
    if (!deriveOutputPath(path, outputPath, problem)
        || (outputFolder && !placeInFolder(outputPath, outputFolder, problem))) {
        std::fprintf(stderr, "pixveil: cannot name the output: %s\n", problem.c_str());
        return false;
    }
    new myWindow(path, outputPath);
    return true;
}

myWindow::myWindow(const char* path, const char* encodedPath)
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
      failure("pixveil"),
      decodeAhead(startImageDecode(path))
{
    copyText(inputPath, sizeof inputPath, path);
    copyText(outputPath, sizeof outputPath, encodedPath);
}

myWindow::~myWindow() = default;

void myWindow::onSetup()
{
    startPassSetup(frameCount);
    prepareEncoding(vertexShaderBlob, fragmentShaderBlob, inputPath);
}

// A failing step prints its message, closes the window and carries on: a
// failure before the resize then ends the process through GLUT's fatal error
// for a resize without a current window.
void myWindow::prepareEncoding(const unsigned char* vertexBlob, const unsigned char* fragmentBlob,
                               const char* imagePath)
{
    if (!inflateShaderText(fragmentSource, fragmentBlob, fragmentShaderBlobLength)) {
        std::cout << "Oops! Buffer corrupted!\n";
        closeWindow();
    }
    if (!inflateShaderText(vertexSource, vertexBlob, vertexShaderBlobLength)) {
        std::cout << "Oops! Buffer corrupted!\n";
        closeWindow();
    }
    program = shaderManager.loadFromMemory(vertexSource, fragmentSource);
    // The program is never deleted; it serves every frame until the end.
    if (program)
        livesUntilExit(program);
    if (!program) {
        std::cout << "Hmm... it seems that your computer is a piece of crap! Buy a new one!\n";
        closeWindow();
    }
    noiseMadeAhead noiseAhead = makeNoiseTextureAheadOfImage(decodeAhead);
    imageTexture = loadImageTexture(imagePath);
    if (imageTexture == 0) {
        glDisable(GL_TEXTURE_2D);
        std::cout << "Something is wrong with your image..." << std::endl;
        std::cout << "Texture loading failed: '" << failureReason << "'" << std::endl;
        closeWindow();
    }
    const textureSize size = bindImageAndSizeWindow(imageTexture);
    textureWidth = size.width;
    textureHeight = size.height;
    noiseTexture = makeNoiseTexture(std::move(noiseAhead));
    bindNoiseTexture(noiseTexture);
}

GLuint myWindow::loadImageTexture(const char* imagePath)
{
    std::string reason;
    const GLuint texture = loadImageTextureSafely(imagePath, std::move(decodeAhead), reason);
    if (texture == 0)
        copyText(failureReason, sizeof failureReason, reason.c_str());
    return texture;
}

GLuint myWindow::makeNoiseTexture(noiseMadeAhead noiseAhead)
{
    noiseTextureFailure noiseFailure = noiseTextureFailure::none;
    std::string reason;
    // The noise texture is made as SOIL makes textures, bound on the active
    // unit, still unit 0 here.
    const GLuint texture =
        createClockSeededNoiseTexture(textureWidth, textureHeight, std::move(noiseAhead), noiseFailure, reason);
    if (noiseFailure == noiseTextureFailure::noMemory)
        failOutput(reason.c_str());
    if (noiseFailure == noiseTextureFailure::noTexture) {
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
    runPassFrame(*this, frameCount, [] {}, [this] {
        if (!saveCapture())
            failOutput(failureReason);
    });
}

// The lower-left texture-sized region of the back buffer is read straight
// into the BMP layout and written to a temporary file, which replaces the
// output only once it is complete, so a failed or interrupted save leaves an
// earlier output as it was.
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
    failure.report(*this, std::string(outputPath) + " was not written: " + reason);
}

void myWindow::onCloseRequest()
{
    failure.endProcessIfReported();
}
