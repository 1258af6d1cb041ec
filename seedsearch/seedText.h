#pragma once

#include <cstdint>

// Reads a seed as the decoder's command line gives it: a whole number from 0
// to 4294967295 in decimal digits alone (no sign, no spaces, no other base).
bool parseSeed(const char* text, std::uint32_t& seed);
