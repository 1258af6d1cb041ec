#pragma once

#include <cstddef>
#include <vector>

// A deflate coder for bytes that are mostly noise with runs in between, such
// as a decoded picture's rows filtered against the rows above: every byte is
// coded by its frequency (one Huffman code per block) and a byte repeated at
// least three times becomes one match at distance 1. That is what zlib's
// fastest settings find in such bytes too, at a few times their speed, and
// parts of one stream can be coded on different threads.
//
// Appends the raw deflate blocks (RFC 1951, no zlib header) of `size` bytes
// to `out`. A part that is not `last` ends on a byte boundary with an empty
// stored block, so that the next part's blocks can follow it directly; the
// last part's final block closes the stream. Matches never reach before
// `bytes`, so each part stands on its own.
void appendRunDeflate(const unsigned char* bytes, std::size_t size, bool last, std::vector<unsigned char>& out);
