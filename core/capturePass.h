#pragma once

#include "core/encodingPass.h"

#include "vexo/framework/glutWindow.h"

#include <functional>
#include <string>

// The steps both programs' windows take around the encoding pass, in the order
// that decides the captured pixels: a setup that sets the pass's GL state,
// binds the image on unit 0 and sizes the window to it; the noise on unit 1;
// then two displays, a warm-up frame that is swapped but never captured and
// the captured frame, after which the window closes.

// Starts a window's setup: the frame count back to the warm-up frame, the
// pass's GL state (prepareEncodingState) and a black clear colour.
void startPassSetup(int& frameCount);

// Binds the image on unit 0 with nearest filters and sizes the window and its
// viewport to it (sizeWindowToTexture). Returns the texture's size.
textureSize bindImageAndSizeWindow(GLuint imageTexture);

// Binds the noise texture (createNoiseTexture) on unit 1 with nearest filters.
void bindNoiseTexture(GLuint noiseTexture);

inline constexpr int warmUpFrame = 0;
inline constexpr int captureFrame = 1;

// One display of `window`, whose number `frameCount` it then counts up: the
// warm-up frame is drawn by `drawWarmUp` and swapped; the capture frame is
// handled by `capture`, then the window closes. Later displays only count.
void runPassFrame(vexo::glutWindow& window, int& frameCount, const std::function<void()>& drawWarmUp,
                  const std::function<void()>& capture);

// How a window's run fails: one line on standard error, "<program>: <what
// failed>", the window closes, and the process ends with status 1 instead of
// the 0 GLUT gives when its last window has gone.
class runFailure {
public:
    explicit runFailure(const char* programName) : programName(programName) {}

    void report(vexo::glutWindow& window, const std::string& whatFailed);
    bool reported() const { return failed; }
    // Called from the window's onCloseRequest: ends the process with status 1
    // after a reported failure, and returns otherwise.
    void endProcessIfReported() const;

private:
    const char* programName;
    bool failed = false;
};
