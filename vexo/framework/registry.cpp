#include "vexo/framework/registry.h"

namespace vexo {

std::list<glutWindow*> windowRegistry;
std::list<glApplication*> applicationRegistry;
bool leftButtonDown = false;
std::set<int> windowsClosing;

} // namespace vexo
