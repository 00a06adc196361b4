#include "common/assembler.hpp"

#include <cassert>
#include <cstring>

#include "algorithm/packed_layout.hpp"
#include "common/model.hpp"
#include "util/util.hpp"

namespace tolvex {

Status ModelAssembler::begin(uint32_t input_size, size_t capacity) {
    assert(capacity_ == 0 && done_ == 0);
    model_.input_size = input_size;
    return resizeLayers(capacity);
}

Status ModelAssembler::reserve(size_t capacity) {
    assert(capacity >= done_);
    if (capacity == capacity_) return {};
    return resizeLayers(capacity);
}

// In place when the allocator can, otherwise into a new array that takes the
// appended layers over. On failure the old array stays.
Status ModelAssembler::resizeLayers(size_t capacity) {
    Allocator a = model_.allocator;
    Layer* old = model_.layers.ptr;
    if (capacity_ != 0 && capacity != 0 &&
        a.rawResize(old, capacity_ * sizeof(Layer), alignof(Layer), capacity * sizeof(Layer))) {
        capacity_ = capacity;
        return {};
    }
    Slice<Layer> fresh = TOLVEX_TRY(a.allocArray<Layer>(capacity));
    if (done_ != 0) std::memcpy(static_cast<void*>(fresh.ptr), old, done_ * sizeof(Layer));
    a.freeArray(old, capacity_);
    model_.layers.ptr = fresh.ptr;
    capacity_ = capacity;
    return {};
}

uint32_t ModelAssembler::nextInputSize() const { return inputSize(model_, static_cast<uint32_t>(done_)); }

namespace {

// Resizes arr to n floats, keeping the first ones: in place when the
// allocator can, otherwise into a new array. On failure arr is unchanged.
Status resizeFloats(Allocator a, Slice<float>& arr, size_t n) {
    if (n == arr.len) return {};
    if (arr.len != 0 && n != 0 &&
        a.rawResize(arr.ptr, arr.len * sizeof(float), alignof(float), n * sizeof(float))) {
        arr.len = n;
        return {};
    }
    Slice<float> fresh = TOLVEX_TRY(a.allocArray<float>(n));
    const size_t keep = arr.len < n ? arr.len : n;
    if (keep != 0) std::memcpy(fresh.ptr, arr.ptr, keep * sizeof(float));
    a.freeArray(arr);
    arr = fresh;
    return {};
}

}  // namespace

Result<float*> ModelAssembler::weights(size_t n) {
    TOLVEX_CHECK(resizeFloats(model_.allocator, weights_, n));
    return weights_.ptr;
}

Result<float*> ModelAssembler::biases(size_t n) {
    TOLVEX_CHECK(resizeFloats(model_.allocator, biases_, n));
    return biases_.ptr;
}

Status ModelAssembler::append(const LayerConfig& cfg, uint32_t size) {
    assert(done_ < capacity_);
    Layer layer;
    layer.cfg = cfg;
    // The output buffer holds nothing from the maker's input, so it comes
    // last: a claimed size costs no memory until the parameters that back it
    // have passed the maker's checks.
    if (done_ == 0 || shouldAllocOutBuf(cfg.type)) {
        layer.out_buf = TOLVEX_TRY(model_.allocator.allocArray<float>(size));
    } else {
        layer.out_buf = model_.layers[done_ - 1].out_buf;
    }
    switch (cfg.type) {
        case LayerType::linear:
            assert(weights_.len == size_t{size} * nextInputSize() && biases_.len == size);
            layer.cfg.linear = Linear{weights_.ptr, biases_.ptr};
            break;
        case LayerType::layer_norm:
            assert(weights_.len == layer.out_buf.len && biases_.len == layer.out_buf.len);
            layer.cfg.layer_norm.weights = weights_.ptr;
            layer.cfg.layer_norm.biases = biases_.ptr;
            break;
        default: assert(weights_.empty() && biases_.empty()); break;
    }
    model_.layers.ptr[done_] = layer;
    model_.layers.len = ++done_;
    weights_ = {};
    biases_ = {};
    return {};
}

Result<Model> ModelAssembler::finish(Packing packing) {
    assert(!over_ && weights_.empty() && biases_.empty());
    if (capacity_ != done_) TOLVEX_CHECK(resizeLayers(done_));
    model_.scratch = TOLVEX_TRY(model_.allocator.allocArray<float>(forwardScratchFloats(model_)));
    if (packing == Packing::active) TOLVEX_CHECK(packLinearLayers(model_));
    over_ = true;
    return model_;
}

void ModelAssembler::abandon() {
    if (over_) return;
    over_ = true;
    Allocator a = model_.allocator;
    a.freeArray(biases_);
    a.freeArray(weights_);
    for (const Layer& layer : model_.layers) freePacked(a, layer.packed);
    freeLayers(model_, done_);
    freeOutBufs(model_, done_);
    a.freeArray(model_.scratch);
    a.freeArray(model_.layers.ptr, capacity_);
}

}  // namespace tolvex
