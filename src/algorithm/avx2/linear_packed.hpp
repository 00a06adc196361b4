// The AVX2 fully connected layer over the packed weights (kGroups16), no
// FMA. Part of the AVX2 unit (avx2.cpp): included inside namespace
// tolvex::avx2 and its target region.
//
// A group's 16 neurons are two ymm halves. Lane l's accumulators of all 16
// neurons are the two halves of row j = 16c + l times the broadcast input
// x[j], added chunk by chunk from +0.0, as on the row-major matrix; the lane
// sums ((a[0] + a[1]) + ...) + a[15] follow, then the bias row, then the tail
// rows in order.
//  - A layer that stays in L1 (rows in input order) runs group by group.
//    Sixteen lanes of two halves do not fit the 16 ymm registers next to the
//    temporaries, so the lanes are taken four at a time: each pass reads rows
//    4p..4p+3 of every chunk and then continues the lane sums.
//  - A larger layer runs tile by tile, one lane at a time for all groups of
//    the tile: the rows of that lane are G consecutive lines in every chunk.

namespace packed {

constexpr size_t kLanes = kLinearLanes;
constexpr size_t kLanesPerPass = kPackedLanesPerPass;

// Accumulates lanes 4p..4p+3 of the group whose first row is at blk over all
// chunks and continues its in-order lane sums, neurons 0..7 in s[0] and
// 8..15 in s[1]. Without kHigh only the low half is computed (a last group of
// at most 8 neurons).
template <bool kHigh>
[[gnu::always_inline]] inline void lanePass(const float* x, const float* blk, size_t L, PackedRows at, size_t p,
                                            __m256* s) {
    const size_t chunks = L / kLanes;
    __m256 a0[kLanesPerPass], a1[kLanesPerPass];
    for (size_t q = 0; q < kLanesPerPass; ++q) a0[q] = a1[q] = _mm256_setzero_ps();
    for (size_t c = 0; c < chunks; ++c) {
        const float* xr = x + kLanes * c + kLanesPerPass * p;
        const float* wr = blk + at.pass * p + at.chunk * c;
        for (size_t q = 0; q < kLanesPerPass; ++q) {
            const __m256 xb = _mm256_set1_ps(xr[q]);
            a0[q] = _mm256_add_ps(a0[q], _mm256_mul_ps(xb, _mm256_load_ps(wr + at.lane * q)));
            if (kHigh) a1[q] = _mm256_add_ps(a1[q], _mm256_mul_ps(xb, _mm256_load_ps(wr + at.lane * q + 8)));
        }
    }
    for (size_t q = 0; q < kLanesPerPass; ++q) {
        // The sum starts with lane 0 itself: (a[0] + a[1]), not 0 + a[0].
        const bool first = p == 0 && q == 0;
        s[0] = first ? a0[q] : _mm256_add_ps(s[0], a0[q]);
        if (kHigh) s[1] = first ? a1[q] : _mm256_add_ps(s[1], a1[q]);
    }
}

// Bias plus lane sums, then the tail rows in order; writes the group's
// outputs, `rest` of them (1..16).
template <bool kHigh>
[[gnu::always_inline]] inline void finishGroup(const float* x, const float* blk, size_t L, PackedRows at, const __m256* s,
                                               float* y, size_t rest) {
    const float* bias = blk + at.lane * L;
    __m256 lo = _mm256_add_ps(_mm256_load_ps(bias), s[0]);
    __m256 hi = kHigh ? _mm256_add_ps(_mm256_load_ps(bias + 8), s[1]) : _mm256_setzero_ps();
    for (size_t j = L / kLanes * kLanes; j < L; ++j) {
        const __m256 xb = _mm256_set1_ps(x[j]);
        lo = _mm256_add_ps(lo, _mm256_mul_ps(xb, _mm256_load_ps(blk + at.lane * j)));
        if (kHigh) hi = _mm256_add_ps(hi, _mm256_mul_ps(xb, _mm256_load_ps(blk + at.lane * j + 8)));
    }
    if (rest >= kLanes) {
        _mm256_storeu_ps(y, lo);
        _mm256_storeu_ps(y + 8, hi);
    } else if (rest <= 8) {
        _mm256_maskstore_ps(y, firstLanes(rest), lo);
    } else {
        _mm256_storeu_ps(y, lo);
        _mm256_maskstore_ps(y + 8, firstLanes(rest - 8), hi);
    }
}

// One group of a layer that stays in L1 (rows in input order), start to end.
template <bool kHigh>
[[gnu::always_inline]] inline void wholeGroup(const float* x, const float* blk, size_t L, float* y, size_t rest) {
    const PackedRows at(L, 1, false);
    __m256 s[2] = {};  // set by the first lane before it is read
#pragma GCC unroll 4
    for (size_t p = 0; p < kLanes / kLanesPerPass; ++p) lanePass<kHigh>(x, blk, L, at, p, s);
    finishGroup<kHigh>(x, blk, L, at, s, y, rest);
}

// The G groups (1..4) of one tile of a layer that leaves L1, rows in reading
// order: lane by lane, each pass over all chunks reads the lane's row of every
// group of the tile, G consecutive lines per chunk, and then continues the
// in-order lane sums of all G groups. Writes the tile's outputs, `rest` of
// them counted from y (more than the tile holds means all of it).
template <size_t G>
[[gnu::always_inline]] inline void tile(const float* x, const float* t0, size_t L, float* y, size_t rest) {
    const PackedRows at(L, G, true);
    const size_t chunks = L / kLanes;
    __m256 s[G][2] = {};  // every entry is set by the first lane before it is read
    for (size_t p = 0; p < kLanes / kLanesPerPass; ++p)
        for (size_t q = 0; q < kLanesPerPass; ++q) {
            __m256 a[G][2];
            for (size_t g = 0; g < G; ++g) a[g][0] = a[g][1] = _mm256_setzero_ps();
            for (size_t c = 0; c < chunks; ++c) {
                const __m256 xb = _mm256_set1_ps(x[kLanes * c + kLanesPerPass * p + q]);
                const float* set = t0 + at.pass * p + at.chunk * c + at.lane * q;
                for (size_t g = 0; g < G; ++g)
                    for (size_t h = 0; h < 2; ++h)
                        a[g][h] = _mm256_add_ps(a[g][h], _mm256_mul_ps(xb, _mm256_load_ps(set + kLanes * g + 8 * h)));
            }
            // The sum starts with lane 0 itself: (a[0] + a[1]), not 0 + a[0].
            for (size_t g = 0; g < G; ++g)
                for (size_t h = 0; h < 2; ++h) s[g][h] = p == 0 && q == 0 ? a[g][h] : _mm256_add_ps(s[g][h], a[g][h]);
        }
    for (size_t g = 0; g < G && kLanes * g < rest; ++g)
        finishGroup<true>(x, t0 + kLanes * g, L, at, s[g], y + kLanes * g, rest - kLanes * g);
}

}  // namespace packed

// A layer that stays in L1 group by group, a larger one tile by tile.
inline void RowMajor::runPacked(const Layer& layer, Slice<const float> input) {
    const size_t out = layer.out_buf.len, L = input.len, block = packedBlockFloats(L);
    const float* x = input.ptr;
    float* y = layer.out_buf.ptr;
    if (packedTileGroups(out, L) == 1) {
        for (size_t n = 0; n < out; n += kPackedGroup) {
            const float* blk = layer.packed.data.ptr + n / kPackedGroup * block;
            if (out - n > 8)
                packed::wholeGroup<true>(x, blk, L, y + n, out - n);
            else
                packed::wholeGroup<false>(x, blk, L, y + n, out - n);
        }
        return;
    }
    const size_t groups = (out + kPackedGroup - 1) / kPackedGroup;
    for (size_t first = 0; first < groups; first += kPackedTile) {
        const float* t0 = layer.packed.data.ptr + first * block;
        const size_t n = first * kPackedGroup;
        switch (groupsInTile(groups, first, kPackedTile)) {
            case 1: packed::tile<1>(x, t0, L, y + n, out - n); break;
            case 2: packed::tile<2>(x, t0, L, y + n, out - n); break;
            case 3: packed::tile<3>(x, t0, L, y + n, out - n); break;
            default: packed::tile<4>(x, t0, L, y + n, out - n); break;
        }
    }
}

