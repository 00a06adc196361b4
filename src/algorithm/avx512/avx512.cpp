// The AVX-512 implementation, one unit: the shared headers first, then the
// AVX-512 region with this implementation's own pieces and its copies of the
// generic kernels, all in namespace tolvex::avx512. No kernel fuses a
// multiply and an add; only the double evaluations inside the correctly
// rounded exp and tanh do. Only the table leaves the unit, and its
// `supported` check is compiled outside the region, so no AVX-512 instruction
// runs before the CPU check.
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

#include "algorithm/avx512/begin.hpp"
namespace tolvex::avx512 {
#include "algorithm/avx512/lanes.hpp"
#include "algorithm/avx512/math.hpp"
#include "algorithm/avx512/linear.hpp"
#include "algorithm/avx512/linear_packed.hpp"
#include "algorithm/generic/linear.hpp"
#include "algorithm/generic/linear_batch.hpp"
#include "algorithm/generic/elementwise.hpp"
#include "algorithm/generic/table.hpp"
}  // namespace tolvex::avx512
#include "algorithm/avx512/end.hpp"
#endif

namespace tolvex::avx512 {

extern const KernelTable kTable;
#if defined(__x86_64__)
namespace {
// Outside the instruction-set region: it runs before the CPU is known.
bool supported() { return cpuSupports("avx512"); }
}  // namespace
constinit const KernelTable kTable = implementationTable("avx512", supported);
#else
constinit const KernelTable kTable{.name = "avx512"};
#endif

}  // namespace tolvex::avx512
