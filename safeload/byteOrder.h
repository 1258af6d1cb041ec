#pragma once

#include <cstdint>

// Whole numbers as image files store them, in either byte order. The caller
// has checked that the bytes are there.

inline std::uint16_t littleEndian16(const unsigned char* bytes)
{
    return std::uint16_t(bytes[0] | bytes[1] << 8);
}

inline std::uint32_t littleEndian32(const unsigned char* bytes)
{
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16
        | std::uint32_t(bytes[3]) << 24;
}

inline std::uint16_t bigEndian16(const unsigned char* bytes)
{
    return std::uint16_t(bytes[0] << 8 | bytes[1]);
}

inline std::uint32_t bigEndian32(const unsigned char* bytes)
{
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 | std::uint32_t(bytes[2]) << 8
        | std::uint32_t(bytes[3]);
}
