// The AVX2 implementation (without FMA), one unit: the shared headers first,
// then the AVX2 region with this implementation's own pieces and its copies of
// the generic kernels, all in namespace tolvex::avx2. Only the table leaves
// the unit, and its `supported` check is compiled outside the region, so no
// AVX2 instruction runs before the CPU check.
#include <bit>
#include <cstdint>
#include <utility>

#include "algorithm/cpu.hpp"
#include "algorithm/kernels.hpp"
#include "algorithm/linear_schedule.hpp"
#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include "algorithm/avx2/begin.hpp"
namespace tolvex::avx2 {
#include "algorithm/avx2/lanes.hpp"
#include "algorithm/generic/math.hpp"
#include "algorithm/avx2/linear.hpp"
#include "algorithm/avx2/linear_packed.hpp"
#include "algorithm/generic/linear.hpp"
#include "algorithm/generic/linear_batch.hpp"
#include "algorithm/generic/elementwise.hpp"
#include "algorithm/generic/table.hpp"
}  // namespace tolvex::avx2
#include "algorithm/avx2/end.hpp"
#endif

namespace tolvex::avx2 {

extern const KernelTable kTable;
#if defined(__x86_64__)
namespace {
// Outside the instruction-set region: it runs before the CPU is known.
bool supported() { return cpuSupports("avx2"); }
}  // namespace
constinit const KernelTable kTable = implementationTable("avx2", supported);
#else
constinit const KernelTable kTable{.name = "avx2"};
#endif

}  // namespace tolvex::avx2
