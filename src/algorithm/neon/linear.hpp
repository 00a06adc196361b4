// The NEON fully connected layer on the row-major matrix: the traits that
// generic/linear.hpp drives. Part of the NEON unit (neon.cpp): included inside
// namespace tolvex::neon. No fused multiply-add: every product is rounded
// before it is added.
//  - rows are taken 4 at a time over the whole input, the 16 lane
//    accumulators of each row in 4 q registers (16 of the 32), each input
//    vector loaded once per 4 rows;
//  - a group has 8 neurons; the accumulators of each half are transposed so
//    one vector addition advances the in-order lane reduction of 4 neurons,
//    and the two halves' reductions run side by side.
// NEON loads take any alignment at full speed within a cache line, so there
// is no aligned reading mode; nor a prefetching one, which would be tuned
// blind without hardware to measure on.

struct RowMajor {
    static constexpr size_t kLanes = kLinearLanes;
    static constexpr size_t kNeuronsPerGroup = 8;
    static constexpr size_t kRowsPerBlock = 4;
    using RemainderBlocks = std::index_sequence<3, 2, 1>;
    static constexpr size_t kAlignBytes = 0;
    static constexpr size_t kPrefetchMaxRow = 0;
    static constexpr const PackedLayout* kPackedLayout = &kGroups16;
    // Batches: 2 rows x 3 inputs of four-register accumulators on the
    // row-major matrix (24 of the 32), 1 lane x 3 inputs on the packed copy.
    static constexpr size_t kBatchRows = 2;
    static constexpr size_t kBatchSamples = 3;
    static constexpr size_t kBatchLanes = 1;

    // Lane accumulators and tail products of one group of 8 neurons, neuron
    // k in row k.
    struct alignas(64) GroupState {
        float acc[kNeuronsPerGroup][kLanes];
        float tail[kNeuronsPerGroup][kLanes];
    };

    template <size_t K, RowRead>
    [[gnu::always_inline]] static void accumulateRows(const float* x, const float* w, size_t L, size_t, ptrdiff_t,
                                                      float (*acc)[kLanes], float (*tail)[kLanes]) {
        const size_t v = L / kLanes * kLanes;
        const float* row[K];
        for (size_t k = 0; k < K; ++k) row[k] = w + k * L;
        float32x4_t a[K][4];
        for (size_t k = 0; k < K; ++k)
            for (size_t q = 0; q < 4; ++q) a[k][q] = vdupq_n_f32(0.0f);
        for (size_t i = 0; i < v; i += kLanes)
            for (size_t q = 0; q < 4; ++q) {
                const float32x4_t xq = vld1q_f32(x + i + 4 * q);
                for (size_t k = 0; k < K; ++k)
                    a[k][q] = vaddq_f32(a[k][q], vmulq_f32(xq, vld1q_f32(row[k] + i + 4 * q)));
            }
        for (size_t k = 0; k < K; ++k)
            for (size_t q = 0; q < 4; ++q) vst1q_f32(acc[k] + 4 * q, a[k][q]);
        if (L == v) return;
        // Whole rows: the reduction's transposes read them in fours.
        for (size_t k = 0; k < K; ++k) {
            for (size_t j = v; j < L; ++j) tail[k][j - v] = x[j] * row[k][j];
            for (size_t j = L - v; j < kLanes; ++j) tail[k][j] = 0.0f;
        }
    }

    // Columns c..c+3 of the 4x16 block `rows`: out[i][k] = rows[k][c + i].
    static void transpose4(const float (*rows)[kLanes], size_t c, float32x4_t* out) {
        const float32x4_t r0 = vld1q_f32(rows[0] + c), r1 = vld1q_f32(rows[1] + c);
        const float32x4_t r2 = vld1q_f32(rows[2] + c), r3 = vld1q_f32(rows[3] + c);
        const float64x2_t t0 = vreinterpretq_f64_f32(vtrn1q_f32(r0, r1));
        const float64x2_t t1 = vreinterpretq_f64_f32(vtrn2q_f32(r0, r1));
        const float64x2_t t2 = vreinterpretq_f64_f32(vtrn1q_f32(r2, r3));
        const float64x2_t t3 = vreinterpretq_f64_f32(vtrn2q_f32(r2, r3));
        out[0] = vreinterpretq_f32_f64(vtrn1q_f64(t0, t2));
        out[1] = vreinterpretq_f32_f64(vtrn1q_f64(t1, t3));
        out[2] = vreinterpretq_f32_f64(vtrn2q_f64(t0, t2));
        out[3] = vreinterpretq_f32_f64(vtrn2q_f64(t1, t3));
    }

    // Finishes m neurons (1..8) and writes exactly m outputs: neurons 0..3
    // and 4..7 each as one vector, their sums side by side.
    static void reduceGroup(const GroupState& st, size_t L, const float* bias, float* out, size_t m) {
        const size_t tail_len = L % kLanes;
        float32x4_t s[2] = {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)};  // +0.0 without a chunk
        if (L >= kLanes) {
            float32x4_t col[2][kLanes];
            for (size_t h = 0; h < 2; ++h)
                for (size_t c = 0; c < kLanes; c += 4) transpose4(st.acc + 4 * h, c, col[h] + c);
            s[0] = col[0][0];
            s[1] = col[1][0];
            for (size_t l = 1; l < kLanes; ++l) {
                s[0] = vaddq_f32(s[0], col[0][l]);
                s[1] = vaddq_f32(s[1], col[1][l]);
            }
        }
        float b[8] = {};
        std::memcpy(b, bias, m * sizeof(float));
        float32x4_t v[2] = {vaddq_f32(vld1q_f32(b), s[0]), vaddq_f32(vld1q_f32(b + 4), s[1])};
        if (tail_len != 0) {
            float32x4_t col[2][kLanes];
            for (size_t h = 0; h < 2; ++h)
                for (size_t c = 0; c < tail_len; c += 4) transpose4(st.tail + 4 * h, c, col[h] + c);
            for (size_t l = 0; l < tail_len; ++l) {
                v[0] = vaddq_f32(v[0], col[0][l]);
                v[1] = vaddq_f32(v[1], col[1][l]);
            }
        }
        float y[8];
        vst1q_f32(y, v[0]);
        vst1q_f32(y + 4, v[1]);
        std::memcpy(out, y, m * sizeof(float));
    }

    static void runPacked(const Layer& layer, Slice<const float> input);
};
