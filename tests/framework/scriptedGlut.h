#pragma once

// A scripted stand-in for the GLUT calls the framework makes, so that tests
// choose GLUT's current window and fire its callbacks directly.

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
// The ids glutDestroyWindow was asked to destroy, in order.
extern std::vector<int> destroyedWindows;
// What glutGetWindow returns; glutCreateWindow sets it to the new id.
extern int currentWindow;

} // namespace scriptedGlut
