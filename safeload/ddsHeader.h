#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What SOIL's direct DDS upload would do with a file, decided from its bytes
// alone before SOIL sees them.
enum class ddsDirectVerdict {
    notDirect, // SOIL would not upload it directly and decodes it like any image
    safe, // SOIL may upload it directly: every size it reads is inside the file
    refused, // SOIL would upload it directly but would read or write out of bounds
};

struct ddsDirectCheck {
    ddsDirectVerdict verdict = ddsDirectVerdict::notDirect;
    uint32_t width = 0;
    uint32_t height = 0;
    std::string reason; // why it was refused
};

// Checks a DDS file against what SOIL_direct_load_DDS_from_memory does with it:
// the same acceptance rules as SOIL, then the dimensions (1 to maxTextureSize),
// the pixel format, the mipmap count, and the bytes every level upload reads
// against both SOIL's buffer and the file's length, all without overflow.
ddsDirectCheck checkDdsForDirectUpload(const unsigned char* bytes, size_t length, uint32_t maxTextureSize);
