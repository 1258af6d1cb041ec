#pragma once

#include "vexo/framework/glWindow.h"

#include <cstdint>

namespace vexo {

// One GLUT window, created by the constructor at 800 x 600 at (0, 0),
// double-buffered RGBA with depth, titled "Pixveil4242". GLUT must already be
// initialised (glApplication does that). Event handlers do nothing; derive and
// override the ones you need.
//
// Window objects are created with `new` and deleted by the framework when GLUT
// reports the window's closing. closeWindow() is deferred: the object stays
// alive and registered until the end of GLUT's current pass of events.
class glutWindow : public glWindow {
public:
    glutWindow();
    ~glutWindow() override;

    void onIdle() override {}
    void onDisplay() override {}
    void onReshape(int, int) override {}
    void onSetup() override {}
    void onCloseRequest() override {}
    void onButtonDown(int, int, int) override {}
    void onButtonUp(int, int, int) override {}
    void onPointerMove(int, int) override {}
    void onLeftDrag(int, int) override {}
    void onWheel(int, int, int, int) override {}
    void onKeyDown(int, unsigned char) override {}
    void onKeyUp(int, unsigned char) override {}

    void requestRedisplay() override;
    // Acts on GLUT's current window, which inside this window's handlers is this one.
    void setFullScreen(bool fullScreen) override;
    void hideWindow() override;
    void showWindow() override;
    // Only the first call asks GLUT to destroy the window; later calls while the
    // destruction is pending do nothing, so the object is deleted exactly once.
    void closeWindow() override;

    int32_t windowId;
    bool setupDone;
};

} // namespace vexo
