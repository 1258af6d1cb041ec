// A window that logs every event it receives, one line each, flushed at once:
//
//     <window id> <handler> <arguments...>
//
// Options:
//   --windows N            open N windows (default 1; 0 runs the loop with none)
//   --close-on-display N   a window closes itself in its Nth onDisplay
//   --close-twice          ... and asks to close a second time in the same call
//   --second-application   construct a second application object
// The key 'q' closes the window it is pressed in.

#include "vexo/framework/glApplication.h"
#include "vexo/framework/glutWindow.h"

#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

struct DemoOptions {
    int windowCount = 1;
    int closeOnDisplay = 0;
    bool closeTwice = false;
    bool secondApplication = false;
};

DemoOptions options;

void logLine(int windowId, const char* handler, std::initializer_list<int> arguments = {})
{
    std::cout << windowId << ' ' << handler;
    for (int argument : arguments)
        std::cout << ' ' << argument;
    std::cout << std::endl;
}

class loggingWindow : public vexo::glutWindow {
public:
    ~loggingWindow() override { logLine(windowId, "destroyed"); }

    void onIdle() override
    {
        if (!idleLogged)
            logLine(windowId, "onIdle");
        // GLUT polls the idle callback continuously; one line is enough to show it arrives.
        idleLogged = true;
    }
    void onDisplay() override
    {
        logLine(windowId, "onDisplay");
        ++displayCount;
        if (displayCount == options.closeOnDisplay) {
            closeWindow();
            if (options.closeTwice)
                closeWindow();
        }
    }
    void onReshape(int width, int height) override { logLine(windowId, "onReshape", {width, height}); }
    void onSetup() override { logLine(windowId, "onSetup"); }
    void onCloseRequest() override { logLine(windowId, "onCloseRequest"); }
    void onButtonDown(int button, int x, int y) override { logLine(windowId, "onButtonDown", {button, x, y}); }
    void onButtonUp(int button, int x, int y) override { logLine(windowId, "onButtonUp", {button, x, y}); }
    void onPointerMove(int x, int y) override { logLine(windowId, "onPointerMove", {x, y}); }
    void onLeftDrag(int x, int y) override { logLine(windowId, "onLeftDrag", {x, y}); }
    void onWheel(int wheel, int direction, int x, int y) override
    {
        logLine(windowId, "onWheel", {wheel, direction, x, y});
    }
    void onKeyDown(int specialKey, unsigned char key) override
    {
        logLine(windowId, "onKeyDown", {specialKey, key});
        if (key == 'q')
            closeWindow();
    }
    void onKeyUp(int specialKey, unsigned char key) override { logLine(windowId, "onKeyUp", {specialKey, key}); }

private:
    int displayCount = 0;
    bool idleLogged = false;
};

class loggingApplication : public vexo::glApplication {
public:
    void onStart() override { std::cout << "onStart" << std::endl; }
    void onShutdown() override { std::cout << "onShutdown" << std::endl; }
};

bool parseOptions(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--windows") == 0 && hasValue)
            options.windowCount = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--close-on-display") == 0 && hasValue)
            options.closeOnDisplay = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--close-twice") == 0)
            options.closeTwice = true;
        else if (std::strcmp(argv[i], "--second-application") == 0)
            options.secondApplication = true;
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (!parseOptions(argc, argv)) {
        std::cerr << "usage: vexo-demo [--windows N] [--close-on-display N] [--close-twice]"
                     " [--second-application]\n";
        return 2;
    }
    auto* application = new loggingApplication;
    if (options.secondApplication)
        new loggingApplication;
    for (int i = 0; i < options.windowCount; ++i)
        new loggingWindow;
    application->run();
    delete application;
    return 0;
}
