// The portable fully connected layer: the four-lane row-major kernel of
// generic/linear_quad.hpp with 3 rows a block (12 accumulator vectors of
// SSE2's 16). Part of the baseline unit (baseline.cpp): included inside
// namespace tolvex::baseline. The baseline keeps no packed copy of the
// weights.

struct RowMajor : QuadRowMajor<3, std::index_sequence<2, 1>> {
    static constexpr std::nullptr_t kPackedLayout = nullptr;  // reads no packed copy
    // Batches: 1 row x 3 inputs of four-vector accumulators (12 of SSE2's 16
    // registers); there is no packed copy.
    static constexpr size_t kBatchRows = 1;
    static constexpr size_t kBatchSamples = 3;
    static constexpr size_t kPackedLanes = 1;
    static constexpr size_t kPackedSamples = 3;
};
