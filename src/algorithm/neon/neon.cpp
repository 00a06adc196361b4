// The AArch64 Advanced SIMD (NEON) implementation, one unit: the shared
// headers first, then this implementation's own pieces and its copies of the
// generic kernels, all in namespace tolvex::neon. No kernel fuses a multiply
// and an add, and exp and tanh are evaluated as on the scalar path, so every
// result has the bits of every other implementation. On other architectures
// the unit holds only an empty table that is never supported.
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#include "algorithm/cpu.hpp"
#include "algorithm/kernels.hpp"
#include "algorithm/linear_schedule.hpp"
#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

#if defined(__aarch64__)
#include <arm_neon.h>

#include "algorithm/neon/begin.hpp"
namespace tolvex::neon {
#include "algorithm/generic/linear_quad.hpp"
#include "algorithm/neon/lanes.hpp"
#include "algorithm/generic/math.hpp"
#include "algorithm/neon/linear.hpp"
#include "algorithm/neon/linear_packed.hpp"
#include "algorithm/generic/linear.hpp"
#include "algorithm/generic/linear_batch.hpp"
#include "algorithm/generic/elementwise.hpp"
#include "algorithm/generic/table.hpp"
}  // namespace tolvex::neon
#include "algorithm/neon/end.hpp"
#endif

namespace tolvex::neon {

extern const KernelTable kTable;
#if defined(__aarch64__)
namespace {
// Outside the instruction-set region: it runs before the CPU is known.
bool supported() { return cpuSupports("neon"); }
}  // namespace
constinit const KernelTable kTable = implementationTable("neon", supported);
#else
constinit const KernelTable kTable{.name = "neon"};
#endif

}  // namespace tolvex::neon
