#include "core/capturePass.h"

#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace {

// Mesa keeps a window's back buffer at its old size until a swap, so without
// one the captured frame would only be right in the 800 x 600 corner the
// window was created with. The first frame is never saved; swapping it lets
// the second frame's back buffer follow the resize. After a failed setup step
// the window is already closing and GLUT has no current window to swap.
void swapWarmUpFrame(int windowId)
{
    if (glutGetWindow() == windowId)
        glutSwapBuffers();
}

} // namespace

void startPassSetup(int& frameCount)
{
    frameCount = warmUpFrame;
    prepareEncodingState();
    glClearColor(0, 0, 0, 0);
}

textureSize bindImageAndSizeWindow(GLuint imageTexture)
{
    selectTextureUnit(GL_TEXTURE0);
    bindWithNearestFilters(imageTexture);
    return sizeWindowToTexture();
}

// The noise texture was made, as SOIL makes textures, on the active unit and
// left bound there, which may be unit 0: each frame binds both units again
// before it draws.
void bindNoiseTexture(GLuint noiseTexture)
{
    selectTextureUnit(GL_TEXTURE1);
    bindWithNearestFilters(noiseTexture);
}

void runPassFrame(vexo::glutWindow& window, int& frameCount, const std::function<void()>& drawWarmUp,
                  const std::function<void()>& capture)
{
    if (frameCount == warmUpFrame) {
        drawWarmUp();
        swapWarmUpFrame(window.windowId);
    }
    if (frameCount == captureFrame) {
        capture();
        window.closeWindow();
    }
    ++frameCount;
}

// Standard output is flushed first, so that the failure comes after
// everything printed before it when both streams go to one file.
void runFailure::report(vexo::glutWindow& window, const std::string& whatFailed)
{
    std::cout.flush();
    std::fprintf(stderr, "%s: %s\n", programName, whatFailed.c_str());
    failed = true;
    window.closeWindow();
}

// GLUT ends the process with status 0 as soon as the last window is gone: the
// framework keeps GLUT's default action on closing (freeglut's
// GLUT_ACTION_GLUTMAINLOOP_RETURNS would change it for every program of the
// framework at once). This is the last moment before GLUT's own exit: the
// process ends now instead, with the window still queued for destruction,
// which the system does anyway as the process ends.
void runFailure::endProcessIfReported() const
{
    if (!failed)
        return;
    std::cout.flush();
    std::exit(EXIT_FAILURE);
}
