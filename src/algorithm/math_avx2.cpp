// AVX2 array forms of exp and tanh, and the out-of-line finish for lanes
// whose rounding test fails.
#include "algorithm/math_avx2.hpp"

namespace tolvex::math {
namespace avx2 {

__m256 finishLanes(__m256 result, __m256 x, int lanes, float (*f)(float)) {
    alignas(32) float in[8], out[8];
    _mm256_store_ps(in, x);
    _mm256_store_ps(out, result);
    for (int i = 0; i < 8; ++i)
        if (lanes & (1 << i)) out[i] = f(in[i]);
    return _mm256_load_ps(out);
}

namespace {

template <__m256 (*F8)(__m256)>
void runArray(const float* x, float* y, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, F8(_mm256_loadu_ps(x + i)));
    if (i < n) {
        // The tail goes through the same eight-wide code on a padded copy.
        alignas(32) float buf[8] = {};
        for (size_t k = i; k < n; ++k) buf[k - i] = x[k];
        _mm256_store_ps(buf, F8(_mm256_load_ps(buf)));
        for (size_t k = i; k < n; ++k) y[k] = buf[k - i];
    }
}

}  // namespace
}  // namespace avx2

void expArrayAvx2(const float* x, float* y, size_t n) { avx2::runArray<avx2::exp8>(x, y, n); }
void tanhArrayAvx2(const float* x, float* y, size_t n) { avx2::runArray<avx2::tanh8>(x, y, n); }

}  // namespace tolvex::math
