#pragma once

namespace vexo {

// The window interface: twelve event handlers followed by five window
// operations. Their order is the interface; derived classes rely on it.
class glWindow {
public:
    virtual ~glWindow() {}

    virtual void onIdle() = 0;
    virtual void onDisplay() = 0;
    virtual void onReshape(int width, int height) = 0;
    virtual void onSetup() = 0;
    virtual void onCloseRequest() = 0;
    virtual void onButtonDown(int button, int x, int y) = 0;
    virtual void onButtonUp(int button, int x, int y) = 0;
    virtual void onPointerMove(int x, int y) = 0;
    virtual void onLeftDrag(int x, int y) = 0;
    virtual void onWheel(int wheel, int direction, int x, int y) = 0;
    // A character key arrives as (0, character), a special key as (GLUT code, 0).
    virtual void onKeyDown(int specialKey, unsigned char key) = 0;
    virtual void onKeyUp(int specialKey, unsigned char key) = 0;

    virtual void requestRedisplay() = 0;
    virtual void setFullScreen(bool fullScreen) = 0;
    virtual void hideWindow() = 0;
    virtual void showWindow() = 0;
    virtual void closeWindow() = 0;
};

} // namespace vexo
