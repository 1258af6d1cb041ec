#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

// The noise of a texture as bytes (noise.h), and the encoder's noise made
// ahead: while the image decodes, for the texture size its file declares, so
// that the noise costs no time of its own when the guess comes true.

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

// Makes the noise for the texture size guessTextureSize gives for the image
// being decoded, seeded from the clock now; nothing without a guess.
void makeNoiseAheadOfImage();

// The noise of a clock-seeded texture of this size: the noise made ahead, with
// its seed, when it has this size; otherwise noise seeded from the clock now.
noiseBuffer takeClockSeededNoise(unsigned int width, unsigned int height);
