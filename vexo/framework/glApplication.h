#pragma once

namespace vexo {

// Owns the process's use of GLUT: the constructor initialises GLUT with a
// fixed program name (the process's own arguments never reach GLUT), and run()
// brackets GLUT's event loop between onStart and onShutdown.
//
// GLUT's default close action ends the process from inside the event loop once
// the last window is gone, so in practice run() never returns and onShutdown
// never runs. A second application object is a fatal GLUT error.
class glApplication {
public:
    glApplication();
    virtual ~glApplication();

    virtual void onStart() {}
    virtual void onShutdown() {}
    // Returns true if GLUT's event loop returns at all.
    virtual bool runEventLoop();

    void run();
};

} // namespace vexo
