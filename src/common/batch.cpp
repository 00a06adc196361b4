// Many inputs through a model: the inputs go in tiles of up to kBatchTile,
// each tile through every layer before the next. A linear layer takes the
// whole tile at once (runLinearBatch, which loads each weight once per block
// of inputs); an element-wise layer runs over the tile's rows as one array,
// layer normalization several rows at once (runLayerNormRows). Two scratch
// buffers of a tile's widest rows take turns as the linear layers' outputs,
// as the model's own buffers do in a single pass; a tile of one input runs
// the single-input kernels, so a batch of one costs what a single pass does.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "algorithm/algorithm.hpp"
#include "algorithm/kernels.hpp"
#include "common/model.hpp"

namespace tolvex {

namespace {

size_t widest(const Model& model) {
    size_t w = model.input_size;
    for (const Layer& layer : model.layers) w = std::max(w, layer.out_buf.len);
    return w;
}

// `layer` (not linear) over n rows of `width` floats from src into dst, which
// is src or a buffer of its own: an element-wise layer as one array, layer
// normalization by rows.
void runRows(const Layer& layer, const float* src, float* dst, size_t n, size_t width) {
    if (layer.cfg.type == LayerType::layer_norm) return runLayerNormRows(layer, src, dst, n, width);
    Layer rows = layer;
    rows.out_buf = {dst, n * width};
    runLayer(rows, {src, n * width});
}

// One tile of n inputs at x into the n output rows at y.
void runTile(const Model& model, const float* x, size_t n, float* y, float* const buf[2]) {
    const float* prev = x;
    size_t prev_len = model.input_size;
    int cur = -1;  // the scratch buffer that holds `prev`, or -1 for the caller's input
    for (const Layer& layer : model.layers) {
        const size_t width = layer.out_buf.len;
        if (layer.cfg.type == LayerType::linear) {
            const int next = cur == 0 ? 1 : 0;
            if (n == 1) {
                Layer one = layer;  // the single pass flips the copy's group order
                one.out_buf = {buf[next], width};
                runLayer(one, {prev, prev_len});
            } else {
                runLinearBatch(layer, prev, prev_len, prev_len, n, buf[next], width);
            }
            cur = next;
        } else {
            // A first layer that is not linear reads the caller's rows (of
            // its own size) and writes the first buffer; the others work in
            // place, as in a single pass.
            const int dst = cur < 0 ? 0 : cur;
            runRows(layer, prev, buf[dst], n, width);
            cur = dst;
        }
        prev = buf[cur];
        prev_len = width;
    }
    std::memcpy(y, prev, n * prev_len * sizeof(float));
    canonicalizeOutput({y, n * prev_len});
}

}  // namespace

size_t forwardScratchFloats(const Model& model) {
    if (model.layers.len == 0) return 0;
    return 2 * kBatchTile * widest(model);
}

void forwardBatch(const Model& model, Slice<const float> in, size_t count, Slice<float> out) {
    if (model.layers.len == 0 || count == 0) return;
    const size_t in_len = model.input_size, out_len = model.layers[model.layers.len - 1].out_buf.len;
    if (in.len != count * in_len) return fillCanonicalNaN(out);
    const float* input = in.ptr;
    float* output = out.ptr;
    float* const buf[2] = {model.scratch.ptr, model.scratch.ptr + kBatchTile * widest(model)};
    // Outputs that run behind their inputs (starting before them, or in
    // place with rows no longer): tiles in order, each writing over inputs
    // already read. Outputs that run ahead: tiles from the last.
    const uintptr_t out_at = reinterpret_cast<uintptr_t>(output), in_at = reinterpret_cast<uintptr_t>(input);
    const bool backward = out_at > in_at || (out_at == in_at && out_len > in_len);
    const size_t tiles = (count + kBatchTile - 1) / kBatchTile;
    for (size_t i = 0; i < tiles; ++i) {
        const size_t t = backward ? tiles - 1 - i : i;
        const size_t first = t * kBatchTile, n = std::min(kBatchTile, count - first);
        runTile(model, input + first * in_len, n, output + first * out_len, buf);
    }
}

}  // namespace tolvex
