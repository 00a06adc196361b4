// The NEON fully connected layer over the packed weights (kGroups16), no
// fused multiply-add. Part of the NEON unit (neon.cpp): included inside
// namespace tolvex::neon.
//
// A group's 16 neurons are four q registers. Lane l's accumulators of all 16
// neurons are the four quarters of row j = 16c + l times the input x[j],
// added chunk by chunk from +0.0, as on the row-major matrix; the lane sums
// ((a[0] + a[1]) + ...) + a[15] follow, then the bias row, then the tail
// rows in order. A tile of G groups (1 for a layer that stays in L1, rows in
// input order; up to 4 beyond it, rows in reading order) is read lane by
// lane, 4 / G lanes at a time, so that 16 accumulators are always live.

namespace packed {

constexpr size_t kLanes = kLinearLanes;

// The G groups of the tile at t0, in a layer whose rows are in reading order
// or not; writes `rest` outputs from y (more than the tile holds means all of
// it).
template <size_t G>
[[gnu::always_inline]] inline void tile(const float* x, const float* t0, size_t L, bool reading_order, float* y,
                                        size_t rest) {
    constexpr size_t kAtOnce = G == 1 ? 4 : G == 2 ? 2 : 1;  // lanes per pass over the chunks
    const PackedRows at(L, G, reading_order);
    const size_t chunks = L / kLanes;
    float32x4_t s[G][4];  // every entry is set by lane 0 before it is read
    for (size_t l0 = 0; l0 < kLanes; l0 += kAtOnce) {
        float32x4_t a[kAtOnce][G][4];
        for (size_t u = 0; u < kAtOnce; ++u)
            for (size_t g = 0; g < G; ++g)
                for (size_t h = 0; h < 4; ++h) a[u][g][h] = vdupq_n_f32(0.0f);
        const size_t p = l0 / kPackedLanesPerPass;
        for (size_t c = 0; c < chunks; ++c)
            for (size_t u = 0; u < kAtOnce; ++u) {
                const size_t q = l0 % kPackedLanesPerPass + u;
                const float xj = x[kLanes * c + l0 + u];
                const float* set = t0 + at.pass * p + at.chunk * c + at.lane * q;
                for (size_t g = 0; g < G; ++g)
                    for (size_t h = 0; h < 4; ++h)
                        a[u][g][h] = vaddq_f32(a[u][g][h], vmulq_n_f32(vld1q_f32(set + kLanes * g + 4 * h), xj));
            }
        // The sum starts with lane 0 itself: (a[0] + a[1]), not 0 + a[0].
        for (size_t u = 0; u < kAtOnce; ++u)
            for (size_t g = 0; g < G; ++g)
                for (size_t h = 0; h < 4; ++h) s[g][h] = l0 + u == 0 ? a[u][g][h] : vaddq_f32(s[g][h], a[u][g][h]);
    }
    for (size_t g = 0; g < G && kLanes * g < rest; ++g) {
        float32x4_t v[4];
        for (size_t h = 0; h < 4; ++h) v[h] = vaddq_f32(vld1q_f32(t0 + at.lane * L + kLanes * g + 4 * h), s[g][h]);
        for (size_t j = chunks * kLanes; j < L; ++j)
            for (size_t h = 0; h < 4; ++h)
                v[h] = vaddq_f32(v[h], vmulq_n_f32(vld1q_f32(t0 + at.lane * j + kLanes * g + 4 * h), x[j]));
        float* out = y + kLanes * g;
        const size_t n = rest - kLanes * g;
        if (n >= kLanes) {
            for (size_t h = 0; h < 4; ++h) vst1q_f32(out + 4 * h, v[h]);
        } else {
            float buf[kLanes];
            for (size_t h = 0; h < 4; ++h) vst1q_f32(buf + 4 * h, v[h]);
            std::memcpy(out, buf, n * sizeof(float));
        }
    }
}

}  // namespace packed

// The tiles in order: one group each for a layer that stays in L1, four
// (fewer in the last) beyond it.
inline void RowMajor::runPacked(const Layer& layer, Slice<const float> input) {
    const size_t out = layer.out_buf.len, L = input.len, block = packedBlockFloats(L);
    const float* x = input.ptr;
    float* y = layer.out_buf.ptr;
    const size_t groups = (out + kPackedGroup - 1) / kPackedGroup, per_tile = packedTileGroups(out, L);
    const bool reading_order = per_tile > 1;
    for (size_t first = 0; first < groups; first += per_tile) {
        const float* t0 = layer.packed.data.ptr + first * block;
        const size_t n = first * kPackedGroup;
        switch (groupsInTile(groups, first, per_tile)) {
            case 1: packed::tile<1>(x, t0, L, reading_order, y + n, out - n); break;
            case 2: packed::tile<2>(x, t0, L, reading_order, y + n, out - n); break;
            case 3: packed::tile<3>(x, t0, L, reading_order, y + n, out - n); break;
            default: packed::tile<4>(x, t0, L, reading_order, y + n, out - n); break;
        }
    }
}
