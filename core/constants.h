#pragma once

#include <cstddef>
#include <cstdint>

// Buffer sizes and fixed numbers of the encoder, in one place.

// Paths live in buffers of this many bytes, the terminating zero included.
inline constexpr std::size_t pathCapacity = 260;
inline constexpr std::size_t longestPath = pathCapacity - 1;
// The split parts of a path: drive ("C:"), directory, file name and extension.
inline constexpr std::size_t drivePartCapacity = 3;
inline constexpr std::size_t pathPartCapacity = 256;
inline constexpr std::size_t longestPathPart = pathPartCapacity - 1;
inline constexpr const char* outputNameSuffix = "_enc";
// The decoder's output: an "_enc" ending is dropped and this appended.
inline constexpr const char* decodedNameSuffix = "_dec";
inline constexpr const char* outputExtension = ".bmp";
// The file name must leave room for the suffix in its part buffer.
inline constexpr std::size_t longestFileName = longestPathPart - 4;

// Each shader text is inflated into a zero-filled buffer of this size; the
// zero fill terminates the text, so a text has at most 4095 bytes.
inline constexpr std::size_t shaderTextCapacity = 4096;

// SOIL_FLAG_POWER_OF_TWO | SOIL_FLAG_DDS_LOAD_DIRECT.
inline constexpr unsigned int textureLoadFlags = 65;

// The window grows 3 % beyond the texture, computed in single precision.
inline constexpr float windowGrowth = 0.03f;
