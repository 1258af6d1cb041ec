#pragma once

#include <GL/freeglut.h>

namespace vexo {

// The program name given to GLUT, which is also every window's title.
inline constexpr const char* programName = "Pixveil4242";

inline constexpr int initialWindowWidth = 800;
inline constexpr int initialWindowHeight = 600;
inline constexpr unsigned int windowDisplayMode = GLUT_RGBA | GLUT_DOUBLE | GLUT_DEPTH;

inline constexpr int windowedWidth = 640;
inline constexpr int windowedHeight = 480;

} // namespace vexo
