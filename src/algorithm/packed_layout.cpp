// The packed layout of groups of 16 neurons (see packed_layout.hpp).
#include "algorithm/packed_layout.hpp"

namespace tolvex {

namespace {

Result<PackedLinear> packGroups16(Allocator a, const Layer& layer, size_t row_len) {
    const size_t out = layer.out_buf.len;
    if (layer.cfg.type != LayerType::linear || out == 0 || row_len == 0 || out * row_len > kPackedMaxWeights)
        return PackedLinear{};
    const size_t groups = (out + kPackedGroup - 1) / kPackedGroup;
    const size_t block = packedBlockFloats(row_len), len = groups * block;
    auto* data = static_cast<float*>(a.rawAlloc(len * sizeof(float), kPackedAlign));
    if (data == nullptr) return fail(Error::OutOfMemory);

    const float* w = layer.cfg.linear.weights;
    const float* b = layer.cfg.linear.biases;
    const size_t per_tile = packedTileGroups(out, row_len);
    for (size_t g = 0; g < groups; ++g) {
        const size_t first = g / per_tile * per_tile;  // the tile's first group
        const size_t tile_groups = groupsInTile(groups, first, per_tile);
        float* tile = data + first * block;
        for (size_t k = 0; k < kPackedGroup; ++k) {
            const size_t n = g * kPackedGroup + k;
            const bool real = n < out;
            for (size_t j = 0; j <= row_len; ++j) {
                const size_t set = packedRowSet(j, row_len, per_tile);
                const float value = !real ? 0.0f : j < row_len ? w[n * row_len + j] : b[n];
                tile[(set * tile_groups + (g - first)) * kPackedGroup + k] = value;
            }
        }
    }
    return PackedLinear{{data, len}, row_len, &kGroups16};
}

}  // namespace

const PackedLayout kGroups16{"groups16", packGroups16, kPackedAlign};

void freePacked(Allocator a, const PackedLinear& packed) {
    if (packed.data.len != 0) a.rawFree(packed.data.ptr, packed.data.len * sizeof(float), packed.layout->align);
}

}  // namespace tolvex
