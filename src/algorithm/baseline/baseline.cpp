// The portable implementation, one unit: plain C++ on the compiler's generic
// vectors, for every architecture (and the only one on those without a
// table of their own). It keeps no packed copy of the weights.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

#include "algorithm/kernels.hpp"
#include "algorithm/linear_schedule.hpp"
#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

namespace tolvex::baseline {
#include "algorithm/generic/linear_quad.hpp"
#include "algorithm/baseline/lanes.hpp"
#include "algorithm/generic/math.hpp"
#include "algorithm/baseline/linear.hpp"
#include "algorithm/generic/linear.hpp"
#include "algorithm/generic/linear_batch.hpp"
#include "algorithm/generic/elementwise.hpp"
#include "algorithm/generic/table.hpp"

namespace {
bool always() { return true; }
}  // namespace

extern const KernelTable kTable;
constinit const KernelTable kTable = implementationTable("baseline", always);

}  // namespace tolvex::baseline
