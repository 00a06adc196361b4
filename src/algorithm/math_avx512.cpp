// AVX-512 array forms of exp and tanh, sixteen values at a time.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

#include "algorithm/avx512_begin.hpp"
#include "algorithm/lanes_avx512.hpp"

#include "algorithm/math_avx512.hpp"

namespace tolvex::math {

void expArrayAvx512(const float* x, float* y, size_t n) {
    const avx512::Pow2Table16 table;
    tolvex::avx512::mapArray(x, y, n, [&](__m512 v) { return avx512::exp16(v, table); });
}

void tanhArrayAvx512(const float* x, float* y, size_t n) {
    const avx512::Pow2Table16 table;
    tolvex::avx512::mapArray(x, y, n, [&](__m512 v) { return avx512::tanh16(v, table); });
}

}  // namespace tolvex::math

#include "algorithm/avx512_end.hpp"

#endif
