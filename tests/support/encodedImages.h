#pragma once

// Checking the programs' images: the BMP files they write, the texture their
// shader samples for an input, and whether an output is the encoding of it.

#include "tests/support/testSupport.h"

#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

struct rgbImage {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rgb; // top row first, red, green, blue
};

// Reads a 24-bit BMP as the programs write it; throws at the first difference
// from that layout (header fields, zero padding, file length).
rgbImage readBmp(const std::string& path);

// Negates the height field of the BMP at `path` and keeps its pixel bytes, so
// that readers take its rows top row first: the picture upside down.
void negateBmpHeight(const std::string& path);

// The texture the encoder's shader samples for `image`: SOIL's own (possibly
// up-scaled) copy, read back from OpenGL by pixveil-reference-texture; for a
// JPEG, of the pixels ImageMagick decodes.
rgbImage referenceTexture(const std::string& image);

// The pixels of `output` that are not `input` rotated left by one amount
// (0 to 7, the same for the three channels) and XORed with the noise of
// `seed`, each sample before its rotation within `tolerance` of the input's;
// `rotationsUsed` collects the amounts found. A size mismatch counts every
// pixel.
std::size_t wrongPixels(const rgbImage& input, const rgbImage& output, std::uint32_t seed,
                        std::bitset<8>* rotationsUsed = nullptr, int tolerance = 0);

// What a successful encoder run prints: the shader library's capability
// report and the three log blocks of the program build (Mesa's are empty).
extern const char* const encoderSuccessOutput;

// `image` with "_enc.bmp" in place of its extension.
std::string encodedPathOf(const std::string& image);

// Encodes `image` with the clock pinned to `seed` and expects a clean run
// whose output is the encoding of `texture`, within `tolerance` a sample.
void expectEncodingOf(const rgbImage& texture, const std::string& image, std::uint32_t seed = pinnedSeed,
                      std::bitset<8>* rotationsUsed = nullptr, int tolerance = 0);

// expectEncodingOf SOIL's texture of the input, which it returns.
rgbImage encodeFaithfully(const std::string& image, std::uint32_t seed = pinnedSeed,
                          std::bitset<8>* rotationsUsed = nullptr);

// A folder "in" holding a 64 x 32 photo.png, encoded faithfully beside it at
// the pinned clock, and an empty folder "out", in `folder`: the setting of
// the output-folder tests.
struct inputAndOutputFolders {
    std::string inputs;
    std::string outputs;
    std::string image;
};
inputAndOutputFolders makeEncodedInputAndOutputFolders(const std::string& folder);
