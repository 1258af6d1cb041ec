#include "base/livesUntilExit.h"
#include "base/standardDescriptors.h"
#include "encoder/myApplication.h"
#include "encoder/myWindow.h"

#include <iostream>

int main(int argc, char** argv)
{
    openClosedStandardDescriptors();
    auto* application = new myApplication;
    // GLUT ends the process from inside its loop, so nothing deletes it.
    livesUntilExit(application);
    if (argc != 2) {
        std::cout << "There's something wrong with parameters, I guess..." << std::endl;
        return 1;
    }
    if (!openEncodingWindow(argv[1]))
        return 1;
    application->run();
    delete application;
    return 0;
}
