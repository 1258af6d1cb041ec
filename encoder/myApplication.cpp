#include "encoder/myApplication.h"

myApplication::~myApplication() = default;
