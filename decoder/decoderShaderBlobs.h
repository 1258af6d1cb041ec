#pragma once

#include <cstddef>

// The decoder's two fragment texts as raw DEFLATE streams, derived at build
// time from the encoder's fragment text (deriveShaders.cmake) and compressed
// by the deflate-blob tool (tools/). The vertex text is the encoder's own.
extern const unsigned char decodeFragmentShaderBlob[];
extern const std::size_t decodeFragmentShaderBlobLength;
extern const unsigned char shiftFragmentShaderBlob[];
extern const std::size_t shiftFragmentShaderBlobLength;
