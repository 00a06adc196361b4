// Lane masks and the element-wise loop shared by the AVX-512 kernels. Include
// only after avx512_begin.hpp, so every copy of these inline functions carries
// AVX-512 code and is compiled only in files that enable it.
#pragma once

#include <immintrin.h>

#include <cstddef>

namespace tolvex::avx512 {

// Mask of the first r lanes, r in 0..16.
inline __mmask16 firstLanes(size_t r) { return static_cast<__mmask16>((1u << r) - 1u); }

// y[i] = f(x[i]) for i < n, 16 at a time; the last partial vector goes
// through a masked load and store (the masked-off lanes compute on zeros), so
// nothing outside [0, n) is touched. x and y may be the same array.
template <class F>
void mapArray(const float* x, float* y, size_t n, F f) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(y + i, f(_mm512_loadu_ps(x + i)));
    if (i < n) {
        const __mmask16 m = firstLanes(n - i);
        _mm512_mask_storeu_ps(y + i, m, f(_mm512_maskz_loadu_ps(m, x + i)));
    }
}

}  // namespace tolvex::avx512
