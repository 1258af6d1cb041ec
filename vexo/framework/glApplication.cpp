#include "vexo/framework/glApplication.h"

#include "vexo/framework/constants.h"
#include "vexo/framework/registry.h"

#include <GL/freeglut.h>

#include <algorithm>
#include <cstdlib>
#include <string>

namespace vexo {

namespace {

// GLUT keeps pointers into its argument vector, so it must outlive the call.
std::string glutProgramName = programName;
char* glutArguments[] = {glutProgramName.data(), nullptr};
int glutArgumentCount = 1;

} // namespace

glApplication::glApplication()
{
    applicationRegistry.push_back(this);
    glutInit(&glutArgumentCount, glutArguments);
}

glApplication::~glApplication()
{
    auto entry = std::find(applicationRegistry.begin(), applicationRegistry.end(), this);
    if (entry != applicationRegistry.end())
        applicationRegistry.erase(entry);
}

// GLUT ends the process with status 0 once its last window is gone. freeglut
// refuses to start a loop that has no window at all (a fatal error, status 1),
// although such a loop has no window left from its first pass on: end it the
// way GLUT ends one whose last window has gone.
bool glApplication::runEventLoop()
{
    if (glutGetWindow() == 0) {
        glutExit();
        std::exit(EXIT_SUCCESS);
    }
    glutMainLoop();
    return true;
}

void glApplication::run()
{
    onStart();
    runEventLoop();
    onShutdown();
}

} // namespace vexo
