#pragma once

namespace vexo {

// Puts the framework and the shader library back as a program finds them when
// it starts, for a process that runs one program's window after another's: no
// window registered or waiting to be closed, the left button up, and GLEW and
// the shading language not yet checked, so that the next shader object checks
// them and reports the driver's support again. Call it once the last program's windows have gone:
// a window object still registered would be forgotten, not deleted. The
// application object stays registered, as it lives on, and GLUT with it.
void resetProgramState();

} // namespace vexo
