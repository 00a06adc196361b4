// The AVX-512 fully connected layer on the row-major matrix: the traits that
// generic/linear.hpp drives. Part of the AVX-512 unit (avx512.cpp): included
// inside namespace tolvex::avx512 and its target region. No FMA: every
// product is rounded before it is added.
//
// One zmm register holds the 16 lane accumulators of one neuron, so the
// kernel follows the logical layout directly: rows are taken 8 at a time over
// the whole input, each 16-value input chunk loaded once per 8 rows. The
// accumulators of 16 neurons are then transposed, so that one vector
// addition advances the in-order lane reduction of all 16 at once; the tail
// products go through the same transpose and are added after the bias. A
// matrix too large for L1 is read with aligned loads where the row length
// allows it (accumulateAligned).

struct RowMajor {
    static constexpr size_t kLanes = kLinearLanes;
    static constexpr size_t kNeuronsPerGroup = 16;
    static constexpr size_t kRowsPerBlock = 8;
    using RemainderBlocks = std::index_sequence<4, 1>;
    static constexpr size_t kAlignBytes = 64;
    // Rows of up to this many floats are short streams that the hardware
    // prefetcher picks up late; for them the rows of the next block are
    // fetched into L1 while the current block runs. Longer rows stream well
    // on their own.
    static constexpr size_t kPrefetchMaxRow = 512;
    static constexpr const PackedLayout* kPackedLayout = &kGroups16;
    // Batches: 4 rows x 6 inputs of zmm accumulators on the row-major matrix
    // (24 of the 32 registers), 4 lanes x 4 inputs on the packed copy.
    static constexpr size_t kBatchRows = 4;
    static constexpr size_t kBatchSamples = 6;
    static constexpr size_t kPackedLanes = 4;
    static constexpr size_t kPackedSamples = 4;

    using GroupState = LaneState<kNeuronsPerGroup>;

    template <size_t K, RowRead kRead>
    [[gnu::always_inline]] static void accumulateRows(const float* x, const float* w, size_t L, size_t shift,
                                                      ptrdiff_t ahead, float (*acc)[kLanes], float (*tail)[kLanes]) {
        if constexpr (kRead == RowRead::aligned)
            accumulateAligned<K>(x, w, L, shift, acc);
        else
            accumulate<K, kRead == RowRead::prefetch>(x, w, L, acc, tail, ahead);
    }

    // The products of the L % 16 trailing inputs with K rows, for the tail.
    template <size_t K>
    static void storeTailProducts(const float* x, const float* w, size_t L, float (*tail)[kLanes]) {
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
    [[gnu::always_inline]] static void accumulate(const float* x, const float* w, size_t L, float (*acc)[kLanes],
                                                      float (*tail)[kLanes], ptrdiff_t ahead) {
        const size_t v = L / kLanes * kLanes;
        const float* row[K];
        for (size_t k = 0; k < K; ++k) row[k] = w + k * L;

        __m512 a[K];
        for (size_t k = 0; k < K; ++k) a[k] = _mm512_setzero_ps();
    #pragma GCC unroll 2
        for (size_t i = 0; i < v; i += kLanes) {
            if (kPrefetchNext)
                for (size_t k = 0; k < K; ++k) prefetchLine(row[k] + i, ahead);
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
    [[gnu::always_inline]] static void accumulateAligned(const float* x, const float* w, size_t L, size_t shift,
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

    // out[c][k] = rows[k][c] for the columns c < 4 * quarters of the 16x16
    // block. Each register first gathers, with merge-masked 128-bit broadcasts
    // from memory, the same column quarter of rows r, r+4, r+8 and r+12; only the
    // 4x4 transposes inside each 128-bit lane then need shuffle instructions.
    static void transpose16(const float (*rows)[kLanes], size_t quarters, __m512* out) {
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
    static void reduceGroup(const GroupState& st, size_t L, const float* bias, float* out, size_t m) {
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

    static void runPacked(const Layer& layer, Slice<const float> input);
};
