#include "vexo/reset/programState.h"

#include "vexo/framework/registry.h"
#include "vexo/source/glsl.h"

namespace vexo {

void resetProgramState()
{
    windowRegistry.clear();
    windowsClosing.clear();
    leftButtonDown = false;
    extensionsLoaded = false;
    shadingLanguageReady = false;
}

} // namespace vexo
