#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>

// Memory fresh from the system costs a page fault every 4 KiB on its first
// write; in huge pages, one every 2 MiB. Large buffers that are written once
// whole (the noise, the pixels read from the image decoder's child) ask for
// them where the system allows.

inline constexpr std::uintptr_t hugePageSize = std::uintptr_t{2} << 20;

// The first huge-page boundary at or after `address`.
inline std::uintptr_t hugePageAbove(std::uintptr_t address)
{
    return (address + hugePageSize - 1) & ~(hugePageSize - 1);
}

// Asks for huge pages for the whole huge pages within [bytes, bytes + length).
inline void adviseHugePages(void* bytes, std::size_t length)
{
    const std::uintptr_t first = reinterpret_cast<std::uintptr_t>(bytes);
    const std::uintptr_t start = hugePageAbove(first);
    const std::uintptr_t end = (first + length) & ~(hugePageSize - 1);
    if (end > start)
        madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}
