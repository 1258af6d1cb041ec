#include "base/livesUntilExit.h"
#include "encoder/myApplication.h"
#include "encoder/myWindow.h"
#include "core/outputPath.h"
#include "safeload/decodeAhead.h"

#include <cstdio>
#include <iostream>

int main(int argc, char** argv)
{
    auto* application = new myApplication;
    // GLUT ends the process from inside its loop, so nothing deletes it.
    livesUntilExit(application);
    if (argc != 2) {
        std::cout << "There's something wrong with parameters, I guess..." << std::endl;
        return 1;
    }
    // A path that does not fit the path buffers is refused before any window
    // opens: a truncated name would write somewhere the user did not ask.
    char outputPath[pathCapacity];
    if (const char* problem = deriveOutputPath(argv[1], outputPath)) {
        std::fprintf(stderr, "pixveil: cannot name the output: %s\n", problem);
        return 1;
    }
    new myWindow(argv[1]);
    // The window's context is current: the image decodes in its sandboxed
    // child while GLUT starts its loop and the window builds its program and
    // its noise. The child is forked here, on the main thread, which lives
    // as long as the child must.
    startImageDecode(argv[1]);
    application->run();
    delete application;
    return 0;
}
