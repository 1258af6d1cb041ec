#pragma once

#include "vexo/framework/glApplication.h"

// The encoder's application object: initialises GLUT and runs its event loop,
// exactly as the framework's application does.
class myApplication : public vexo::glApplication {
public:
    ~myApplication() override;
};
