// The logging demo on real freeglut and Mesa under an X server, driven by
// real X input through xdotool.

#include "tests/support/testSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

namespace {

constexpr double patience = 10; // seconds

// Waits until the demo has printed `line`.
bool waitForLine(childProcess& demo, const std::string& line)
{
    for (int attempt = 0; attempt < 500 && demo.running(); ++attempt) {
        const textLines output = splitLines(demo.outputSoFar());
        if (std::find(output.begin(), output.end(), line) != output.end())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

// The demo's X window, once it is mapped.
std::string windowOfTheDemo()
{
    const processResult search = runProcess({"xdotool", "search", "--sync", "--onlyvisible", "--name", "Pixveil4242"});
    const textLines windows = splitLines(search.out);
    return windows.empty() ? "" : windows.front();
}

void xdotool(textLines arguments)
{
    arguments.insert(arguments.begin(), "xdotool");
    const processResult run = runProcess(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
}

TEST(Demo, RunsWithoutInput)
{
    const textLines closedByItself = {"onStart", "1 onReshape 800 600", "1 onSetup", "1 onDisplay",
                                      "1 onCloseRequest", "1 destroyed"};
    const struct {
        const char* name;
        textLines options;
        int status;
        textLines out;
        std::string err;
    } runs[] = {
        // Reshape comes before setup and display; closing from a handler ends with 0.
        {"closing in a handler", {"--close-on-display", "1"}, 0, closedByItself, ""},
        {"closing twice in a handler", {"--close-on-display", "1", "--close-twice"}, 0, closedByItself, ""},
        {"no window", {"--windows", "0"}, 0, {"onStart"}, ""},
        {"a second application", {"--second-application"}, 1, {},
         "freeglut (Pixveil4242): illegal glutInit() reinitialization attempt\n"},
    };
    for (const auto& run : runs) {
        textLines command = {DEMO_PATH};
        command.insert(command.end(), run.options.begin(), run.options.end());
        const processResult result = childProcess(command).wait(patience);
        EXPECT_EQ(result.status, run.status) << run.name;
        EXPECT_EQ(splitLines(result.out), run.out) << run.name;
        EXPECT_EQ(result.err, run.err) << run.name;
    }
}

TEST(Demo, RealPointerAndKeyboardInputArrivesAsHandlerCalls)
{
    childProcess demo({DEMO_PATH});
    ASSERT_TRUE(waitForLine(demo, "1 onDisplay"));
    const std::string window = windowOfTheDemo();
    ASSERT_FALSE(window.empty());

    xdotool({"mousemove", "--sync", "100", "100"});
    xdotool({"mousedown", "1", "mousemove", "--sync", "150", "120", "mouseup", "1"});
    xdotool({"mousedown", "3", "mousemove", "--sync", "160", "130", "mouseup", "3"});
    xdotool({"click", "4", "click", "5"});
    xdotool({"windowfocus", "--sync", window});
    xdotool({"key", "a", "F1", "q"});

    const processResult result = demo.wait(patience);
    EXPECT_EQ(result.status, 0);
    // From the first press on, without the idle notice that comes whenever GLUT is idle.
    textLines output = splitLines(result.out);
    output.erase(output.begin(), std::find(output.begin(), output.end(), "1 onButtonDown 0 100 100"));
    output.erase(std::remove(output.begin(), output.end(), "1 onIdle"), output.end());
    EXPECT_EQ(output, (textLines{"1 onButtonDown 0 100 100", "1 onLeftDrag 150 120", "1 onPointerMove 150 120",
                                 "1 onButtonUp 0 150 120", "1 onButtonDown 2 150 120", "1 onPointerMove 160 130",
                                 "1 onButtonUp 2 160 130", "1 onWheel 0 1 160 130", "1 onWheel 0 -1 160 130",
                                 "1 onKeyDown 0 97", "1 onKeyUp 0 97", "1 onKeyDown 1 0", "1 onKeyUp 1 0",
                                 "1 onKeyDown 0 113", "1 onCloseRequest", "1 destroyed"}));
}

TEST(Demo, ATitleBarCloseCallsOnCloseRequestAndEndsWithZero)
{
    childProcess demo({DEMO_PATH});
    ASSERT_TRUE(waitForLine(demo, "1 onDisplay"));
    const std::string window = windowOfTheDemo();
    ASSERT_FALSE(window.empty());
    ASSERT_EQ(runProcess({SEND_WINDOW_CLOSE_PATH, window}).status, 0);

    const processResult result = demo.wait(patience);
    EXPECT_EQ(result.status, 0);
    const textLines output = splitLines(result.out);
    ASSERT_GE(output.size(), 2u);
    EXPECT_EQ(textLines(output.end() - 2, output.end()), (textLines{"1 onCloseRequest", "1 destroyed"}));
}

} // namespace
