#pragma once

#include <cstdint>
#include <string>

// Reads a seed as the decoder's command line gives it: a whole number from 0
// to 4294967295 in decimal digits alone (no sign, no spaces, no other base).
bool parseSeed(const char* text, std::uint32_t& seed);

// A seed read as the second it stands for, "2026-01-02 00:00:01", in UTC: the
// encoder seeds its noise with the clock.
std::string secondAsUtcTime(std::uint32_t seed);
