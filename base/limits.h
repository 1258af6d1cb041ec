#pragma once

#include <cstddef>
#include <cstdint>

// The limits that the loader, the sandboxed decoders and the batch command
// must agree on, each named once so that they cannot drift apart.

// The largest texture side of llvmpipe and most drivers. A load keeps to the
// side its driver reports; this one stands for it where no driver can be
// asked, as in the decoder child until the loader sets its limit.
inline constexpr uint32_t largestTextureSide = 16384;
// Its texels as RGBA: the most pixel bytes a decode may give for it.
inline constexpr uint64_t largestTextureBytes = uint64_t(largestTextureSide) * largestTextureSide * 4;

// The environment variable that sets the largest texture area, in texels, as
// ImageMagick's MAGICK_AREA_LIMIT does for it.
inline constexpr const char* textureAreaVariable = "PIXVEIL_AREA_LIMIT";
// 16384 x 8192 texels, half the largest texture, which keeps either program
// under about 4 GB.
inline constexpr uint64_t defaultTextureAreaLimit = uint64_t(largestTextureSide) * (largestTextureSide / 2);

// The bytes a program takes at its peak for each texel of its texture (the
// decoded pixels, the texture and its noise in the driver, the frame and its
// read-back, and for the decoder its size recovery), and the fixed part
// beside them, as measured: the encoder about 20 a texel; the decoder up to
// 42 (at 4096 x 4096; less for larger textures).
inline constexpr uint64_t encoderPeakBytesPerTexel = 20;
inline constexpr uint64_t decoderPeakBytesPerTexel = 42;
inline constexpr uint64_t programBaseBytes = uint64_t(128) << 20;

// The texels an image file is credited with for each of its bytes, which its
// decoder child's time and memory grow with: sixteen times the most an 8-bit
// image packs into a byte (about 1032, an 8-bit PNG at deflate's best ratio).
inline constexpr uint64_t pixelsCreditedPerFileByte = 16384;

// The bytes, with the closing null, of a decoder's reason for a failure: the
// text a decoder formats and the decode header's copy of it have the same
// room, so that the parent reports what the decoder wrote, cut only once.
inline constexpr std::size_t decodeReasonCapacity = 240;
