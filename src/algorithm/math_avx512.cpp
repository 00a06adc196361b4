// AVX-512 array forms of exp and tanh, sixteen values at a time.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12 reports the deliberately undefined source operand inside some
// AVX-512 intrinsics as (maybe) uninitialized (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include "algorithm/math_avx512.hpp"

namespace tolvex::math {
namespace {

__mmask16 firstLanes(size_t r) { return static_cast<__mmask16>((1u << r) - 1u); }

// The tail goes through the same sixteen-wide code with masked-off lanes
// computing on zeros, so nothing outside [0, n) is touched.
template <class F>
void runArray(const float* x, float* y, size_t n, F f) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(y + i, f(_mm512_loadu_ps(x + i)));
    if (i < n) {
        const __mmask16 m = firstLanes(n - i);
        _mm512_mask_storeu_ps(y + i, m, f(_mm512_maskz_loadu_ps(m, x + i)));
    }
}

}  // namespace

void expArrayAvx512(const float* x, float* y, size_t n) {
    const avx512::Table64 exp2(detail::kExp2Table);
    runArray(x, y, n, [&](__m512 v) { return avx512::exp16(v, exp2); });
}

void tanhArrayAvx512(const float* x, float* y, size_t n) {
    const avx512::TanhTable table;
    runArray(x, y, n, [&](__m512 v) { return avx512::tanh16(v, table); });
}

}  // namespace tolvex::math

#pragma GCC diagnostic pop
#pragma GCC pop_options

#endif
