// How the row-major linear kernels walk a weight matrix: the order of the
// groups of neurons, and the ways a block of rows can be read. Shared by every
// implementation; holds no instruction-set code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/types.hpp"

namespace tolvex {

// The lanes of the linear kernel's arithmetic: input chunks of 16 values, and
// 16 lane accumulators per neuron, whatever the width of the registers.
inline constexpr size_t kLinearLanes = 16;

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

// The lane accumulators and tail products of one group of G neurons, neuron
// k in row k: what an implementation's accumulation leaves for its
// reduceGroup.
template <size_t G>
struct alignas(64) LaneState {
    float acc[G][kLinearLanes];
    float tail[G][kLinearLanes];
};

// Fetches the cache line `floats` floats after (or, when negative, before) p
// into L1. The last block of a pass fetches outside the weights; a prefetch
// never faults, and the address is formed as an integer so no out-of-range
// pointer is made.
inline void prefetchLine(const float* p, ptrdiff_t floats) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(p) + static_cast<uintptr_t>(floats) * sizeof(float);
    __builtin_prefetch(reinterpret_cast<const void*>(address), 0, 3);
}

// Whether an implementation's traits T name a packed layout its linear
// kernels read (kPackedLayout a pointer), or none (std::nullptr_t). Told
// apart by type: GCC 12 does not take the comparison of an object's address
// with nullptr as a constant under -fsanitize=null.
template <class T>
inline constexpr bool kReadsPacked = !std::is_null_pointer_v<std::remove_cv_t<decltype(T::kPackedLayout)>>;

// How a block of rows is read:
//  plain     unaligned vector loads;
//  aligned   aligned loads from the boundary before each row (the rows of a
//            matrix with L % 16 == 0 all start at the same offset from it);
//  prefetch  unaligned loads, and the rows the pass reads next fetched ahead.
enum class RowRead { plain, aligned, prefetch };

}  // namespace tolvex
