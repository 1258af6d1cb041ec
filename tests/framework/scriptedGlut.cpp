#include "tests/framework/scriptedGlut.h"

#include <GL/freeglut.h>

namespace scriptedGlut {

Callbacks installed;
std::vector<std::string> calls;
int currentWindow = 0;

namespace {
int lastWindowId = 0;

void record(const std::string& call)
{
    calls.push_back(call);
}

std::string withNumbers(const char* name, std::initializer_list<long> numbers)
{
    std::string text = name;
    for (long number : numbers)
        text += ' ' + std::to_string(number);
    return text;
}
} // namespace

void reset()
{
    installed = Callbacks{};
    calls.clear();
    currentWindow = 0;
}

} // namespace scriptedGlut

using namespace scriptedGlut;

void glutInit(int* argumentCount, char** arguments)
{
    std::string call = withNumbers("glutInit", {*argumentCount});
    for (int i = 0; i < *argumentCount; ++i)
        call += std::string(" ") + arguments[i];
    record(call);
}
void glutInitWindowPosition(int x, int y) { record(withNumbers("glutInitWindowPosition", {x, y})); }
void glutInitWindowSize(int width, int height) { record(withNumbers("glutInitWindowSize", {width, height})); }
void glutInitDisplayMode(unsigned int mode) { record(withNumbers("glutInitDisplayMode", {long(mode)})); }
void glutMainLoop() { record("glutMainLoop"); }
void glutExit() { record("glutExit"); }
int glutCreateWindow(const char* title)
{
    record(std::string("glutCreateWindow ") + title);
    currentWindow = ++lastWindowId;
    return currentWindow;
}
void glutDestroyWindow(int window) { record(withNumbers("glutDestroyWindow", {window})); }
int glutGetWindow() { return currentWindow; }
void glutReshapeWindow(int width, int height) { record(withNumbers("glutReshapeWindow", {width, height})); }
void glutPositionWindow(int x, int y) { record(withNumbers("glutPositionWindow", {x, y})); }
void glutShowWindow() { record("glutShowWindow"); }
void glutHideWindow() { record("glutHideWindow"); }
void glutFullScreen() { record("glutFullScreen"); }
void glutPostWindowRedisplay(int window) { record(withNumbers("glutPostWindowRedisplay", {window})); }

void glutDisplayFunc(void (*callback)()) { record("glutDisplayFunc"); installed.display = callback; }
void glutReshapeFunc(void (*callback)(int, int)) { record("glutReshapeFunc"); installed.reshape = callback; }
void glutMouseFunc(void (*callback)(int, int, int, int)) { record("glutMouseFunc"); installed.mouse = callback; }
void glutMotionFunc(void (*callback)(int, int)) { record("glutMotionFunc"); installed.motion = callback; }
void glutMouseWheelFunc(void (*callback)(int, int, int, int)) { record("glutMouseWheelFunc"); installed.wheel = callback; }
void glutCloseFunc(void (*callback)()) { record("glutCloseFunc"); installed.close = callback; }
void glutKeyboardFunc(void (*callback)(unsigned char, int, int)) { record("glutKeyboardFunc"); installed.keyboard = callback; }
void glutSpecialFunc(void (*callback)(int, int, int)) { record("glutSpecialFunc"); installed.special = callback; }
void glutKeyboardUpFunc(void (*callback)(unsigned char, int, int)) { record("glutKeyboardUpFunc"); installed.keyboardUp = callback; }
void glutSpecialUpFunc(void (*callback)(int, int, int)) { record("glutSpecialUpFunc"); installed.specialUp = callback; }
void glutIdleFunc(void (*callback)()) { record("glutIdleFunc"); installed.idle = callback; }
