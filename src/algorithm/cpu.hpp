// What the CPU and its operating system can run, for the kernel tables.
#pragma once

#include <string_view>

namespace tolvex {

// Whether this CPU and operating system can run the instruction set `isa`
// names ("avx2", "avx512", "neon"); false for a name of another
// architecture's, or one it does not know.
bool cpuSupports(std::string_view isa);

}  // namespace tolvex
