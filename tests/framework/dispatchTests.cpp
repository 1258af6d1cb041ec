// The framework's routing rules, driven through a scripted GLUT so that each
// test picks the current window and fires callbacks exactly: which window
// gets which event, when windows are set up, and how they are closed. How
// real input maps to handlers is tested against freeglut (demoTests.cpp).

#include "tests/framework/scriptedGlut.h"

#include "base/livesUntilExit.h"
#include "vexo/framework/glApplication.h"
#include "vexo/framework/glutWindow.h"
#include "vexo/framework/registry.h"
#include "vexo/reset/programState.h"
#include "vexo/source/glsl.h"

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;
Lines events;

class recordingWindow : public vexo::glutWindow {
public:
    explicit recordingWindow(std::string name) : name(std::move(name)) {}
    ~recordingWindow() override { record("destroyed"); }

    void onIdle() override { record("onIdle"); }
    void onDisplay() override { record("onDisplay"); }
    void onReshape(int width, int height) override { record("onReshape", {width, height}); }
    void onSetup() override { record("onSetup"); }
    void onCloseRequest() override { record("onCloseRequest"); }
    void onButtonDown(int button, int x, int y) override { record("onButtonDown", {button, x, y}); }
    void onButtonUp(int button, int x, int y) override { record("onButtonUp", {button, x, y}); }
    void onPointerMove(int x, int y) override { record("onPointerMove", {x, y}); }
    void onLeftDrag(int x, int y) override { record("onLeftDrag", {x, y}); }
    void onWheel(int wheel, int direction, int x, int y) override { record("onWheel", {wheel, direction, x, y}); }
    void onKeyDown(int specialKey, unsigned char key) override { record("onKeyDown", {specialKey, key}); }
    void onKeyUp(int specialKey, unsigned char key) override { record("onKeyUp", {specialKey, key}); }

private:
    void record(const char* handler, std::initializer_list<int> arguments = {})
    {
        std::string line = name + ' ' + handler;
        for (int argument : arguments)
            line += ' ' + std::to_string(argument);
        events.push_back(line);
    }

    std::string name;
};

// Windows still alive at the end of a test are deleted there, as GLUT would
// at shutdown, so that tests stay independent.
class Dispatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        events.clear();
        scriptedGlut::destroyedWindows.clear();
    }
    void TearDown() override
    {
        while (!vexo::windowRegistry.empty())
            delete vexo::windowRegistry.front();
        vexo::windowsClosing.clear();
    }

    // Fires `event` with window `current` as GLUT's current one and returns
    // the handler calls it caused.
    static Lines fire(int current, const std::function<void()>& event)
    {
        events.clear();
        scriptedGlut::currentWindow = current;
        event();
        return events;
    }
    static const scriptedGlut::Callbacks& glut() { return scriptedGlut::installed; }
};

TEST_F(Dispatch, EachEventReachesTheCurrentWindowOnly)
{
    new recordingWindow("A");
    auto* second = new recordingWindow("B");
    const struct {
        std::function<void()> event;
        const char* handlerCall;
    } cases[] = {
        {[] { glut().reshape(800, 600); }, "B onReshape 800 600"},
        {[] { glut().mouse(2, 0, 5, 6); }, "B onButtonDown 2 5 6"},
        {[] { glut().mouse(2, 1, 5, 6); }, "B onButtonUp 2 5 6"},
        {[] { glut().motion(7, 8); }, "B onPointerMove 7 8"},
        {[] { glut().wheel(1, -1, 3, 4); }, "B onWheel 1 -1 3 4"},
        {[] { glut().keyboard('a', 1, 2); }, "B onKeyDown 0 97"},
        {[] { glut().special(GLUT_KEY_F1, 1, 2); }, "B onKeyDown 1 0"},
        {[] { glut().keyboardUp('a', 1, 2); }, "B onKeyUp 0 97"},
        {[] { glut().specialUp(GLUT_KEY_F1, 1, 2); }, "B onKeyUp 1 0"},
        {[] { glut().idle(); }, "B onIdle"},
    };
    for (const auto& routed : cases) {
        EXPECT_EQ(fire(second->windowId, routed.event), Lines{routed.handlerCall});
        EXPECT_EQ(fire(0, routed.event), Lines{}) << "no current window: " << routed.handlerCall;
        EXPECT_EQ(fire(99, routed.event), Lines{}) << "an unknown window: " << routed.handlerCall;
    }
    EXPECT_EQ(fire(99, [] { glut().close(); }), Lines{});
    EXPECT_EQ(vexo::windowRegistry.size(), 2u);
}

// Every window not yet set up is set up on the first display of any window,
// in registry order, and the displayed one never before its setup.
TEST_F(Dispatch, DisplaySetsUpEveryWindowInRegistryOrder)
{
    enum { none, first, second };
    const struct {
        int displayed;
        Lines firstDisplay;
        Lines secondDisplay;
    } cases[] = {
        {first, {"A onSetup", "A onDisplay", "B onSetup"}, {"A onDisplay"}},
        {second, {"A onSetup", "B onSetup", "B onDisplay"}, {"B onDisplay"}},
        {none, {"A onSetup", "B onSetup"}, {}},
    };
    for (const auto& display : cases) {
        const int ids[] = {0, (new recordingWindow("A"))->windowId, (new recordingWindow("B"))->windowId};
        EXPECT_EQ(fire(ids[display.displayed], glut().display), display.firstDisplay);
        EXPECT_EQ(fire(ids[display.displayed], glut().display), display.secondDisplay);
        TearDown();
    }
}

// The left button is one flag for all windows: other buttons leave it alone,
// and a new window starts with it released. (A drag from a left press to its
// release is real input's, demoTests.cpp.)
TEST_F(Dispatch, LeftDragSurvivesOtherButtonsButNotANewWindow)
{
    const int id = (new recordingWindow("A"))->windowId;
    fire(id, [] { glut().mouse(0, 0, 1, 1); glut().mouse(2, 0, 1, 1); glut().mouse(2, 1, 1, 1); });
    EXPECT_EQ(fire(id, [] { glut().motion(3, 4); }), (Lines{"A onLeftDrag 3 4", "A onPointerMove 3 4"}));
    new recordingWindow("B");
    EXPECT_EQ(fire(id, [] { glut().motion(2, 2); }), Lines{"A onPointerMove 2 2"});
}

// closeWindow asks GLUT once however often it is called; GLUT's close event
// then calls onCloseRequest and deletes the object, and only that one.
TEST_F(Dispatch, CloseWindowAsksGlutOnceAndTheCloseEventDeletesTheWindow)
{
    auto* first = new recordingWindow("A");
    auto* second = new recordingWindow("B");
    first->closeWindow();
    first->closeWindow();
    EXPECT_EQ(scriptedGlut::destroyedWindows, std::vector<int>{first->windowId});
    EXPECT_EQ(fire(first->windowId, glut().close), (Lines{"A onCloseRequest", "A destroyed"}));
    EXPECT_EQ(vexo::windowRegistry, (std::list<vexo::glutWindow*>{second}));

    // Deleting an object directly leaves the GLUT window alone and cuts its events off.
    const int secondId = second->windowId;
    delete second;
    EXPECT_EQ(scriptedGlut::destroyedWindows.size(), 1u);
    EXPECT_EQ(fire(secondId, [] { glut().close(); glut().display(); }), Lines{});
}

// A window that closes itself in its setup still gets that display; one
// that a setup handler makes is set up in the same walk.
TEST_F(Dispatch, WhatASetupHandlerDoesTakesEffectInTheSameWalk)
{
    struct settingUpWindow : recordingWindow {
        explicit settingUpWindow(std::function<void(settingUpWindow&)> action)
            : recordingWindow("A"), duringSetup(std::move(action)) {}
        void onSetup() override
        {
            recordingWindow::onSetup();
            duringSetup(*this);
        }
        std::function<void(settingUpWindow&)> duringSetup;
    };
    const int closing = (new settingUpWindow([](settingUpWindow& self) { self.closeWindow(); }))->windowId;
    EXPECT_EQ(fire(closing, [] { glut().display(); glut().close(); }),
              (Lines{"A onSetup", "A onDisplay", "A onCloseRequest", "A destroyed"}));
    const int spawning = (new settingUpWindow([](settingUpWindow&) { new recordingWindow("B"); }))->windowId;
    EXPECT_EQ(fire(spawning, glut().display), (Lines{"A onSetup", "A onDisplay", "B onSetup"}));
}

// A process that runs one program's window after another's starts each as a
// program starts: what the last one left (a window still waiting to close,
// the left button held, the shader library's checks) is forgotten, and the
// application, which lives on, stays registered.
TEST_F(Dispatch, AResetStartsTheNextProgramAfresh)
{
    vexo::glApplication application;
    auto* last = new recordingWindow("A");
    fire(last->windowId, [] { glut().mouse(0, 0, 1, 1); });
    last->closeWindow();
    vexo::extensionsLoaded = true;
    vexo::shadingLanguageReady = true;

    vexo::resetProgramState();
    EXPECT_TRUE(vexo::windowRegistry.empty());
    EXPECT_TRUE(vexo::windowsClosing.empty());
    EXPECT_FALSE(vexo::leftButtonDown);
    EXPECT_FALSE(vexo::extensionsLoaded);
    EXPECT_FALSE(vexo::shadingLanguageReady);
    EXPECT_EQ(vexo::applicationRegistry, (std::list<vexo::glApplication*>{&application}));
    // The framework has forgotten it, so it is the test's to delete.
    delete last;
}

} // namespace

namespace {

class throwingWindow : public vexo::glutWindow {
public:
    void onDisplay() override { throw std::runtime_error("out of texture memory"); }
    void onKeyDown(int, unsigned char) override { throw 42; }
};

} // namespace

// An exception never reaches GLUT's C code: the program ends with its reason
// and a failure status, from every kind of callback.
TEST_F(Dispatch, AHandlersExceptionEndsTheProgramWithItsReason)
{
    auto* window = new throwingWindow;
    // The program ends with the window alive, as a real one would.
    livesUntilExit(window);
    scriptedGlut::currentWindow = window->windowId;
    EXPECT_EXIT(glut().display(), testing::ExitedWithCode(EXIT_FAILURE),
                "^[^\n]*: a window handler failed: out of texture memory\n$");
    EXPECT_EXIT(glut().keyboard('a', 1, 2), testing::ExitedWithCode(EXIT_FAILURE),
                "a window handler failed: an exception of unknown type");
}
