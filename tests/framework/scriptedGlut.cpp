#include "tests/framework/scriptedGlut.h"

#include <GL/freeglut.h>

namespace scriptedGlut {

Callbacks installed;
std::vector<int> destroyedWindows;
int currentWindow = 0;

} // namespace scriptedGlut

using namespace scriptedGlut;

void glutInit(int*, char**) {}
void glutInitWindowPosition(int, int) {}
void glutInitWindowSize(int, int) {}
void glutInitDisplayMode(unsigned int) {}
void glutMainLoop() {}
void glutExit() {}
int glutCreateWindow(const char*)
{
    static int lastWindowId = 0;
    return currentWindow = ++lastWindowId;
}
void glutDestroyWindow(int window) { destroyedWindows.push_back(window); }
int glutGetWindow() { return currentWindow; }
void glutReshapeWindow(int, int) {}
void glutPositionWindow(int, int) {}
void glutShowWindow() {}
void glutHideWindow() {}
void glutFullScreen() {}
void glutPostWindowRedisplay(int) {}

void glutDisplayFunc(void (*callback)()) { installed.display = callback; }
void glutReshapeFunc(void (*callback)(int, int)) { installed.reshape = callback; }
void glutMouseFunc(void (*callback)(int, int, int, int)) { installed.mouse = callback; }
void glutMotionFunc(void (*callback)(int, int)) { installed.motion = callback; }
void glutMouseWheelFunc(void (*callback)(int, int, int, int)) { installed.wheel = callback; }
void glutCloseFunc(void (*callback)()) { installed.close = callback; }
void glutKeyboardFunc(void (*callback)(unsigned char, int, int)) { installed.keyboard = callback; }
void glutSpecialFunc(void (*callback)(int, int, int)) { installed.special = callback; }
void glutKeyboardUpFunc(void (*callback)(unsigned char, int, int)) { installed.keyboardUp = callback; }
void glutSpecialUpFunc(void (*callback)(int, int, int)) { installed.specialUp = callback; }
void glutIdleFunc(void (*callback)()) { installed.idle = callback; }
