#pragma once

#include <cstdint>
#include <string>

// How large a texture a program may make, and what that costs it: the facts
// that the loader checks images against and that the batch command plans
// its jobs by.

// The environment variable that sets the largest texture area, in texels, as
// ImageMagick's MAGICK_AREA_LIMIT does for it.
inline constexpr const char* textureAreaVariable = "PIXVEIL_AREA_LIMIT";
// 16384 x 8192 texels, which keeps either program under about 4 GB.
inline constexpr uint64_t defaultTextureAreaLimit = uint64_t(16384) * 8192;

// The bytes a program takes at its peak for each texel of its texture (the
// decoded pixels, the texture and its noise in the driver, the frame and its
// read-back, and for the decoder its size recovery), and the fixed part
// beside them, as measured: the encoder about 20 a texel; the decoder up to
// 42 (at 4096 x 4096; less for larger textures).
inline constexpr uint64_t encoderPeakBytesPerTexel = 20;
inline constexpr uint64_t decoderPeakBytesPerTexel = 42;
inline constexpr uint64_t programBaseBytes = uint64_t(128) << 20;

// The area PIXVEIL_AREA_LIMIT sets, or the default when it is unset; false
// with a reason when it is set but is no whole number above 0.
bool readTextureAreaLimit(uint64_t& area, std::string& problem);
