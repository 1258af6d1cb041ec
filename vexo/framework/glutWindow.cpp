#include "vexo/framework/glutWindow.h"

#include "vexo/framework/constants.h"
#include "vexo/framework/dispatch.h"
#include "vexo/framework/registry.h"

#include <GL/freeglut.h>

#include <algorithm>

namespace vexo {

namespace {

void installCallbacks()
{
    glutDisplayFunc(dispatchDisplay);
    glutReshapeFunc(dispatchReshape);
    glutMouseFunc(dispatchMouse);
    glutMotionFunc(dispatchMotion);
    glutMouseWheelFunc(dispatchWheel);
    glutCloseFunc(dispatchClose);
    glutKeyboardFunc(dispatchKeyboard);
    glutSpecialFunc(dispatchSpecial);
    glutKeyboardUpFunc(dispatchKeyboardUp);
    glutSpecialUpFunc(dispatchSpecialUp);
    // GLUT has one idle callback for the whole process; every window installs
    // the same one again.
    glutIdleFunc(dispatchIdle);
}

} // namespace

glutWindow::glutWindow()
{
    leftButtonDown = false;
    windowRegistry.push_back(this);

    glutInitWindowSize(initialWindowWidth, initialWindowHeight);
    glutInitWindowPosition(0, 0);
    glutInitDisplayMode(windowDisplayMode);
    // The new window becomes GLUT's current window, so the callbacks below are its.
    windowId = glutCreateWindow(programName);
    setupDone = false;
    installCallbacks();
}

// Leaves the GLUT window alone: deleting an object directly only cuts its events off.
glutWindow::~glutWindow()
{
    auto entry = std::find(windowRegistry.begin(), windowRegistry.end(), this);
    if (entry != windowRegistry.end())
        windowRegistry.erase(entry);
}

void glutWindow::requestRedisplay()
{
    glutPostWindowRedisplay(windowId);
}

void glutWindow::setFullScreen(bool fullScreen)
{
    if (fullScreen) {
        glutFullScreen();
        return;
    }
    glutPositionWindow(0, 0);
    glutReshapeWindow(windowedWidth, windowedHeight);
}

void glutWindow::hideWindow()
{
    glutHideWindow();
}

void glutWindow::showWindow()
{
    glutShowWindow();
}

void glutWindow::closeWindow()
{
    bool firstRequest = windowsClosing.insert(windowId).second;
    if (firstRequest)
        glutDestroyWindow(windowId);
}

} // namespace vexo
