#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// The noise of a texture as bytes (noise.h), in a buffer of exactly its size.

struct noiseBuffer {
    struct freeBytes {
        void operator()(unsigned char* bytes) const { std::free(bytes); }
    };
    unsigned int width = 0;
    unsigned int height = 0;
    std::uint32_t seed = 0;
    std::size_t byteCount = 0;
    // Null when there was no memory for the bytes.
    std::unique_ptr<unsigned char, freeBytes> bytes;
};

// The width x height RGB noise of `seed`, in a buffer of exactly its size.
noiseBuffer makeNoiseBuffer(unsigned int width, unsigned int height, std::uint32_t seed);
