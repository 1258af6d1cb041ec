#pragma once

// GLUT's plain callbacks, bridged to the virtual handlers of the registered
// window whose id GLUT names as current. Internal to the framework: window
// constructors install them.
namespace vexo {

void dispatchDisplay();
void dispatchReshape(int width, int height);
void dispatchMouse(int button, int state, int x, int y);
void dispatchMotion(int x, int y);
void dispatchWheel(int wheel, int direction, int x, int y);
void dispatchClose();
void dispatchKeyboard(unsigned char key, int x, int y);
void dispatchSpecial(int key, int x, int y);
void dispatchKeyboardUp(unsigned char key, int x, int y);
void dispatchSpecialUp(int key, int x, int y);
void dispatchIdle();

} // namespace vexo
