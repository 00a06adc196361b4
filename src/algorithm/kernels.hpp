// The kernels behind runLayer, one table of them per instruction-set
// implementation, and the choice of the table that runLayer uses.
//
// Every implementation computes exactly the same bits; they differ only in
// how many lanes they work on at once. Each lives in a folder of its own
// (baseline/, avx2/, avx512/, neon/) and in a namespace of its own, and
// exports nothing but its table. dispatch.cpp lists the tables in priority
// order; the first one the CPU can run is picked once, on first use. Tests,
// tools and benchmarks may force any available one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "algorithm/packed_layout.hpp"
#include "common/types.hpp"

namespace tolvex {

// The one NaN a model's output holds: every NaN that reaches the output is
// replaced with this quiet NaN, so outputs have the same bits on every
// implementation and machine, NaN included.
inline constexpr uint32_t kCanonicalNaN = 0x7fc00000;

using Kernel = void (*)(const Layer& layer, Slice<const float> input);
using ArrayFunction = void (*)(const float* x, float* y, size_t n);
// A linear layer for `count` inputs: x holds count rows of L floats, x_stride
// floats apart; row s of y (y_stride floats apart) gets the layer's output
// for row s of x, with the bits runLinear gives for that row alone.
using BatchKernel = void (*)(const Layer& layer, const float* x, size_t x_stride, size_t L, size_t count, float* y,
                             size_t y_stride);

struct KernelTable {
    const char* name = nullptr;
    // Whether this CPU and operating system can run the table; null for an
    // implementation of another architecture, whose table holds nothing else.
    bool (*supported)() = nullptr;

    Kernel linear = nullptr;
    BatchKernel linear_batch = nullptr;
    Kernel layer_norm = nullptr;
    // Layer normalization of `rows` rows of `width` floats, `stride` apart,
    // from x into y (x or an array of its own), each row with the bits
    // layer_norm gives it.
    void (*layer_norm_rows)(const Layer& layer, const float* x, float* y, size_t rows, size_t width,
                            size_t stride) = nullptr;
    Kernel clip = nullptr;
    Kernel elu = nullptr;
    Kernel relu = nullptr;
    Kernel relu6 = nullptr;
    Kernel sigmoid = nullptr;
    Kernel tanh = nullptr;
    Kernel leaky_relu = nullptr;

    // y[i] = exp(x[i]) and tanh(x[i]), correctly rounded: the bits of
    // math::exp and math::tanh. x and y may be the same array.
    ArrayFunction exp_array = nullptr;
    ArrayFunction tanh_array = nullptr;
    // y[i] = x[i] for i < n, every NaN replaced by the canonical quiet NaN;
    // in place (x == y) or into an array that does not overlap x.
    void (*canonicalize_nans)(const float* x, float* y, size_t n) = nullptr;

    // The second copy of the weights its linear kernel reads, if any (see
    // PackedLayout); null when it reads only the row-major matrix.
    const PackedLayout* packing = nullptr;
};

// The implementations this CPU can run, in priority order (fastest first).
// The last one is the portable baseline, which runs everywhere.
Slice<const KernelTable* const> availableImplementations();
// The table runLayer uses now.
const KernelTable& activeImplementation();
// Makes runLayer use `table` (one of availableImplementations()); nullptr
// returns to the automatic choice. Not synchronised with running passes.
// Force a table before making the models it is to run: a model keeps the
// packed weights of the table that was active when it was made.
void forceImplementation(const KernelTable* table);

// The kernels runLayer dispatches to; each forwards to the active table.
void runLinear(const Layer& layer, Slice<const float> input);
void runLinearBatch(const Layer& layer, const float* x, size_t x_stride, size_t L, size_t count, float* y,
                    size_t y_stride);
void runLayerNorm(const Layer& layer, Slice<const float> input);
void runLayerNormRows(const Layer& layer, const float* x, float* y, size_t rows, size_t width, size_t stride);
void clip(const Layer& layer, Slice<const float> input);
void elu(const Layer& layer, Slice<const float> input);
void relu(const Layer& layer, Slice<const float> input);
void relu6(const Layer& layer, Slice<const float> input);
void sigmoid(const Layer& layer, Slice<const float> input);
void tanh(const Layer& layer, Slice<const float> input);
void leakyRelu(const Layer& layer, Slice<const float> input);

// Layer normalization: both sums are single sequential chains, so every
// implementation shares this one scalar form.
void runLayerNormScalar(const Layer& layer, Slice<const float> input);

}  // namespace tolvex
