// The portable fully connected layer on the row-major matrix: the traits that
// generic/linear.hpp drives, on the generic four-float vectors. Part of the
// baseline unit (baseline.cpp): included inside namespace tolvex::baseline.
// Rows are taken 2 at a time over the whole input (8 accumulator vectors).
// A group has 8 neurons: the accumulators of each half are transposed so one
// vector addition advances the in-order lane reduction of 4 neurons, and the
// two halves' reductions run side by side, two independent chains. The
// baseline keeps no packed copy of the weights.

struct RowMajor {
    static constexpr size_t kLanes = kLinearLanes;
    static constexpr size_t kNeuronsPerGroup = 8;
    static constexpr size_t kRowsPerBlock = 3;
    using RemainderBlocks = std::index_sequence<2, 1>;
    static constexpr size_t kAlignBytes = 0;
    static constexpr size_t kPrefetchMaxRow = 0;
    static constexpr std::nullptr_t kPackedLayout = nullptr;  // reads no packed copy

    // Lane accumulators and tail products of one group of 8 neurons, neuron
    // k in row k.
    struct alignas(64) GroupState {
        float acc[kNeuronsPerGroup][kLanes];
        float tail[kNeuronsPerGroup][kLanes];
    };

    template <size_t K, RowRead>
    static void accumulateRows(const float* x, const float* w, size_t L, size_t, ptrdiff_t, float (*acc)[kLanes],
                               float (*tail)[kLanes]) {
        const size_t v = L / kLanes * kLanes;
        const float* row[K];
        for (size_t k = 0; k < K; ++k) row[k] = w + k * L;
        V4 a[K][4];
        for (size_t k = 0; k < K; ++k)
            for (size_t q = 0; q < 4; ++q) a[k][q] = V4{};
        for (size_t i = 0; i < v; i += kLanes)
            for (size_t q = 0; q < 4; ++q) {
                const V4 xq = load4(x + i + 4 * q);
                for (size_t k = 0; k < K; ++k) a[k][q] = a[k][q] + xq * load4(row[k] + i + 4 * q);
            }
        for (size_t k = 0; k < K; ++k)
            for (size_t q = 0; q < 4; ++q) store4(acc[k] + 4 * q, a[k][q]);
        if (L == v) return;
        // Whole rows: the reduction's transposes read them in fours.
        for (size_t k = 0; k < K; ++k) {
            for (size_t j = v; j < L; ++j) tail[k][j - v] = x[j] * row[k][j];
            for (size_t j = L - v; j < kLanes; ++j) tail[k][j] = 0.0f;
        }
    }

    // Columns c..c+3 of the 4x16 block `rows`: out[i][k] = rows[k][c + i].
    static void transpose4(const float (*rows)[kLanes], size_t c, V4* out) {
        const V4 r0 = load4(rows[0] + c), r1 = load4(rows[1] + c), r2 = load4(rows[2] + c),
                 r3 = load4(rows[3] + c);
        const V4 t0 = __builtin_shufflevector(r0, r1, 0, 4, 1, 5), t1 = __builtin_shufflevector(r0, r1, 2, 6, 3, 7);
        const V4 t2 = __builtin_shufflevector(r2, r3, 0, 4, 1, 5), t3 = __builtin_shufflevector(r2, r3, 2, 6, 3, 7);
        out[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
        out[1] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
        out[2] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
        out[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
    }

    // Finishes m neurons (1..8) and writes exactly m outputs: neurons 0..3
    // and 4..7 each as one vector, their sums side by side.
    static void reduceGroup(const GroupState& st, size_t L, const float* bias, float* out, size_t m) {
        const size_t tail_len = L % kLanes;
        V4 s[2] = {};  // the lane sums are +0.0 without a chunk
        if (L >= kLanes) {
            V4 col[2][kLanes];
            for (size_t h = 0; h < 2; ++h)
                for (size_t c = 0; c < kLanes; c += 4) transpose4(st.acc + 4 * h, c, col[h] + c);
            s[0] = col[0][0];
            s[1] = col[1][0];
            for (size_t l = 1; l < kLanes; ++l) {
                s[0] = s[0] + col[0][l];
                s[1] = s[1] + col[1][l];
            }
        }
        float b[8] = {};
        if (m == kNeuronsPerGroup)
            std::memcpy(b, bias, sizeof b);
        else
            std::memcpy(b, bias, m * sizeof(float));
        V4 v[2] = {load4(b) + s[0], load4(b + 4) + s[1]};
        if (tail_len != 0) {
            V4 col[2][kLanes];
            for (size_t h = 0; h < 2; ++h)
                for (size_t c = 0; c < tail_len; c += 4) transpose4(st.tail + 4 * h, c, col[h] + c);
            for (size_t l = 0; l < tail_len; ++l) {
                v[0] = v[0] + col[0][l];
                v[1] = v[1] + col[1][l];
            }
        }
        if (m == kNeuronsPerGroup) {
            store4(out, v[0]);
            store4(out + 4, v[1]);
            return;
        }
        float y[8];
        store4(y, v[0]);
        store4(y + 4, v[1]);
        std::memcpy(out, y, m * sizeof(float));
    }
};
