#pragma once

#include "safeload/imageSandbox.h"

#include <cstdint>

// Decoding an image while the program sets up. startImageDecode reads the
// file and forks the sandboxed decoder child (imageSandbox.h); the loader
// (safeImageLoad.h) waits for that child when it is asked for the same path,
// and otherwise does the same work itself. Starting early changes nothing in
// what a load gives, only when its work happens. Call everything here from the
// program's main thread: the child is killed when the thread that forked it
// ends.

// Starts decoding `path`. Needs a current OpenGL context, whose largest
// texture sets the limits as the loader sets them; without one, for a file
// that cannot be read, or for a DDS file (which may be uploaded as it is), it
// starts nothing.
void startImageDecode(const char* path);

// The texture size the started decode will most likely give: the sides its
// file's header declares (PNG and BMP), raised to powers of two as the loader
// raises them. False when there is no such header or no started decode, when
// a side is beyond the driver's largest texture, or when the header declares
// more texels than the sandbox credits the file with (creditedPixels): a
// header may lie, and what is made for a guess must cost no more than the
// decode of such a file may.
bool guessTextureSize(std::uint32_t& width, std::uint32_t& height);

// For the loader: when a decode of `path` was started, waits for it and gives
// its result.
bool takeStartedDecode(const char* path, sandboxDecodeResult& result);
