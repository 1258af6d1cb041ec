#pragma once

#include <cstddef>

// The two shader texts as raw DEFLATE streams, made at build time from
// core/shaders/ by the deflate-blob tool (tools/). No stream carries a
// terminating zero; the lengths are whatever the compressor produced.
extern const unsigned char vertexShaderBlob[];
extern const std::size_t vertexShaderBlobLength;
extern const unsigned char fragmentShaderBlob[];
extern const std::size_t fragmentShaderBlobLength;
