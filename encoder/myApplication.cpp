#include "myApplication.h"

myApplication::~myApplication() = default;
