// The framework's event routing, driven through a scripted GLUT so that each
// test picks the current window and fires callbacks exactly.

#include "tests/framework/scriptedGlut.h"

#include "vexo/framework/glApplication.h"
#include "vexo/framework/glutWindow.h"
#include "vexo/framework/registry.h"

#include <GL/freeglut.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<std::string> events;

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

    std::string name;

private:
    void record(const char* handler, std::initializer_list<int> arguments = {})
    {
        std::string line = name + ' ' + handler;
        for (int argument : arguments)
            line += ' ' + std::to_string(argument);
        events.push_back(line);
    }
};

// Registry entries whose objects are still alive at the end of a test are
// deleted there, as GLUT would at shutdown, so that tests stay independent.
class Dispatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        scriptedGlut::reset();
        events.clear();
        vexo::leftButtonDown = false;
    }
    void TearDown() override
    {
        while (!vexo::windowRegistry.empty())
            delete vexo::windowRegistry.front();
        vexo::windowsClosing.clear();
    }

    static void makeCurrent(const vexo::glutWindow* window) { scriptedGlut::currentWindow = window->windowId; }
    static const scriptedGlut::Callbacks& glut() { return scriptedGlut::installed; }
};

using Lines = std::vector<std::string>;

TEST_F(Dispatch, ConstructionCreatesTheWindowAndInstallsElevenCallbacksInOrder)
{
    vexo::leftButtonDown = true;
    auto* window = new recordingWindow("A");

    EXPECT_EQ(scriptedGlut::calls,
              (Lines{"glutInitWindowSize 800 600", "glutInitWindowPosition 0 0", "glutInitDisplayMode 18",
                     "glutCreateWindow Pixveil4242", "glutDisplayFunc", "glutReshapeFunc", "glutMouseFunc",
                     "glutMotionFunc", "glutMouseWheelFunc", "glutCloseFunc", "glutKeyboardFunc",
                     "glutSpecialFunc", "glutKeyboardUpFunc", "glutSpecialUpFunc", "glutIdleFunc"}));
    EXPECT_EQ(window->windowId, 1);
    EXPECT_FALSE(window->setupDone);
    EXPECT_FALSE(vexo::leftButtonDown);
    ASSERT_FALSE(vexo::windowRegistry.empty());
    EXPECT_EQ(vexo::windowRegistry.back(), window);
    EXPECT_TRUE(events.empty());
}

TEST_F(Dispatch, DisplayOfTheFirstWindowSetsUpEveryWindowInRegistryOrder)
{
    auto* first = new recordingWindow("A");
    new recordingWindow("B");

    makeCurrent(first);
    glut().display();
    EXPECT_EQ(events, (Lines{"A onSetup", "A onDisplay", "B onSetup"}));

    events.clear();
    glut().display();
    EXPECT_EQ(events, (Lines{"A onDisplay"}));
}

TEST_F(Dispatch, DisplayOfTheSecondWindowSetsUpBothBeforeDisplayingIt)
{
    new recordingWindow("A");
    auto* second = new recordingWindow("B");

    makeCurrent(second);
    glut().display();
    EXPECT_EQ(events, (Lines{"A onSetup", "B onSetup", "B onDisplay"}));
    EXPECT_TRUE(second->setupDone);
}

TEST_F(Dispatch, DisplayWithNoCurrentWindowStillSetsUpButDisplaysNothing)
{
    new recordingWindow("A");
    scriptedGlut::currentWindow = 0;
    glut().display();
    EXPECT_EQ(events, (Lines{"A onSetup"}));
}

TEST_F(Dispatch, LeftDragGivesLeftDragBeforePointerMove)
{
    auto* window = new recordingWindow("A");
    makeCurrent(window);

    glut().mouse(0, 0, 10, 20);
    EXPECT_TRUE(vexo::leftButtonDown);
    glut().motion(11, 21);
    glut().motion(12, 22);
    glut().mouse(0, 1, 12, 22);
    EXPECT_FALSE(vexo::leftButtonDown);

    EXPECT_EQ(events, (Lines{"A onButtonDown 0 10 20", "A onLeftDrag 11 21", "A onPointerMove 11 21",
                             "A onLeftDrag 12 22", "A onPointerMove 12 22", "A onButtonUp 0 12 22"}));
}

TEST_F(Dispatch, RightDragGivesPointerMoveAlone)
{
    auto* window = new recordingWindow("A");
    makeCurrent(window);

    glut().mouse(2, 0, 5, 5);
    glut().motion(6, 7);
    glut().mouse(2, 1, 6, 7);

    EXPECT_EQ(events, (Lines{"A onButtonDown 2 5 5", "A onPointerMove 6 7", "A onButtonUp 2 6 7"}));
}

TEST_F(Dispatch, OtherButtonsLeaveTheLeftButtonFlagAlone)
{
    auto* window = new recordingWindow("A");
    makeCurrent(window);

    glut().mouse(0, 0, 1, 1);
    glut().mouse(2, 0, 1, 1);
    glut().mouse(2, 1, 1, 1);
    EXPECT_TRUE(vexo::leftButtonDown);

    events.clear();
    glut().motion(3, 4);
    EXPECT_EQ(events, (Lines{"A onLeftDrag 3 4", "A onPointerMove 3 4"}));
}

TEST_F(Dispatch, ConstructingAWindowReleasesTheLeftButtonForEveryWindow)
{
    auto* first = new recordingWindow("A");
    makeCurrent(first);
    glut().mouse(0, 0, 1, 1);

    new recordingWindow("B");
    makeCurrent(first);
    events.clear();
    glut().motion(2, 2);

    EXPECT_EQ(events, (Lines{"A onPointerMove 2 2"}));
}

TEST_F(Dispatch, KeysArriveAsSpecialCodeThenCharacter)
{
    auto* window = new recordingWindow("A");
    makeCurrent(window);

    glut().keyboard('a', 1, 2);
    glut().keyboardUp('a', 1, 2);
    glut().special(GLUT_KEY_F1, 1, 2);
    glut().specialUp(GLUT_KEY_F1, 1, 2);
    glut().keyboard(0, 1, 2);

    EXPECT_EQ(events, (Lines{"A onKeyDown 0 97", "A onKeyUp 0 97", "A onKeyDown 1 0", "A onKeyUp 1 0",
                             "A onKeyDown 0 0"}));
}

TEST_F(Dispatch, WheelPassesWheelDirectionAndPosition)
{
    auto* window = new recordingWindow("A");
    makeCurrent(window);

    glut().wheel(0, 1, 30, 40);
    glut().wheel(1, -1, 31, 41);

    EXPECT_EQ(events, (Lines{"A onWheel 0 1 30 40", "A onWheel 1 -1 31 41"}));
}

TEST_F(Dispatch, EventsForNoWindowOrAnUnknownWindowReachNobody)
{
    new recordingWindow("A");
    for (int id : {0, 99}) {
        scriptedGlut::currentWindow = id;
        glut().reshape(1, 2);
        glut().mouse(0, 0, 1, 1);
        glut().motion(1, 1);
        glut().wheel(0, 1, 1, 1);
        glut().keyboard('x', 0, 0);
        glut().special(1, 0, 0);
        glut().keyboardUp('x', 0, 0);
        glut().specialUp(1, 0, 0);
        glut().idle();
        glut().close();
    }
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(vexo::leftButtonDown);
    EXPECT_EQ(vexo::windowRegistry.size(), 1u);
}

TEST_F(Dispatch, IdleAndReshapeReachTheCurrentWindowOnly)
{
    new recordingWindow("A");
    auto* second = new recordingWindow("B");
    makeCurrent(second);

    glut().idle();
    glut().reshape(800, 600);

    EXPECT_EQ(events, (Lines{"B onIdle", "B onReshape 800 600"}));
}

TEST_F(Dispatch, CloseCallsOnCloseRequestThenDeletesTheObject)
{
    auto* first = new recordingWindow("A");
    auto* second = new recordingWindow("B");
    makeCurrent(first);

    glut().close();

    EXPECT_EQ(events, (Lines{"A onCloseRequest", "A destroyed"}));
    EXPECT_EQ(vexo::windowRegistry, (std::list<vexo::glutWindow*>{second}));
}

TEST_F(Dispatch, DeletingAWindowDirectlyLeavesTheRegistryButNotGlut)
{
    auto* window = new recordingWindow("A");
    const int id = window->windowId;
    scriptedGlut::calls.clear();

    delete window;

    EXPECT_TRUE(vexo::windowRegistry.empty());
    EXPECT_TRUE(scriptedGlut::calls.empty());
    events.clear();
    scriptedGlut::currentWindow = id;
    glut().close();
    glut().display();
    EXPECT_TRUE(events.empty());
}

TEST_F(Dispatch, RepeatedCloseWindowAsksGlutOnce)
{
    auto* window = new recordingWindow("A");
    makeCurrent(window);
    scriptedGlut::calls.clear();

    window->closeWindow();
    window->closeWindow();
    EXPECT_EQ(scriptedGlut::calls, (Lines{"glutDestroyWindow 1"}));

    glut().close();
    EXPECT_EQ(events, (Lines{"A onCloseRequest", "A destroyed"}));
    EXPECT_TRUE(vexo::windowRegistry.empty());
}

TEST_F(Dispatch, AWindowClosedInSetupStillGetsThatDisplay)
{
    struct closingWindow : recordingWindow {
        closingWindow() : recordingWindow("A") {}
        void onSetup() override
        {
            recordingWindow::onSetup();
            closeWindow();
        }
    };
    auto* window = new closingWindow;
    makeCurrent(window);

    glut().display();
    glut().close();

    EXPECT_EQ(events, (Lines{"A onSetup", "A onDisplay", "A onCloseRequest", "A destroyed"}));
}

TEST_F(Dispatch, AWindowMadeByAHandlerIsReachedByTheSameWalk)
{
    struct spawningWindow : recordingWindow {
        spawningWindow() : recordingWindow("A") {}
        void onSetup() override
        {
            recordingWindow::onSetup();
            new recordingWindow("B");
        }
    };
    auto* window = new spawningWindow;
    makeCurrent(window);
    glut().display();
    EXPECT_EQ(events, (Lines{"A onSetup", "A onDisplay", "B onSetup"}));
}

TEST_F(Dispatch, WindowOperationsAreSingleGlutCalls)
{
    auto* window = new recordingWindow("A");
    scriptedGlut::calls.clear();

    window->requestRedisplay();
    window->setFullScreen(true);
    window->setFullScreen(false);
    window->hideWindow();
    window->showWindow();

    EXPECT_EQ(scriptedGlut::calls,
              (Lines{"glutPostWindowRedisplay 1", "glutFullScreen", "glutPositionWindow 0 0",
                     "glutReshapeWindow 640 480", "glutHideWindow", "glutShowWindow"}));
}

class recordingApplication : public vexo::glApplication {
public:
    void onStart() override { events.push_back("onStart"); }
    void onShutdown() override { events.push_back("onShutdown"); }
};

TEST_F(Dispatch, ApplicationInitialisesGlutWithItsOwnNameAndBracketsTheLoop)
{
    auto* application = new recordingApplication;
    EXPECT_EQ(scriptedGlut::calls, (Lines{"glutInit 1 Pixveil4242"}));
    EXPECT_EQ(vexo::applicationRegistry.back(), application);

    new recordingWindow("A");
    scriptedGlut::calls.clear();
    application->run();
    EXPECT_EQ(scriptedGlut::calls, (Lines{"glutMainLoop"}));
    EXPECT_EQ(events, (Lines{"onStart", "onShutdown"}));

    delete application;
    EXPECT_TRUE(std::find(vexo::applicationRegistry.begin(), vexo::applicationRegistry.end(), application) ==
                vexo::applicationRegistry.end());
}

TEST_F(Dispatch, RunWithNoWindowEndsTheProcessWithStatusZeroBeforeShutdown)
{
    struct shutdownMustNotRun : vexo::glApplication {
        void onShutdown() override { std::abort(); }
    };
    EXPECT_EXIT(
        {
            shutdownMustNotRun application;
            scriptedGlut::currentWindow = 0;
            application.run();
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
