// The fully connected layer for many inputs at once, written once for every
// implementation. An implementation includes this file inside its own
// namespace (and its instruction-set region), after its `Lanes` traits and
// the RowMajor traits of generic/linear.hpp, which add:
//
//   kBatchRows, kBatchSamples  rows and inputs of one register block on the
//                              row-major matrix: kBatchRows x kBatchSamples
//                              lane accumulators of 16 lanes
//   kPackedLanes, kPackedSamples
//                              lanes and inputs of one register block on the
//                              packed copy: kPackedLanes (1, 2 or 4) x
//                              kPackedSamples accumulators of 16 neurons
//
// Every output has the bits of the single-input kernels: lane l of neuron n
// accumulates x[16j+l]·W[n][16j+l] over the chunks j in order from +0.0, the
// lanes are summed in order, the bias comes first and the tail products
// after. What changes is only how often a weight is loaded: once for a
// block of inputs instead of once per input.
//  - Row-major: a group of neurons is read once per block of kBatchSamples
//    inputs, kBatchRows rows at a time, and finished for each input by the
//    implementation's reduceGroup. Groups are the outer loop, so a group's
//    rows stay in the cache while every block of inputs passes over them.
//  - Packed (the groups16 copy): lane l of all 16 neurons of a group is one
//    row; each row is loaded once and multiplied with the broadcast input
//    value of every input of the block. The lane sums need no transpose.

constexpr size_t kVectorsPer16 = kLinearLanes / Lanes::kWidth;
using LaneBlock = Lanes::V[kVectorsPer16];  // 16 lanes, or 16 neurons of a packed row

// Lane accumulators of K rows (w, row stride L) for the S inputs x[0..S-1],
// into st[s].acc[k0..k0+K-1], and their tail products into st[s].tail.
template <class T, size_t K, size_t S>
[[gnu::always_inline]] inline void accumulateBatch(const float* const* x, const float* w, size_t L,
                                                   typename T::GroupState* st, size_t k0) {
    using V = Lanes::V;
    constexpr size_t W = Lanes::kWidth, P = kVectorsPer16;
    const size_t v = L / kLinearLanes * kLinearLanes;
    const float* row[K];
    for (size_t k = 0; k < K; ++k) row[k] = w + k * L;
    V acc[K][S][P];
    for (size_t k = 0; k < K; ++k)
        for (size_t s = 0; s < S; ++s)
            for (size_t p = 0; p < P; ++p) acc[k][s][p] = Lanes::set1(0.0f);
    for (size_t i = 0; i < v; i += kLinearLanes)
        for (size_t p = 0; p < P; ++p) {
            V wv[K];
            for (size_t k = 0; k < K; ++k) wv[k] = Lanes::load(row[k] + i + W * p);
            for (size_t s = 0; s < S; ++s) {
                const V xv = Lanes::load(x[s] + i + W * p);
                for (size_t k = 0; k < K; ++k) acc[k][s][p] = Lanes::add(acc[k][s][p], Lanes::mul(xv, wv[k]));
            }
        }
    for (size_t s = 0; s < S; ++s)
        for (size_t k = 0; k < K; ++k)
            for (size_t p = 0; p < P; ++p) Lanes::store(st[s].acc[k0 + k] + W * p, acc[k][s][p]);
    if (L == v) return;
    // Whole tail rows: the reduction reads them as vectors.
    for (size_t s = 0; s < S; ++s)
        for (size_t k = 0; k < K; ++k) {
            float* tail = st[s].tail[k0 + k];
            for (size_t j = v; j < L; ++j) tail[j - v] = x[s][j] * row[k][j];
            for (size_t j = L - v; j < kLinearLanes; ++j) tail[j] = 0.0f;
        }
}

// The row-major matrix for `count` inputs.
template <class T>
void linearBatchRowMajor(const Layer& layer, const float* x, size_t x_stride, size_t L, size_t count, float* y,
                         size_t y_stride) {
    constexpr size_t G = T::kNeuronsPerGroup, K = T::kBatchRows, S = T::kBatchSamples;
    const size_t out = layer.out_buf.len;
    const float* w = layer.cfg.linear.weights;
    const float* b = layer.cfg.linear.biases;
    typename T::GroupState st[S];
    for (size_t n = 0; n < out; n += G) {
        const size_t m = out - n < G ? out - n : G;
        const float* rows = w + n * L;
        for (size_t s0 = 0; s0 < count; s0 += S) {
            // A short last block repeats its last input; those rows are
            // computed and dropped.
            const float* xs[S];
            for (size_t s = 0; s < S; ++s) xs[s] = x + (s0 + s < count ? s0 + s : count - 1) * x_stride;
            for (size_t s = 0; s < S; ++s)
                for (size_t k = m; k < G; ++k)
                    for (size_t l = 0; l < kLinearLanes; ++l) st[s].acc[k][l] = st[s].tail[k][l] = 0.0f;
            size_t k = 0;
            for (; k + K <= m; k += K) accumulateBatch<T, K, S>(xs, rows + k * L, L, st, k);
            for (; k < m; ++k) accumulateBatch<T, 1, S>(xs, rows + k * L, L, st, k);
            const size_t inputs = count - s0 < S ? count - s0 : S;
            for (size_t s = 0; s < inputs; ++s) T::reduceGroup(st[s], L, b + n, y + (s0 + s) * y_stride + n, m);
        }
    }
}

// The 16 outputs of group g of the packed tile at t0 for the S inputs x[s],
// their first m written to y[s].
//
// The lane accumulators start from the first chunk's products rather than
// from +0.0 plus them, which saves an addition per accumulator (a third of
// all additions when the rows hold 32 inputs). The two sums differ only where
// the single pass has +0.0 and this one -0.0: adding +0.0 to x gives x except
// that -0.0 becomes +0.0, and the sums of the lanes, the bias and the tail
// products carry that difference and no other. The single pass's output is
// never -0.0 (a sum is -0.0 only when both of its terms are, and its lane sums
// start from +0.0), so one addition of +0.0 to each output gives its bits.
template <class T, size_t S>
[[gnu::always_inline]] inline void packedBatchGroup(const float* const* x, const float* t0, const PackedRows& at,
                                                    size_t g, size_t L, float* const* y, size_t m) {
    using V = Lanes::V;
    constexpr size_t W = Lanes::kWidth, P = kVectorsPer16, Q = T::kPackedLanes;
    static_assert(kPackedLanesPerPass % Q == 0);
    const size_t chunks = L / kLinearLanes;
    const V zero = Lanes::set1(0.0f);
    V sum[S][P];
    for (size_t s = 0; s < S; ++s)
        for (size_t p = 0; p < P; ++p) sum[s][p] = zero;  // the lane sums without a chunk
    for (size_t l0 = 0; chunks != 0 && l0 < kLinearLanes; l0 += Q) {
        // Row 16c + l0 + u of the group is at first + c * at.chunk + u * at.lane.
        const float* first = at.row(t0, l0, g);
        V acc[Q][S][P];
        for (size_t u = 0; u < Q; ++u) {
            const float* row = first + u * at.lane;
            for (size_t s = 0; s < S; ++s) {
                const V xb = Lanes::set1(x[s][l0 + u]);
                for (size_t p = 0; p < P; ++p) acc[u][s][p] = Lanes::mul(xb, Lanes::load(row + W * p));
            }
        }
        for (size_t c = 1; c < chunks; ++c)
            for (size_t u = 0; u < Q; ++u) {
                const size_t j = kLinearLanes * c + l0 + u;
                const float* row = first + c * at.chunk + u * at.lane;
                V wv[P];
                for (size_t p = 0; p < P; ++p) wv[p] = Lanes::load(row + W * p);
                for (size_t s = 0; s < S; ++s) {
                    const V xb = Lanes::set1(x[s][j]);
                    for (size_t p = 0; p < P; ++p) acc[u][s][p] = Lanes::add(acc[u][s][p], Lanes::mul(xb, wv[p]));
                }
            }
        // The sum starts with lane 0 itself: (a[0] + a[1]), not 0 + a[0].
        for (size_t u = 0; u < Q; ++u)
            for (size_t s = 0; s < S; ++s)
                for (size_t p = 0; p < P; ++p)
                    sum[s][p] = l0 + u == 0 ? acc[u][s][p] : Lanes::add(sum[s][p], acc[u][s][p]);
    }
    const float* bias = at.tailRow(t0, L, g);
    for (size_t s = 0; s < S; ++s) {
        LaneBlock v;
        for (size_t p = 0; p < P; ++p) v[p] = Lanes::add(Lanes::load(bias + W * p), sum[s][p]);
        for (size_t j = chunks * kLinearLanes; j < L; ++j) {
            const V xb = Lanes::set1(x[s][j]);
            const float* row = at.tailRow(t0, j, g);
            for (size_t p = 0; p < P; ++p) v[p] = Lanes::add(v[p], Lanes::mul(xb, Lanes::load(row + W * p)));
        }
        for (size_t p = 0; p < P; ++p) v[p] = Lanes::add(v[p], zero);
        if (m == kLinearLanes) {
            for (size_t p = 0; p < P; ++p) Lanes::store(y[s] + W * p, v[p]);
        } else {
            float buf[kLinearLanes];
            for (size_t p = 0; p < P; ++p) Lanes::store(buf + W * p, v[p]);
            for (size_t i = 0; i < m; ++i) y[s][i] = buf[i];
        }
    }
}

// The packed copy for `count` inputs: tile by tile, group by group, every
// block of inputs over each group while it is in the cache.
template <class T>
void linearBatchPacked(const Layer& layer, const float* x, size_t x_stride, size_t L, size_t count, float* y,
                       size_t y_stride) {
    constexpr size_t S = T::kPackedSamples;
    const size_t out = layer.out_buf.len, block = packedBlockFloats(L);
    const size_t groups = (out + kPackedGroup - 1) / kPackedGroup, per_tile = packedTileGroups(out, L);
    for (size_t first = 0; first < groups; first += per_tile) {
        const float* t0 = layer.packed.data.ptr + first * block;
        const size_t tile_groups = groupsInTile(groups, first, per_tile);
        const PackedRows at(L, tile_groups, per_tile > 1);
        for (size_t g = 0; g < tile_groups; ++g) {
            const size_t n = (first + g) * kPackedGroup, m = out - n < kPackedGroup ? out - n : kPackedGroup;
            for (size_t s0 = 0; s0 < count; s0 += S) {
                const size_t inputs = count - s0 < S ? count - s0 : S;
                const float* xs[S];
                float* ys[S];
                float dropped[S][kLinearLanes];  // the outputs of repeated inputs
                for (size_t s = 0; s < S; ++s) {
                    xs[s] = x + (s < inputs ? s0 + s : s0 + inputs - 1) * x_stride;
                    ys[s] = s < inputs ? y + (s0 + s) * y_stride + n : dropped[s];
                }
                packedBatchGroup<T, S>(xs, t0, at, g, L, ys, m);
            }
        }
    }
}

// The batch kernel of the table: the packed copy when the layer has one for
// this implementation and this input length, else the row-major matrix.
template <class T>
void runLinearBatchLayer(const Layer& layer, const float* x, size_t x_stride, size_t L, size_t count, float* y,
                         size_t y_stride) {
    const size_t out = layer.out_buf.len;
    const float* b = layer.cfg.linear.biases;
    if (out == 0 || count == 0) return;
    if (L == 0) {
        for (size_t s = 0; s < count; ++s)
            for (size_t n = 0; n < out; ++n) y[s * y_stride + n] = b[n] + 0.0f;
        return;
    }
    if constexpr (kReadsPacked<T>) {
        if (layer.packed.layout == T::kPackedLayout && layer.packed.row_len == L)
            return linearBatchPacked<T>(layer, x, x_stride, L, count, y, y_stride);
    }
    linearBatchRowMajor<T>(layer, x, x_stride, L, count, y, y_stride);
}
