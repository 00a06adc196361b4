// The library-wide state behind the exported functions: the allocator that
// every exported function allocates from, and the mapping of internal errors
// to result codes.
#pragma once

#include "base/allocator.hpp"
#include "base/error.hpp"
#include "tolvex.h"

namespace tolvex {

// The allocator of cAllocator. Valid between tolvex_init and tolvex_deinit.
Allocator cAllocator();

tolvex_result errToResult(Error err);

// Test seam: routes cAllocator through `backing` until reset with nullptr.
// Not exported from the shared library.
void setCAllocatorBackingForTesting(const Allocator* backing);

}  // namespace tolvex
