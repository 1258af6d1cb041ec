#pragma once

#include <spng.h>

#include <cstddef>

// The common PNG, 8-bit grey, grey and alpha, RGB or RGBA, not interlaced and
// without a colour key, decoded in one piece: its image chunks checked and
// joined, inflated at once by libdeflate into a buffer of the size the header
// gives, and unfiltered. libspng inflates with zlib in small pieces, which
// takes about one and a half times as long.
//
// Nothing here decides what is accepted. It reads a file only when every byte
// it looks at is sound, and says no otherwise (a bad checksum, an unusual
// chunk order, a stream that is short or long, memory it cannot have); the
// caller then decodes with libspng alone, which gives its own answer. The
// chunks after the image go to libspng all the same (see the source).

// Whether decodePngWhole may read an image of this header; `transparency` is
// what spng_get_trns answered, having checked every chunk before the image.
bool suitsWholeDecode(const spng_ihdr& header, int transparency);

// Fills `pixels` with the image as libspng lays out its 8-bit `format` (grey,
// grey and alpha, RGB or RGBA, rows top first); false when it cannot.
bool decodePngWhole(const unsigned char* bytes, size_t length, const spng_ihdr& header, int format, int channels,
    unsigned char* pixels);
