#pragma once

#include "safeload/imageSandbox.h"

#include <cstdint>
#include <vector>

// Decoding an image while the program sets up. startImageDecode reads the file
// and runs the sandboxed decoder (imageSandbox.h) on a thread of its own; the
// loader (safeImageLoad.h) takes the result when it is asked for the same path,
// and otherwise does the same work itself, so starting early changes what a
// load gives in no way, only when its work happens.

// Starts decoding `path`. Needs a current OpenGL context, whose largest
// texture sets the limits as the loader sets them; without one, for a file
// that cannot be read or for a DDS file (which may be uploaded as it is), it
// starts nothing.
void startImageDecode(const char* path);

// The texture size the started decode will most likely give: the sides its
// file's header declares (PNG and BMP), raised to powers of two. False when
// there is no such header, no decode was started, or the size is out of
// proportion to the file (a header may lie), so that nothing costly is made
// for a guess.
bool guessTextureSize(std::uint32_t& width, std::uint32_t& height);

// For the loader: when a decode of `path` was started, waits for it and hands
// over the file's bytes and the decode's result.
bool takeStartedDecode(const char* path, std::vector<unsigned char>& bytes, sandboxDecodeResult& result);
