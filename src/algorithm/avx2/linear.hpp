// The AVX2 fully connected layer on the row-major matrix: the traits that
// generic/linear.hpp drives. Part of the AVX2 unit (avx2.cpp): included
// inside namespace tolvex::avx2 and its target region. No FMA: every product
// is rounded before it is added.
//  - rows are taken 4 at a time over the whole input, their 16-lane
//    accumulators held in 8 ymm registers (each input chunk is loaded once
//    per 4 rows, each row is read as one sequential stream);
//  - the accumulators of 8 neurons are then transposed, so that one vector
//    addition advances the in-order lane reduction of all 8 at once; the
//    tail products go through the same transpose and are added after the
//    bias, again 8 neurons per addition;
//  - a matrix too large for L1 is read with aligned loads where the row
//    length allows it (accumulateAligned).

struct RowMajor {
    static constexpr size_t kLanes = kLinearLanes;
    static constexpr size_t kNeuronsPerGroup = 8;
    static constexpr size_t kRowsPerBlock = 4;
    using RemainderBlocks = std::index_sequence<3, 2, 1>;
    static constexpr size_t kAlignBytes = 32;
    // Rows of up to this many floats are short streams that the hardware
    // prefetcher picks up late; for them the rows of the next block are
    // fetched into L1 while the current block runs. Longer rows stream well
    // on their own.
    static constexpr size_t kPrefetchMaxRow = 512;
    static constexpr const PackedLayout* kPackedLayout = &kGroups16;
    // Batches: 1 row x 6 inputs of two-ymm accumulators on the row-major
    // matrix (12 of the 16 registers), 1 lane x 4 inputs on the packed copy
    // (measured fastest, though its lane sums then spill).
    static constexpr size_t kBatchRows = 1;
    static constexpr size_t kBatchSamples = 6;
    static constexpr size_t kPackedLanes = 1;
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

    // Accumulates K rows starting at w (row stride L) against x, and stores
    // their lane accumulators and (when L % 16 != 0) their tail products.
    // With kPrefetchNext, each row's lines are fetched `ahead` floats away:
    // the rows the pass reads next.
    template <size_t K, bool kPrefetchNext>
    [[gnu::always_inline]] static void accumulate(const float* x, const float* w, size_t L, float (*acc)[kLanes],
                                                  float (*tail)[kLanes], ptrdiff_t ahead) {
        const size_t chunks = L / kLanes, tail_len = L % kLanes, v = chunks * kLanes;
        const float* row[K];
        for (size_t k = 0; k < K; ++k) row[k] = w + k * L;

        __m256 lo[K], hi[K];
        for (size_t k = 0; k < K; ++k) lo[k] = hi[k] = _mm256_setzero_ps();
#pragma GCC unroll 2
        for (size_t i = 0; i < v; i += kLanes) {
            if (kPrefetchNext)
                for (size_t k = 0; k < K; ++k) prefetchLine(row[k] + i, ahead);
            const __m256 x0 = _mm256_loadu_ps(x + i), x1 = _mm256_loadu_ps(x + i + 8);
            for (size_t k = 0; k < K; ++k) {
                lo[k] = _mm256_add_ps(lo[k], _mm256_mul_ps(x0, _mm256_loadu_ps(row[k] + i)));
                hi[k] = _mm256_add_ps(hi[k], _mm256_mul_ps(x1, _mm256_loadu_ps(row[k] + i + 8)));
            }
        }
        for (size_t k = 0; k < K; ++k) {
            _mm256_store_ps(acc[k], lo[k]);
            _mm256_store_ps(acc[k] + 8, hi[k]);
        }

        if (tail_len == 0) return;
        // Masked-off lanes are neither read nor faulted on; they hold 0.
        const __m256i m0 = firstLanes(tail_len < 8 ? tail_len : 8);
        const __m256i m1 = firstLanes(tail_len > 8 ? tail_len - 8 : 0);
        const __m256 x0 = _mm256_maskload_ps(x + v, m0), x1 = _mm256_maskload_ps(x + v + 8, m1);
        for (size_t k = 0; k < K; ++k) {
            _mm256_store_ps(tail[k], _mm256_mul_ps(x0, _mm256_maskload_ps(row[k] + v, m0)));
            _mm256_store_ps(tail[k] + 8, _mm256_mul_ps(x1, _mm256_maskload_ps(row[k] + v + 8, m1)));
        }
    }

    // The same accumulation with aligned loads, for matrices that stream from
    // L2 or memory, where a load that straddles two cache lines costs nearly
    // as much as two. With L % 16 == 0 every row starts `shift` (0..7) floats
    // past a 32-byte boundary. Reading 32-byte block b of a row from that
    // boundary puts logical lane (8b - shift + p) mod 16 into register lane
    // p: for every even block the same lanes, for every odd block the same
    // others, so an accumulator for the even blocks and one for the odd blocks
    // each see their lanes' products in chunk order. The first and last
    // blocks are masked to the row (masked-off products are +0.0, which
    // leaves a lane sum unchanged: a lane sum that starts at +0.0 is never
    // -0.0). At the end, one permutation of each accumulator and two blends
    // restore the logical lane order.
    template <size_t K>
    [[gnu::always_inline]] static void accumulateAligned(const float* x, const float* w, size_t L, size_t shift,
                                                         float (*acc)[kLanes]) {
        const size_t chunks = L / kLanes;
        const uintptr_t xb = reinterpret_cast<uintptr_t>(x) - shift * sizeof(float);
        uintptr_t wb[K];
        for (size_t k = 0; k < K; ++k) wb[k] = reinterpret_cast<uintptr_t>(w + k * L) - shift * sizeof(float);
        auto at = [](uintptr_t base, size_t block) { return reinterpret_cast<const float*>(base + 32 * block); };
        // Lanes p >= shift of the first block and p < shift of the last belong
        // to the row.
        const __m256i tail_mask = firstLanes(shift);
        const __m256i head_mask = _mm256_xor_si256(tail_mask, _mm256_set1_epi32(-1));

        __m256 even[K], odd[K];
        const __m256 x0 = _mm256_maskload_ps(at(xb, 0), head_mask), x1 = _mm256_loadu_ps(at(xb, 1));
        for (size_t k = 0; k < K; ++k) {
            even[k] =
                _mm256_add_ps(_mm256_setzero_ps(), _mm256_mul_ps(x0, _mm256_maskload_ps(at(wb[k], 0), head_mask)));
            odd[k] = _mm256_add_ps(_mm256_setzero_ps(), _mm256_mul_ps(x1, _mm256_load_ps(at(wb[k], 1))));
        }
#pragma GCC unroll 2
        for (size_t t = 1; t < chunks; ++t) {
            const __m256 xe = _mm256_loadu_ps(at(xb, 2 * t)), xo = _mm256_loadu_ps(at(xb, 2 * t + 1));
            for (size_t k = 0; k < K; ++k) {
                even[k] = _mm256_add_ps(even[k], _mm256_mul_ps(xe, _mm256_load_ps(at(wb[k], 2 * t))));
                odd[k] = _mm256_add_ps(odd[k], _mm256_mul_ps(xo, _mm256_load_ps(at(wb[k], 2 * t + 1))));
            }
        }
        const __m256 xl = _mm256_maskload_ps(at(xb, 2 * chunks), tail_mask);
        // Logical lane l of each half sits in lane (l + shift) & 7 of the even
        // accumulator when l + shift < 8, else of the odd one (halves swapped
        // for the upper half).
        const __m256i index = _mm256_and_si256(_mm256_add_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                                                _mm256_set1_epi32(static_cast<int>(shift))),
                                               _mm256_set1_epi32(7));
        const __m256 from_even = _mm256_castsi256_ps(firstLanes(8 - shift));
        for (size_t k = 0; k < K; ++k) {
            even[k] =
                _mm256_add_ps(even[k], _mm256_mul_ps(xl, _mm256_maskload_ps(at(wb[k], 2 * chunks), tail_mask)));
            const __m256 pe = _mm256_permutevar8x32_ps(even[k], index), po = _mm256_permutevar8x32_ps(odd[k], index);
            _mm256_store_ps(acc[k], _mm256_blendv_ps(po, pe, from_even));
            _mm256_store_ps(acc[k] + 8, _mm256_blendv_ps(pe, po, from_even));
        }
    }

    // Columns c .. c + 4 * quarters - 1 (at most 8) of the 8x16 block `rows`:
    // out[i][k] = rows[k][c + i]. Each register first takes the same column
    // quarter of rows r and r+4 from memory, so only the 4x4 transposes inside
    // each 128-bit lane need shuffle instructions.
    static void transpose8(const float (*rows)[kLanes], size_t c, size_t quarters, __m256* out) {
        for (size_t q = 0; q < quarters; ++q) {
            const size_t col = c + 4 * q;
            __m256 a[4];
            for (size_t r = 0; r < 4; ++r)
                a[r] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(rows[r] + col)),
                                            _mm_load_ps(rows[r + 4] + col), 1);
            const __m256 u0 = _mm256_unpacklo_ps(a[0], a[1]), u1 = _mm256_unpackhi_ps(a[0], a[1]);
            const __m256 u2 = _mm256_unpacklo_ps(a[2], a[3]), u3 = _mm256_unpackhi_ps(a[2], a[3]);
            out[4 * q + 0] = _mm256_shuffle_ps(u0, u2, 0x44);
            out[4 * q + 1] = _mm256_shuffle_ps(u0, u2, 0xEE);
            out[4 * q + 2] = _mm256_shuffle_ps(u1, u3, 0x44);
            out[4 * q + 3] = _mm256_shuffle_ps(u1, u3, 0xEE);
        }
    }

    // Finishes m neurons (1..8): lane sums in lane order, plus bias, plus the
    // tail products in order; writes exactly m outputs.
    static void reduceGroup(const GroupState& st, size_t L, const float* bias, float* out, size_t m) {
        const size_t tail_len = L % kLanes;
        const __m256i mask = firstLanes(m);
        __m256 s = _mm256_setzero_ps();  // the lane sums are +0.0 without a chunk
        if (L >= kLanes) {
            __m256 col[kLanes];
            transpose8(st.acc, 0, 2, col);
            transpose8(st.acc, 8, 2, col + 8);
            s = col[0];
            for (size_t l = 1; l < kLanes; ++l) s = _mm256_add_ps(s, col[l]);
        }
        const __m256 b = m == kNeuronsPerGroup ? _mm256_loadu_ps(bias) : _mm256_maskload_ps(bias, mask);
        __m256 v = _mm256_add_ps(b, s);
        if (tail_len != 0) {
            __m256 col[kLanes];
            const size_t quarters = (tail_len + 3) / 4;
            transpose8(st.tail, 0, quarters < 2 ? quarters : 2, col);
            if (quarters > 2) transpose8(st.tail, 8, quarters - 2, col + 8);
            for (size_t l = 0; l < tail_len; ++l) v = _mm256_add_ps(v, col[l]);
        }
        if (m == kNeuronsPerGroup)
            _mm256_storeu_ps(out, v);
        else
            _mm256_maskstore_ps(out, mask, v);
    }

    static void runPacked(const Layer& layer, Slice<const float> input);
};
