// Many inputs through a model: the inputs go in tiles, each tile through
// every layer before the next. A linear layer takes the
// whole tile at once (runLinearBatch, which loads each weight once per block
// of inputs); an element-wise layer runs over the tile's rows as one array,
// layer normalization several rows at once (runLayerNormRows). Two scratch
// buffers of a tile's widest rows take turns as the linear layers' outputs,
// as the model's own buffers do in a single pass. A tile of one input is a
// single pass, so a batch of one costs what a single pass does.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "algorithm/algorithm.hpp"
#include "algorithm/kernels.hpp"
#include "common/model.hpp"

namespace tolvex {

namespace {

// The second buffer starts this many floats past the end of the first, so
// that the two are not a multiple of 4 KiB apart: a layer reading row i of
// one buffer while writing row i of the other would otherwise have every
// store look, to the CPU's memory ordering, like one to the address it just
// loaded (4 KiB aliasing), which stalled a batch of one by a fifth on W1.
constexpr size_t kBufferSkew = 48;

// The distance, in floats, between the rows of a tile in the scratch. Rows a
// multiple of 1 KiB long would put the rows that a register block reads
// together in the same few sets of the L1 cache, which then evict each
// other (a batch of 1024-wide inputs ran 40 % slower); such rows are kept
// 64 bytes apart more.
size_t rowStride(size_t width) { return width != 0 && width % 256 == 0 ? width + 16 : width; }

// Inputs per tile: every layer runs on a tile's inputs together, so each
// weight is read once per tile from where it lives and reused from registers
// and the cache for the inputs of the tile. A model whose weights outgrow the
// L2 cache (a quarter of a million, 1 MiB) streams them from L3 or memory for
// every tile: at 32 inputs that took a third of the time of a 1024 x 1024
// layer, and W2's three layers (1.6 MiB) ran 3-4 % slower than at 128. Such
// models take 128 inputs at a time.
constexpr size_t kTileInCache = 32, kTileStreaming = 128, kL2Weights = size_t{1} << 18;

size_t tileInputs(const Model& model) {
    size_t weights = 0;
    for (size_t k = 0; k < model.layers.len; ++k)
        if (model.layers[k].cfg.type == LayerType::linear)
            weights += model.layers[k].out_buf.len * inputSize(model, static_cast<uint32_t>(k));
    return weights > kL2Weights ? kTileStreaming : kTileInCache;
}

size_t widest(const Model& model) {
    size_t w = model.input_size;
    for (const Layer& layer : model.layers) w = std::max(w, layer.out_buf.len);
    return w;
}

// Rows of a tile: where the first starts and how far apart they are.
struct Rows {
    const float* at;
    size_t stride;
};

// `layer` (not linear) over n rows of `width` floats from src into dst (which
// is src, or a buffer of its own for the first layer), at the same stride:
// an element-wise layer as one array when the rows touch, else row by row;
// layer normalization several rows at once.
void runRows(const Layer& layer, Rows src, float* dst, size_t n, size_t width) {
    if (layer.cfg.type == LayerType::layer_norm)
        return runLayerNormRows(layer, src.at, dst, n, width, src.stride);
    Layer rows = layer;
    if (src.stride == width) {
        rows.out_buf = {dst, n * width};
        return runLayer(rows, {src.at, n * width});
    }
    for (size_t r = 0; r < n; ++r) {
        rows.out_buf = {dst + r * src.stride, width};
        runLayer(rows, {src.at + r * src.stride, width});
    }
}

// One tile of n inputs at x (rows of the model's input size) into the n
// output rows at y.
void runTile(const Model& model, const float* x, size_t n, float* y, float* const buf[2]) {
    const size_t in_len = model.input_size;
    Rows prev{x, in_len};
    size_t prev_len = in_len;
    int cur = -1;  // the scratch buffer that holds `prev`, or -1 for the caller's input
    if (rowStride(in_len) != in_len) {
        // The caller's rows are 1 KiB multiples apart: copied, further apart,
        // into the second buffer, which a first linear layer reads and any
        // other first layer works on in place. Every row in the scratch is
        // then rowStride apart.
        const size_t stride = rowStride(in_len);
        for (size_t r = 0; r < n; ++r) std::memcpy(buf[1] + r * stride, x + r * in_len, in_len * sizeof(float));
        prev = {buf[1], stride};
        cur = 1;
    }
    for (const Layer& layer : model.layers) {
        const size_t width = layer.out_buf.len, stride = rowStride(width);
        if (layer.cfg.type == LayerType::linear) {
            const int next = cur == 0 ? 1 : 0;
            runLinearBatch(layer, prev.at, prev.stride, prev_len, n, buf[next], stride);
            cur = next;
        } else {
            // A first layer that is not linear reads the caller's rows (of
            // its own size, which are then rowStride apart too) and writes
            // the first buffer; the others work in place, as in a single
            // pass.
            const int dst = cur < 0 ? 0 : cur;
            runRows(layer, prev, buf[dst], n, width);
            cur = dst;
        }
        prev = {buf[cur], stride};
        prev_len = width;
    }
    // The scratch never overlaps the caller's arrays.
    for (size_t r = 0; r < n; ++r) copyCanonicalOutput(prev.at + r * prev.stride, y + r * prev_len, prev_len);
}

// One input: the single pass itself, in the model's own buffers (which a
// batch leaves unspecified), its output copied into the caller's row with
// its NaNs made canonical on the way, one pass over the output as in the
// single pass. The row may be the model's own output buffer, or overlap it
// (then canonical in place and moved as memmove does).
void runOne(const Model& model, const float* x, float* y) {
    runLayers(model, {x, model.input_size});
    const Slice<float> r = getOutputBuffer(model);
    if (y == r.ptr || !overlaps(y, r.len, r.ptr, r.len)) return copyCanonicalOutput(r.ptr, y, r.len);
    canonicalizeOutput(r);
    std::memmove(y, r.ptr, r.len * sizeof(float));
}

}  // namespace

size_t forwardScratchFloats(const Model& model) {
    if (model.layers.len == 0) return 0;
    return 2 * tileInputs(model) * rowStride(widest(model)) + kBufferSkew;
}

void forwardBatch(const Model& model, Slice<const float> in, size_t count, Slice<float> out) {
    if (model.layers.len == 0 || count == 0) return;
    const size_t in_len = model.input_size, out_len = model.layers[model.layers.len - 1].out_buf.len;
    if (in.len != count * in_len) return fillCanonicalNaN(out);
    // A model that outputs nothing leaves nothing to write (and the output
    // pointer may then be null).
    if (out_len == 0) return;
    if (count == 1) return runOne(model, in.ptr, out.ptr);
    const float* input = in.ptr;
    float* output = out.ptr;
    const size_t tile = tileInputs(model);
    float* const buf[2] = {model.scratch.ptr, model.scratch.ptr + tile * rowStride(widest(model)) + kBufferSkew};
    // Outputs that run behind their inputs (starting before them, or in
    // place with rows no longer): tiles in order, each writing over inputs
    // already read. Outputs that run ahead: tiles from the last.
    const uintptr_t out_at = reinterpret_cast<uintptr_t>(output), in_at = reinterpret_cast<uintptr_t>(input);
    const bool backward = out_at > in_at || (out_at == in_at && out_len > in_len);
    const size_t tiles = (count + tile - 1) / tile;
    for (size_t i = 0; i < tiles; ++i) {
        const size_t t = backward ? tiles - 1 - i : i;
        const size_t first = t * tile, n = std::min(tile, count - first);
        if (n == 1)
            runOne(model, input + first * in_len, output + first * out_len);
        else
            runTile(model, input + first * in_len, n, output + first * out_len, buf);
    }
}

}  // namespace tolvex
