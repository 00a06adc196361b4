// Fully connected layer with AVX-512F (no FMA: every product is rounded
// before it is added).
//
// One zmm register holds the 16 lane accumulators of one neuron, so the
// kernel follows the logical layout directly: rows are taken 8 at a time over
// the whole input, each 16-value input chunk loaded once per 8 rows. The
// accumulators of 16 neurons are then transposed, so that one vector
// addition advances the in-order lane reduction of all 16 at once; the tail
// products go through the same transpose and are added after the bias. A
// matrix too large for L1 is read with aligned loads where the row length
// allows it (accumulateRowsAligned). The groups of neurons are visited in the
// pass's GroupOrder, ascending and descending on alternate passes.
//
// A layer with a packed copy of its weights made for this input length runs
// over that copy instead (linear_packed_avx512.cpp); this file serves
// the layers without one: large ones, and inputs of another length.
//
// The instruction set is enabled for this file's own functions only, after
// the shared headers: nothing inline from them is compiled with AVX-512.
#if defined(__x86_64__)

#include <immintrin.h>

#include "algorithm/kernels.hpp"

#include "algorithm/avx512_begin.hpp"
#include "algorithm/lanes_avx512.hpp"

namespace tolvex {

namespace {

constexpr size_t kLanes = 16;
constexpr size_t kRowsPerBlock = 8;
constexpr size_t kNeuronsPerGroup = 16;

// Lane accumulators and tail products of one group of 16 neurons, neuron k
// in row k. Rows past the end of a short last group are zero.
struct alignas(64) GroupState {
    float acc[kNeuronsPerGroup][kLanes];
    float tail[kNeuronsPerGroup][kLanes];
};

using avx512::firstLanes;

// Rows of up to this many floats are short streams that the hardware
// prefetcher picks up late; for them the rows of the next block are fetched
// into L1 while the current block runs. Longer rows stream well on their own.
constexpr size_t kPrefetchMaxRow = 512;

// Prefetches the line `floats` floats after (or, when negative, before) p. The
// last block of a pass fetches outside the weights; a prefetch never faults,
// and the address is formed as an integer so no out-of-range pointer is made.
void prefetchAhead(const float* p, ptrdiff_t floats) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(floats) * sizeof(float);
    _mm_prefetch(reinterpret_cast<const char*>(address), _MM_HINT_T0);
}

// The products of the L % 16 trailing inputs with K rows, for the tail.
template <size_t K>
void storeTailProducts(const float* x, const float* w, size_t L, float (*tail)[kLanes]) {
    const size_t v = L / kLanes * kLanes, tail_len = L % kLanes;
    if (tail_len == 0) return;
    const __mmask16 m = firstLanes(tail_len);
    const __m512 xt = _mm512_maskz_loadu_ps(m, x + v);
    for (size_t k = 0; k < K; ++k)
        _mm512_store_ps(tail[k], _mm512_mul_ps(xt, _mm512_maskz_loadu_ps(m, w + k * L + v)));
}

// Accumulates K rows starting at w (row stride L) against x, and stores their
// lane accumulators and (when L % 16 != 0) their tail products. With
// kPrefetchNext, each row's lines are fetched `ahead` floats away: the rows
// the pass reads next.
template <size_t K, bool kPrefetchNext>
[[gnu::always_inline]] inline void accumulateRows(const float* x, const float* w, size_t L, float (*acc)[kLanes],
                                                  float (*tail)[kLanes], ptrdiff_t ahead) {
    const size_t v = L / kLanes * kLanes;
    const float* row[K];
    for (size_t k = 0; k < K; ++k) row[k] = w + k * L;

    __m512 a[K];
    for (size_t k = 0; k < K; ++k) a[k] = _mm512_setzero_ps();
#pragma GCC unroll 2
    for (size_t i = 0; i < v; i += kLanes) {
        if (kPrefetchNext)
            for (size_t k = 0; k < K; ++k) prefetchAhead(row[k] + i, ahead);
        const __m512 xi = _mm512_loadu_ps(x + i);
        for (size_t k = 0; k < K; ++k) a[k] = _mm512_add_ps(a[k], _mm512_mul_ps(xi, _mm512_loadu_ps(row[k] + i)));
    }
    for (size_t k = 0; k < K; ++k) _mm512_store_ps(acc[k], a[k]);
    storeTailProducts<K>(x, w, L, tail);
}

// The same accumulation with aligned loads, for matrices that stream from
// L2 or memory, where a load that straddles two cache lines costs nearly as
// much as two. With L % 16 == 0 every row starts `shift` floats past a
// 64-byte boundary; reading it from that boundary puts logical lane l of every
// chunk into register lane (l + shift) mod 16, the same lane for every chunk,
// so each lane still sees its products in chunk order. The first and last
// aligned blocks are masked to the row, and one permutation per row at the
// end restores the logical lane order. The input is read at the same shift.
template <size_t K>
[[gnu::always_inline]] inline void accumulateRowsAligned(const float* x, const float* w, size_t L, size_t shift,
                                                         float (*acc)[kLanes]) {
    const size_t chunks = L / kLanes;
    const uintptr_t xb = reinterpret_cast<uintptr_t>(x) - shift * sizeof(float);
    uintptr_t wb[K];
    for (size_t k = 0; k < K; ++k) wb[k] = reinterpret_cast<uintptr_t>(w + k * L) - shift * sizeof(float);
    auto at = [](uintptr_t base, size_t t) { return reinterpret_cast<const float*>(base + 64 * t); };
    const __mmask16 first = static_cast<__mmask16>(0xFFFFu << shift), last = static_cast<__mmask16>(~first);

    __m512 a[K];
    const __m512 x0 = _mm512_maskz_loadu_ps(first, at(xb, 0));
    for (size_t k = 0; k < K; ++k)
        a[k] = _mm512_maskz_add_ps(first, _mm512_setzero_ps(),
                                   _mm512_mul_ps(x0, _mm512_maskz_load_ps(first, at(wb[k], 0))));
#pragma GCC unroll 2
    for (size_t t = 1; t < chunks; ++t) {
        const __m512 xt = _mm512_loadu_ps(at(xb, t));
        for (size_t k = 0; k < K; ++k) a[k] = _mm512_add_ps(a[k], _mm512_mul_ps(xt, _mm512_load_ps(at(wb[k], t))));
    }
    const __m512 xl = _mm512_maskz_loadu_ps(last, at(xb, chunks));
    const __m512i rotate = _mm512_and_si512(
        _mm512_add_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                         _mm512_set1_epi32(static_cast<int>(shift))),
        _mm512_set1_epi32(kLanes - 1));
    for (size_t k = 0; k < K; ++k) {
        a[k] = _mm512_mask_add_ps(a[k], last, a[k], _mm512_mul_ps(xl, _mm512_maskz_load_ps(last, at(wb[k], chunks))));
        _mm512_store_ps(acc[k], _mm512_permutexvar_ps(rotate, a[k]));
    }
}

template <size_t K, bool kAligned, bool kPrefetchNext>
[[gnu::always_inline]] inline void accumulateBlock(const float* x, const float* w, size_t L, size_t shift,
                                                   GroupState& st, size_t k, ptrdiff_t ahead = 0) {
    if constexpr (kAligned)
        accumulateRowsAligned<K>(x, w + k * L, L, shift, st.acc + k);
    else
        accumulateRows<K, kPrefetchNext>(x, w + k * L, L, st.acc + k, st.tail + k, ahead);
}

// Accumulates m rows (1..16) of one group into st: 8 rows at a time, the
// rest 4 and 1 at a time. Only full blocks fetch ahead.
template <bool kAligned, bool kPrefetchNext>
[[gnu::always_inline]] inline void accumulateGroup(const float* x, const float* w, size_t L, size_t shift, size_t m, GroupState& st, const GroupOrder& order) {
    size_t k = 0;
    for (; k + kRowsPerBlock <= m; k += kRowsPerBlock)
        accumulateBlock<kRowsPerBlock, kAligned, kPrefetchNext>(x, w, L, shift, st, k, order.nextRows(k, kRowsPerBlock, m, L));
    if (k + 4 <= m) {
        accumulateBlock<4, kAligned, false>(x, w, L, shift, st, k);
        k += 4;
    }
    for (; k < m; ++k) accumulateBlock<1, kAligned, false>(x, w, L, shift, st, k);
}

// out[c][k] = rows[k][c] for the columns c < 4 * quarters of the 16x16
// block. Each register first gathers, with merge-masked 128-bit broadcasts
// from memory, the same column quarter of rows r, r+4, r+8 and r+12; only the
// 4x4 transposes inside each 128-bit lane then need shuffle instructions.
void transpose16(const float (*rows)[kLanes], size_t quarters, __m512* out) {
    for (size_t q = 0; q < quarters; ++q) {
        const size_t c = 4 * q;
        __m512 a[4];
        for (size_t r = 0; r < 4; ++r) {
            __m512 v = _mm512_broadcast_f32x4(_mm_load_ps(rows[r] + c));
            v = _mm512_mask_broadcast_f32x4(v, 0x00F0, _mm_load_ps(rows[r + 4] + c));
            v = _mm512_mask_broadcast_f32x4(v, 0x0F00, _mm_load_ps(rows[r + 8] + c));
            a[r] = _mm512_mask_broadcast_f32x4(v, 0xF000, _mm_load_ps(rows[r + 12] + c));
        }
        const __m512 u0 = _mm512_unpacklo_ps(a[0], a[1]), u1 = _mm512_unpackhi_ps(a[0], a[1]);
        const __m512 u2 = _mm512_unpacklo_ps(a[2], a[3]), u3 = _mm512_unpackhi_ps(a[2], a[3]);
        out[c + 0] = _mm512_shuffle_ps(u0, u2, 0x44);
        out[c + 1] = _mm512_shuffle_ps(u0, u2, 0xEE);
        out[c + 2] = _mm512_shuffle_ps(u1, u3, 0x44);
        out[c + 3] = _mm512_shuffle_ps(u1, u3, 0xEE);
    }
}

// Finishes m neurons (1..16): lane sums in lane order, plus bias, plus the
// tail products in order; writes exactly m outputs.
void reduceGroup(const GroupState& st, size_t L, const float* bias, float* out, size_t m) {
    const size_t tail_len = L % kLanes;
    const __mmask16 mask = firstLanes(m);
    __m512 s = _mm512_setzero_ps();  // the lane sums are +0.0 without a chunk
    if (L >= kLanes) {
        __m512 col[kLanes];
        transpose16(st.acc, 4, col);
        s = col[0];
        for (size_t l = 1; l < kLanes; ++l) s = _mm512_add_ps(s, col[l]);
    }
    __m512 v = _mm512_add_ps(_mm512_maskz_loadu_ps(mask, bias), s);
    if (tail_len != 0) {
        __m512 col[kLanes];
        transpose16(st.tail, (tail_len + 3) / 4, col);
        for (size_t l = 0; l < tail_len; ++l) v = _mm512_add_ps(v, col[l]);
    }
    _mm512_mask_storeu_ps(out, mask, v);
}

// Every group of the layer in the pass's order, its rows read as the template
// arguments say.
template <bool kAligned, bool kPrefetchNext>
void runGroups(const float* x, const float* w, const float* b, float* y, size_t out, size_t L, size_t shift,
               GroupOrder order) {
    GroupState st;
    for (size_t i = 0; i < order.groups; ++i) {
        const size_t n = order.groupAt(i) * kNeuronsPerGroup;
        const size_t m = out - n < kNeuronsPerGroup ? out - n : kNeuronsPerGroup;
        if (m < kNeuronsPerGroup) {
            for (size_t k = m; k < kNeuronsPerGroup; ++k)
                for (size_t l = 0; l < kLanes; ++l) st.acc[k][l] = st.tail[k][l] = 0.0f;
        }
        accumulateGroup<kAligned, kPrefetchNext>(x, w + n * L, L, shift, m, st, order);
        reduceGroup(st, L, b + n, y + n, m);
    }
}

}  // namespace

void runLinearAvx512(const Layer& layer, Slice<const float> input) {
    const size_t out = layer.out_buf.len, L = input.len;
    const float* x = input.ptr;
    const float* w = layer.cfg.linear.weights;
    const float* b = layer.cfg.linear.biases;
    float* y = layer.out_buf.ptr;
    if (out == 0) return;
    if (layer.packed.data.len != 0 && layer.packed.row_len == L) return runLinearPackedAvx512(layer, input);
    if (L == 0) {
        for (size_t n = 0; n < out; ++n) y[n] = b[n] + 0.0f;
        return;
    }

    const GroupOrder order(layer, L, kNeuronsPerGroup);
    // Matrices that stay in L1 are read with plain unaligned loads. Larger
    // ones are read with aligned loads when every row starts at the same
    // offset within a cache line (L % 16 == 0); otherwise realigning the
    // input for each row would cost more than the split loads it saves, and
    // short rows get the next block fetched ahead instead.
    if (L < kLanes || out * L <= kL1Weights) return runGroups<false, false>(x, w, b, y, out, L, 0, order);
    if (L % kLanes == 0) {
        const size_t shift = (reinterpret_cast<uintptr_t>(w) % 64) / sizeof(float);
        return runGroups<true, false>(x, w, b, y, out, L, shift, order);
    }
    if (L <= kPrefetchMaxRow) return runGroups<false, true>(x, w, b, y, out, L, 0, order);
    runGroups<false, false>(x, w, b, y, out, L, 0, order);
}

}  // namespace tolvex

#include "algorithm/avx512_end.hpp"

#endif
