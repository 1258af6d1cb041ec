#pragma once

#include <cstdlib>
#include <memory>

// A block from malloc, given back to free when its owner goes.
struct freeMallocBlock {
    void operator()(void* block) const { std::free(block); }
};
using mallocBlock = std::unique_ptr<void, freeMallocBlock>;
