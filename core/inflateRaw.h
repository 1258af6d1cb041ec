#pragma once

#include <zlib.h>

#include <cstddef>

// Inflates one raw DEFLATE stream (no zlib header, no Adler-32 trailer) in a
// single call, like zlib's uncompress(). `destinationLength` holds the room in
// `destination` on entry and the number of bytes produced on success. Returns
// 0 on success, a negative zlib status otherwise (Z_BUF_ERROR when the text does
// not fit, Z_DATA_ERROR for a damaged stream). Nothing is terminated: a caller
// that wants a C string zero-fills the buffer first and leaves one byte spare.
int inflateRaw(Bytef* destination, uLongf* destinationLength, const Bytef* source, uLong sourceLength);

// Each shader text is inflated into a zero-filled buffer of this size; the
// zero fill terminates the text, so a text has at most 4095 bytes.
inline constexpr std::size_t shaderTextCapacity = 4096;

// Inflates a raw DEFLATE shader text into a zero-filled buffer; false when the
// blob does not inflate or does not fit.
bool inflateShaderText(char (&text)[shaderTextCapacity], const unsigned char* blob, std::size_t blobLength);
