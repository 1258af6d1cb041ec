// The logging demo on real freeglut and Mesa under an X server, driven by
// real X input through xdotool.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Lines = std::vector<std::string>;

std::string readFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

Lines splitLines(const std::string& text)
{
    Lines lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::string runAndCapture(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    pclose(pipe);
    return output;
}

// One run of the demo, its standard output and error captured in files.
class DemoRun {
public:
    explicit DemoRun(const Lines& options)
    {
        char outTemplate[] = "/tmp/vexo-demo-out-XXXXXX";
        char errTemplate[] = "/tmp/vexo-demo-err-XXXXXX";
        close(mkstemp(outTemplate));
        close(mkstemp(errTemplate));
        outPath = outTemplate;
        errPath = errTemplate;

        posix_spawn_file_actions_t redirections;
        posix_spawn_file_actions_init(&redirections);
        posix_spawn_file_actions_addopen(&redirections, 1, outPath.c_str(), O_WRONLY | O_TRUNC, 0);
        posix_spawn_file_actions_addopen(&redirections, 2, errPath.c_str(), O_WRONLY | O_TRUNC, 0);
        std::vector<char*> arguments{const_cast<char*>(DEMO_PATH)};
        for (const std::string& option : options)
            arguments.push_back(const_cast<char*>(option.c_str()));
        arguments.push_back(nullptr);
        if (posix_spawn(&pid, DEMO_PATH, &redirections, nullptr, arguments.data(), environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&redirections);
    }

    ~DemoRun()
    {
        if (pid > 0 && !exited) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        std::remove(outPath.c_str());
        std::remove(errPath.c_str());
    }

    // The demo's X window, once it is mapped.
    std::string windowId() const
    {
        std::string id = runAndCapture("xdotool search --sync --onlyvisible --name Pixveil4242 | head -n 1");
        return id.substr(0, id.find('\n'));
    }

    bool waitForLine(const std::string& line)
    {
        for (int attempt = 0; attempt < 500; ++attempt) {
            for (const std::string& seen : output())
                if (seen == line)
                    return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // The exit status, or -1 if the demo had to be killed (or died of a signal).
    int waitForExit()
    {
        for (int attempt = 0; attempt < 500; ++attempt) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return -1;
    }

    Lines output() const { return splitLines(readFile(outPath)); }
    std::string errors() const { return readFile(errPath); }

private:
    pid_t pid = -1;
    bool exited = false;
    std::string outPath;
    std::string errPath;
};

void xdotool(const std::string& arguments)
{
    ASSERT_EQ(std::system(("xdotool " + arguments).c_str()), 0) << arguments;
}

// The lines of `all` from the first occurrence of `first` on, with the idle
// notice (which arrives whenever GLUT is idle) left out.
Lines linesFrom(const Lines& all, const std::string& first)
{
    Lines selected;
    bool started = false;
    for (const std::string& line : all) {
        started = started || line == first;
        if (started && line != "1 onIdle")
            selected.push_back(line);
    }
    return selected;
}

TEST(Demo, ReshapeComesBeforeSetupAndDisplayAndClosingFromAHandlerEndsWithZero)
{
    DemoRun demo({"--close-on-display", "1"});
    EXPECT_EQ(demo.waitForExit(), 0);
    EXPECT_EQ(demo.output(), (Lines{"onStart", "1 onReshape 800 600", "1 onSetup", "1 onDisplay",
                                    "1 onCloseRequest", "1 destroyed"}));
    EXPECT_EQ(demo.errors(), "");
}

TEST(Demo, ClosingTwiceInOneHandlerDestroysTheWindowOnce)
{
    DemoRun demo({"--close-on-display", "1", "--close-twice"});
    EXPECT_EQ(demo.waitForExit(), 0);
    EXPECT_EQ(demo.output(), (Lines{"onStart", "1 onReshape 800 600", "1 onSetup", "1 onDisplay",
                                    "1 onCloseRequest", "1 destroyed"}));
    EXPECT_EQ(demo.errors(), "");
}

TEST(Demo, RealPointerAndKeyboardInputArrivesAsHandlerCalls)
{
    DemoRun demo({});
    ASSERT_TRUE(demo.waitForLine("1 onDisplay"));
    const std::string window = demo.windowId();
    ASSERT_FALSE(window.empty());

    xdotool("mousemove --sync 100 100");
    xdotool("mousedown 1 mousemove --sync 150 120 mouseup 1");
    xdotool("mousedown 3 mousemove --sync 160 130 mouseup 3");
    xdotool("click 4 click 5");
    xdotool("windowfocus --sync " + window);
    xdotool("key a F1 q");

    EXPECT_EQ(demo.waitForExit(), 0);
    EXPECT_EQ(linesFrom(demo.output(), "1 onButtonDown 0 100 100"),
              (Lines{"1 onButtonDown 0 100 100", "1 onLeftDrag 150 120", "1 onPointerMove 150 120",
                     "1 onButtonUp 0 150 120", "1 onButtonDown 2 150 120", "1 onPointerMove 160 130",
                     "1 onButtonUp 2 160 130", "1 onWheel 0 1 160 130", "1 onWheel 0 -1 160 130",
                     "1 onKeyDown 0 97", "1 onKeyUp 0 97", "1 onKeyDown 1 0", "1 onKeyUp 1 0",
                     "1 onKeyDown 0 113", "1 onCloseRequest", "1 destroyed"}));
}

TEST(Demo, ATitleBarCloseCallsOnCloseRequestAndEndsWithZero)
{
    DemoRun demo({});
    ASSERT_TRUE(demo.waitForLine("1 onDisplay"));
    const std::string window = demo.windowId();
    ASSERT_FALSE(window.empty());

    ASSERT_EQ(std::system((std::string(SEND_WINDOW_CLOSE_PATH) + " " + window).c_str()), 0);

    EXPECT_EQ(demo.waitForExit(), 0);
    Lines output = demo.output();
    ASSERT_GE(output.size(), 2u);
    EXPECT_EQ(output[output.size() - 2], "1 onCloseRequest");
    EXPECT_EQ(output.back(), "1 destroyed");
}

TEST(Demo, RunWithNoWindowEndsWithZeroWithoutShutdown)
{
    DemoRun demo({"--windows", "0"});
    EXPECT_EQ(demo.waitForExit(), 0);
    EXPECT_EQ(demo.output(), (Lines{"onStart"}));
}

TEST(Demo, ASecondApplicationIsAFatalGlutError)
{
    DemoRun demo({"--second-application"});
    EXPECT_EQ(demo.waitForExit(), 1);
    EXPECT_EQ(demo.output(), Lines{});
    EXPECT_EQ(demo.errors(), "freeglut (Pixveil4242): illegal glutInit() reinitialization attempt\n");
}

} // namespace
