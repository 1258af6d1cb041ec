#pragma once

#include "base/limits.h"

#include <cstdint>
#include <string>

// How large a texture a program may make: the loader checks images against
// it, and the batch command plans its jobs by it with what a texel costs
// (base/limits.h).

// The area PIXVEIL_AREA_LIMIT sets, or the default when it is unset; false
// with a reason when it is set but is no whole number above 0.
bool readTextureAreaLimit(uint64_t& area, std::string& problem);
