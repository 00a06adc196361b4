// The kernels behind runLayer, one table of them per instruction-set
// implementation, and the choice of the table that runLayer uses.
//
// Every implementation computes exactly the same bits; they differ only in
// how many lanes they work on at once. The table is picked once, on first
// use, as the first entry of the priority list that the CPU can run; tests and
// benchmarks may force any available one.
#pragma once

#include <cstddef>

#include "common/types.hpp"

namespace tolvex {

using Kernel = void (*)(const Layer& layer, Slice<const float> input);

struct KernelTable {
    const char* name;
    bool (*supported)();
    Kernel linear;
    Kernel layer_norm;
    Kernel clip;
    Kernel elu;
    Kernel relu;
    Kernel relu6;
    Kernel sigmoid;
    Kernel tanh;
    Kernel leaky_relu;
};

// The implementations this CPU can run, in priority order (fastest first).
// The last one is the portable baseline, which runs everywhere.
Slice<const KernelTable* const> availableImplementations();
// The table runLayer uses now.
const KernelTable& activeImplementation();
// Makes runLayer use `table` (one of availableImplementations()); nullptr
// returns to the automatic choice. Not synchronised with running passes.
void forceImplementation(const KernelTable* table);

// The kernels runLayer dispatches to; each forwards to the active table.
void runLinear(const Layer& layer, Slice<const float> input);
void runLayerNorm(const Layer& layer, Slice<const float> input);
void clip(const Layer& layer, Slice<const float> input);
void elu(const Layer& layer, Slice<const float> input);
void relu(const Layer& layer, Slice<const float> input);
void relu6(const Layer& layer, Slice<const float> input);
void sigmoid(const Layer& layer, Slice<const float> input);
void tanh(const Layer& layer, Slice<const float> input);
void leakyRelu(const Layer& layer, Slice<const float> input);

// The order of a row-major linear pass over `groups` groups of neurons:
// groupAt(i) is the group visited i-th. Descending passes (see
// Layer::descending) apply to matrices of up to kDescendingMaxWeights. Past
// a few times the size of an L2 cache the rows still there are a few percent
// of the matrix, and alternating measured slightly slower than always
// ascending (a 64 MiB matrix); at 2 to 16 MiB it is 5 to 30 % faster.
inline constexpr size_t kDescendingMaxWeights = size_t{1} << 22;  // 16 MiB
struct GroupOrder {
    size_t group_size, groups;
    bool descending;
    GroupOrder(const Layer& layer, size_t in_len, size_t group_rows)
        : group_size(group_rows),
          groups((layer.out_buf.len + group_rows - 1) / group_rows),
          descending(layer.descending && layer.out_buf.len * in_len <= kDescendingMaxWeights) {}
    size_t groupAt(size_t i) const { return descending ? groups - 1 - i : i; }
    // Where the pass reads next after the block of `block_rows` rows (of
    // row_len floats) that starts at row k of a group of m rows, in floats
    // from that block: the next block of the group, or after the group's last
    // block the next group in this order, which follows it in memory when
    // ascending and starts group_size rows before it when descending.
    ptrdiff_t nextRows(size_t k, size_t block_rows, size_t m, size_t row_len) const {
        const bool last = k + block_rows >= m;
        if (last && descending) return -static_cast<ptrdiff_t>((group_size + k) * row_len);
        return static_cast<ptrdiff_t>(block_rows * row_len);
    }
};

// CPU features, from cpuid and (for the wide registers) xgetbv.
bool cpuHasAvx2();
// AVX-512F together with AVX2 (the AVX-512 table shares the AVX2 kernels).
bool cpuHasAvx512();

// Scalar kernels: layer normalization on every path (its order of operations
// is a sequential chain); elu, sigmoid and tanh on the baseline path.
void runLayerNormScalar(const Layer& layer, Slice<const float> input);
void eluScalar(const Layer& layer, Slice<const float> input);
void sigmoidScalar(const Layer& layer, Slice<const float> input);
void tanhScalar(const Layer& layer, Slice<const float> input);

// Portable baseline: 4-lane vectors (SSE2 on x86-64) or plain loops.
void runLinearBaseline(const Layer& layer, Slice<const float> input);
void clipBaseline(const Layer& layer, Slice<const float> input);
void reluBaseline(const Layer& layer, Slice<const float> input);
void relu6Baseline(const Layer& layer, Slice<const float> input);
void leakyReluBaseline(const Layer& layer, Slice<const float> input);

#if defined(__x86_64__)
// AVX2 (without FMA): only called after cpuHasAvx2().
void runLinearAvx2(const Layer& layer, Slice<const float> input);
void clipAvx2(const Layer& layer, Slice<const float> input);
void reluAvx2(const Layer& layer, Slice<const float> input);
void relu6Avx2(const Layer& layer, Slice<const float> input);
void leakyReluAvx2(const Layer& layer, Slice<const float> input);
void eluAvx2(const Layer& layer, Slice<const float> input);
void sigmoidAvx2(const Layer& layer, Slice<const float> input);
void tanhAvx2(const Layer& layer, Slice<const float> input);
// The linear kernels over a layer's packed weights; only for a layer whose
// packed copy was made for rows of input.len floats.
void runLinearPackedAvx2(const Layer& layer, Slice<const float> input);
void runLinearPackedAvx512(const Layer& layer, Slice<const float> input);
// AVX-512F, enabled for its own file by a target pragma: only called after
// cpuHasAvx512(). No float operation of a kernel is fused; only the double
// evaluations inside the correctly rounded exp and tanh use fused
// multiply-adds.
void runLinearAvx512(const Layer& layer, Slice<const float> input);
void eluAvx512(const Layer& layer, Slice<const float> input);
void sigmoidAvx512(const Layer& layer, Slice<const float> input);
void tanhAvx512(const Layer& layer, Slice<const float> input);
#endif

}  // namespace tolvex
