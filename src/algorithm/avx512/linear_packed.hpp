// The AVX-512 fully connected layer over the packed weights (kGroups16), no
// FMA. Part of the AVX-512 unit (avx512.cpp): included inside namespace
// tolvex::avx512 and its target region.
//
// Register t[l] holds the lane-l accumulators of the group's 16 neurons, one
// neuron per register lane: row j = 16c + l of the block multiplies input
// x[j], broadcast, and adds into t[l], so lane l of every neuron sees its
// products chunk by chunk, from +0.0, as on the row-major matrix. The lane sum
// is then ((t[0] + t[1]) + ...) + t[15] for all 16 neurons at once, the bias
// row is added, and the tail rows follow in order. Layers that stay in L1
// take groups in pairs; larger ones have tiles of four groups, stored in the
// order the tile kernel reads them.

namespace packed {

constexpr size_t kLanes = kLinearLanes;

// The two register widths of a lone group: a whole block row (16 neurons,
// zmm), or its low half (8 neurons, ymm) for a last group of at most 8.
struct Zmm {
    using V = __m512;
    static V zero() { return _mm512_setzero_ps(); }
    static V set1(float f) { return _mm512_set1_ps(f); }
    static V load(const float* p) { return _mm512_load_ps(p); }
    static V add(V a, V b) { return _mm512_add_ps(a, b); }
    static V mul(V a, V b) { return _mm512_mul_ps(a, b); }
};
struct Ymm {
    using V = __m256;
    static V zero() { return _mm256_setzero_ps(); }
    static V set1(float f) { return _mm256_set1_ps(f); }
    static V load(const float* p) { return _mm256_load_ps(p); }
    static V add(V a, V b) { return _mm256_add_ps(a, b); }
    static V mul(V a, V b) { return _mm256_mul_ps(a, b); }
};

// The outputs of the group whose block starts at blk, for a group without a
// partner. The lanes are taken four at a time over all chunks, so the lane
// sum of the first lanes runs while the later ones accumulate.
template <class W>
[[gnu::always_inline]] inline typename W::V group(const float* x, const float* blk, size_t L) {
    using V = typename W::V;
    constexpr size_t kQuarter = kLanes / 4;
    const size_t chunks = L / kLanes;
    V s = W::zero();
    for (size_t p = 0; p < 4; ++p) {
        V t[kQuarter];
        for (size_t l = 0; l < kQuarter; ++l) t[l] = W::zero();
        for (size_t c = 0; c < chunks; ++c) {
            const size_t row = kLanes * c + kQuarter * p;
            for (size_t l = 0; l < kQuarter; ++l)
                t[l] = W::add(t[l], W::mul(W::set1(x[row + l]), W::load(blk + kLanes * (row + l))));
        }
        for (size_t l = 0; l < kQuarter; ++l) s = p == 0 && l == 0 ? t[0] : W::add(s, t[l]);
    }
    V v = W::add(W::load(blk + kLanes * L), s);
    for (size_t j = chunks * kLanes; j < L; ++j) v = W::add(v, W::mul(W::set1(x[j]), W::load(blk + kLanes * j)));
    return v;
}

// Two groups at once, whose blocks start at a and b: each broadcast input
// feeds both, and while the lanes 8..15 accumulate, the lane sums of lanes
// 0..7 of both groups already run, two independent chains side by side.
[[gnu::always_inline]] inline void groupPair(const float* x, const float* a, const float* b, size_t L, __m512& va,
                                             __m512& vb) {
    constexpr size_t kHalf = kLanes / 2;
    const size_t chunks = L / kLanes;
    __m512 sa = _mm512_setzero_ps(), sb = _mm512_setzero_ps();
    for (size_t h = 0; h < 2; ++h) {
        __m512 ta[kHalf], tb[kHalf];
        for (size_t l = 0; l < kHalf; ++l) ta[l] = tb[l] = _mm512_setzero_ps();
        for (size_t c = 0; c < chunks; ++c) {
            const size_t row = kLanes * c + kHalf * h;
            for (size_t l = 0; l < kHalf; ++l) {
                const __m512 xb = _mm512_set1_ps(x[row + l]);
                ta[l] = _mm512_add_ps(ta[l], _mm512_mul_ps(xb, _mm512_load_ps(a + kLanes * (row + l))));
                tb[l] = _mm512_add_ps(tb[l], _mm512_mul_ps(xb, _mm512_load_ps(b + kLanes * (row + l))));
            }
        }
        for (size_t l = 0; l < kHalf; ++l) {
            const bool first = h == 0 && l == 0;
            sa = first ? ta[l] : _mm512_add_ps(sa, ta[l]);
            sb = first ? tb[l] : _mm512_add_ps(sb, tb[l]);
        }
    }
    va = _mm512_add_ps(_mm512_load_ps(a + kLanes * L), sa);
    vb = _mm512_add_ps(_mm512_load_ps(b + kLanes * L), sb);
    for (size_t j = chunks * kLanes; j < L; ++j) {
        const __m512 xb = _mm512_set1_ps(x[j]);
        va = _mm512_add_ps(va, _mm512_mul_ps(xb, _mm512_load_ps(a + kLanes * j)));
        vb = _mm512_add_ps(vb, _mm512_mul_ps(xb, _mm512_load_ps(b + kLanes * j)));
    }
}

// The G groups (1..4) of one tile of a layer that leaves L1, whose rows are
// stored in the order read here: lanes four at a time over all chunks, each
// row set holding the row of all G groups, then the tail rows and the biases
// (see PackedLinear). The pass over the tile is one sequential stream; the G
// groups share each broadcast input, which cuts the loads per weight row to
// 1 + 1/G, and G lane sums run side by side, each continued after every
// four lanes while the next four accumulate.
template <size_t G>
[[gnu::always_inline]] inline void tile(const float* x, const float* t0, size_t L, __m512* v) {
    constexpr size_t kQuarter = kPackedLanesPerPass;
    const size_t chunks = L / kLanes;
    const float* set = t0;
    __m512 s[G];
    for (size_t p = 0; p < kLanes / kQuarter; ++p) {
        __m512 t[G][kQuarter];
        for (size_t g = 0; g < G; ++g)
            for (size_t l = 0; l < kQuarter; ++l) t[g][l] = _mm512_setzero_ps();
        for (size_t c = 0; c < chunks; ++c, set += kLanes * kQuarter * G) {
            const size_t row = kLanes * c + kQuarter * p;
            for (size_t l = 0; l < kQuarter; ++l) {
                const __m512 xb = _mm512_set1_ps(x[row + l]);
                for (size_t g = 0; g < G; ++g)
                    t[g][l] = _mm512_add_ps(t[g][l], _mm512_mul_ps(xb, _mm512_load_ps(set + kLanes * (l * G + g))));
            }
        }
        for (size_t l = 0; l < kQuarter; ++l)
            for (size_t g = 0; g < G; ++g) s[g] = p == 0 && l == 0 ? t[g][0] : _mm512_add_ps(s[g], t[g][l]);
    }
    // Tail and bias rows keep their input order: row j is set j.
    for (size_t g = 0; g < G; ++g) v[g] = _mm512_add_ps(_mm512_load_ps(t0 + kLanes * (L * G + g)), s[g]);
    for (size_t j = chunks * kLanes; j < L; ++j) {
        const __m512 xb = _mm512_set1_ps(x[j]);
        for (size_t g = 0; g < G; ++g)
            v[g] = _mm512_add_ps(v[g], _mm512_mul_ps(xb, _mm512_load_ps(t0 + kLanes * (j * G + g))));
    }
}

// Every tile of a layer that leaves L1; writes exactly out outputs.
void runTiles(const float* x, const float* data, size_t L, float* y, size_t out) {
    const size_t groups = (out + kPackedGroup - 1) / kPackedGroup, block = packedBlockFloats(L);
    for (size_t first = 0; first < groups; first += kPackedTile) {
        const float* t0 = data + first * block;
        const size_t tile_groups = groupsInTile(groups, first, kPackedTile);
        __m512 v[kPackedTile];
        switch (tile_groups) {
            case 1: tile<1>(x, t0, L, v); break;
            case 2: tile<2>(x, t0, L, v); break;
            case 3: tile<3>(x, t0, L, v); break;
            default: tile<4>(x, t0, L, v); break;
        }
        for (size_t g = 0; g < tile_groups; ++g) {
            const size_t n = (first + g) * kPackedGroup;
            if (out - n >= kPackedGroup)
                _mm512_storeu_ps(y + n, v[g]);
            else
                _mm512_mask_storeu_ps(y + n, firstLanes(out - n), v[g]);
        }
    }
}

}  // namespace packed

// A layer that leaves L1 tile by tile; one that stays there by pairs of groups.
inline void RowMajor::runPacked(const Layer& layer, Slice<const float> input) {
    const size_t out = layer.out_buf.len, L = input.len, block = packedBlockFloats(L);
    const float* x = input.ptr;
    const float* blk = layer.packed.data.ptr;
    float* y = layer.out_buf.ptr;
    if (packedTileGroups(out, L) > 1) return packed::runTiles(x, blk, L, y, out);
    // A layer that stays in L1: one group per tile, rows in input order.
    size_t n = 0;
    for (; n + 2 * kPackedGroup <= out; n += 2 * kPackedGroup, blk += 2 * block) {
        __m512 va, vb;
        packed::groupPair(x, blk, blk + block, L, va, vb);
        _mm512_storeu_ps(y + n, va);
        _mm512_storeu_ps(y + n + kPackedGroup, vb);
    }
    for (; n + kPackedGroup <= out; n += kPackedGroup, blk += block) _mm512_storeu_ps(y + n, packed::group<packed::Zmm>(x, blk, L));
    if (n == out) return;
    const __mmask16 rest = firstLanes(out - n);
    if (out - n <= 8)
        _mm512_mask_storeu_ps(y + n, rest, _mm512_castps256_ps512(packed::group<packed::Ymm>(x, blk, L)));
    else
        _mm512_mask_storeu_ps(y + n, rest, packed::group<packed::Zmm>(x, blk, L));
}

