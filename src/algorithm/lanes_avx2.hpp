// Lane masks and the element-wise loop shared by the AVX2 kernels. Only for
// files compiled with AVX2 as a whole (*_avx2.cpp): every copy of these inline
// functions then carries AVX2 code, and none is reachable before the CPU check.
#pragma once

#ifndef __AVX2__
#error "lanes_avx2.hpp is for translation units compiled with AVX2 (*_avx2.cpp)"
#endif

#include <immintrin.h>

#include "algorithm/kernels.hpp"

namespace tolvex::avx2 {

// Mask of the first r lanes, r in 0..8.
inline __m256i firstLanes(size_t r) {
    alignas(32) static const int32_t kMask[16] = {-1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0, 0, 0, 0};
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kMask + 8 - r));
}

// Applies f to the n = out_buf.len elements, 8 at a time; the last partial
// vector goes through a masked load and store, so nothing outside [0, n) is
// touched (the masked-off lanes compute on zeros).
template <class F>
void mapVectors(const Layer& layer, Slice<const float> input, F f) {
    const size_t n = layer.out_buf.len;
    const float* x = input.ptr;
    float* y = layer.out_buf.ptr;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, f(_mm256_loadu_ps(x + i)));
    if (i < n) {
        const __m256i m = firstLanes(n - i);
        _mm256_maskstore_ps(y + i, m, f(_mm256_maskload_ps(x + i, m)));
    }
}

}  // namespace tolvex::avx2
