#pragma once

#include <list>
#include <set>

namespace vexo {

class glutWindow;
class glApplication;

// Live window objects in construction order. Windows add and remove
// themselves; the list never owns or destroys a window.
extern std::list<glutWindow*> windowRegistry;

// Live application objects in construction order.
extern std::list<glApplication*> applicationRegistry;

// Whether the left mouse button is held, for all windows together.
extern bool leftButtonDown;

// GLUT window ids whose destruction has been requested and not yet carried
// out. GLUT would queue a window a second time if asked twice, so closeWindow
// consults this before asking.
extern std::set<int> windowsClosing;

} // namespace vexo
