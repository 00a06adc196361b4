// The AArch64 Advanced SIMD (NEON) implementation. (Placeholder table until
// the kernels land: never supported.)
#include "algorithm/kernels.hpp"

namespace tolvex::neon {

extern const KernelTable kTable;
const KernelTable kTable{.name = "neon"};

}  // namespace tolvex::neon
