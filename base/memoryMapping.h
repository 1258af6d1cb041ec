#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <utility>

// A mapping made by mmap, unmapped when its owner goes.
class memoryMapping {
public:
    memoryMapping() = default;
    // Takes what mmap returned; MAP_FAILED holds nothing.
    memoryMapping(void* address, std::size_t length)
        : start(address == MAP_FAILED ? nullptr : address), bytes(start ? length : 0)
    {
    }
    memoryMapping(memoryMapping&& other) noexcept
        : start(std::exchange(other.start, nullptr)), bytes(std::exchange(other.bytes, 0))
    {
    }
    memoryMapping& operator=(memoryMapping&& other) noexcept
    {
        if (this != &other) {
            unmap();
            start = std::exchange(other.start, nullptr);
            bytes = std::exchange(other.bytes, 0);
        }
        return *this;
    }
    ~memoryMapping() { unmap(); }

    void* address() const { return start; }
    std::size_t length() const { return bytes; }
    bool isMapped() const { return start != nullptr; }
    void unmap()
    {
        if (start)
            munmap(start, bytes);
        start = nullptr;
        bytes = 0;
    }

private:
    void* start = nullptr;
    std::size_t bytes = 0;
};
