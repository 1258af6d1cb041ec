#pragma once

// A scripted stand-in for the few GLUT calls the framework makes, so that
// tests can choose GLUT's current window and fire its callbacks directly.

#include <string>
#include <vector>

namespace scriptedGlut {

struct Callbacks {
    void (*display)() = nullptr;
    void (*reshape)(int, int) = nullptr;
    void (*mouse)(int, int, int, int) = nullptr;
    void (*motion)(int, int) = nullptr;
    void (*wheel)(int, int, int, int) = nullptr;
    void (*close)() = nullptr;
    void (*keyboard)(unsigned char, int, int) = nullptr;
    void (*special)(int, int, int) = nullptr;
    void (*keyboardUp)(unsigned char, int, int) = nullptr;
    void (*specialUp)(int, int, int) = nullptr;
    void (*idle)() = nullptr;
};

// The callbacks installed last (every window installs the same functions).
extern Callbacks installed;
// Every GLUT call made, in order, e.g. "glutCreateWindow Pixveil4242".
extern std::vector<std::string> calls;
// What glutGetWindow returns; glutCreateWindow sets it to the new id.
extern int currentWindow;

void reset();

} // namespace scriptedGlut
