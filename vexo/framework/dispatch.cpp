#include "vexo/framework/dispatch.h"

#include "vexo/framework/glutWindow.h"
#include "vexo/framework/registry.h"

#include <GL/freeglut.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <exception>

namespace vexo {

namespace {

[[noreturn]] void endAfterFailedHandler(const char* reason)
{
    std::fprintf(stderr, "%s: a window handler failed: %s\n", program_invocation_short_name, reason);
    std::exit(EXIT_FAILURE);
}

// No exception may cross into GLUT's C code, where it would end the process
// through std::terminate without a word of what failed: one that leaves a
// handler ends the program here, with its reason and a failure status.
// std::exit still runs the clean-up registered with atexit.
template <typename Body>
void withoutEscapingExceptions(const Body& body)
{
    try {
        body();
    } catch (const std::exception& error) {
        endAfterFailedHandler(error.what());
    } catch (...) {
        endAfterFailedHandler("an exception of unknown type");
    }
}

constexpr int leftButton = 0;
constexpr int buttonPressed = 0;

// Calls `handle` on every registered window whose id GLUT names as current.
// The id is read once, before the walk, so a handler that changes GLUT's
// current window does not redirect the rest of the walk. A handler may
// construct windows: they are appended to the list, and the walk reaches them.
template <typename Handler>
void forEachCurrentWindow(Handler handle)
{
    withoutEscapingExceptions([&] {
        const int currentId = glutGetWindow();
        for (glutWindow* window : windowRegistry) {
            if (window->windowId == currentId)
                handle(window);
        }
    });
}

} // namespace

// Every registered window not yet set up gets its one onSetup here, in
// registry order, whether or not this event is its own; the displayed window
// is never displayed before it is set up.
void dispatchDisplay()
{
    withoutEscapingExceptions([] {
        const int currentId = glutGetWindow();
        for (glutWindow* window : windowRegistry) {
            if (!window->setupDone) {
                window->onSetup();
                window->setupDone = true;
            }
            if (window->windowId == currentId)
                window->onDisplay();
        }
    });
}

void dispatchReshape(int width, int height)
{
    forEachCurrentWindow([&](glutWindow* window) { window->onReshape(width, height); });
}

void dispatchMouse(int button, int state, int x, int y)
{
    forEachCurrentWindow([&](glutWindow* window) {
        const bool pressed = state == buttonPressed;
        if (button == leftButton)
            leftButtonDown = pressed;
        if (pressed)
            window->onButtonDown(button, x, y);
        else
            window->onButtonUp(button, x, y);
    });
}

void dispatchMotion(int x, int y)
{
    forEachCurrentWindow([&](glutWindow* window) {
        if (leftButtonDown)
            window->onLeftDrag(x, y);
        window->onPointerMove(x, y);
    });
}

void dispatchWheel(int wheel, int direction, int x, int y)
{
    forEachCurrentWindow([&](glutWindow* window) { window->onWheel(wheel, direction, x, y); });
}

// The one place that deletes window objects. GLUT's context is still current
// here, so a destructor may release OpenGL objects.
void dispatchClose()
{
    withoutEscapingExceptions([] {
        const int currentId = glutGetWindow();
        for (glutWindow* window : windowRegistry) {
            if (window->windowId != currentId)
                continue;
            window->onCloseRequest();
            delete window;
            windowsClosing.erase(currentId);
            return;
        }
    });
}

void dispatchKeyboard(unsigned char key, int, int)
{
    forEachCurrentWindow([&](glutWindow* window) { window->onKeyDown(0, key); });
}

void dispatchSpecial(int key, int, int)
{
    forEachCurrentWindow([&](glutWindow* window) { window->onKeyDown(key, 0); });
}

void dispatchKeyboardUp(unsigned char key, int, int)
{
    forEachCurrentWindow([&](glutWindow* window) { window->onKeyUp(0, key); });
}

void dispatchSpecialUp(int key, int, int)
{
    forEachCurrentWindow([&](glutWindow* window) { window->onKeyUp(key, 0); });
}

void dispatchIdle()
{
    forEachCurrentWindow([](glutWindow* window) { window->onIdle(); });
}

} // namespace vexo
