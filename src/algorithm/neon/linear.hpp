// The NEON fully connected layer on the row-major matrix: the four-lane
// row-major kernel of generic/linear_quad.hpp, whose generic vectors are q
// registers here, with 4 rows a block (16 accumulators of the 32). Part of
// the NEON unit (neon.cpp): included inside namespace tolvex::neon. NEON
// loads take any alignment at full speed within a cache line, so there is no
// aligned reading mode; nor a prefetching one, which would be tuned blind
// without hardware to measure on.

struct RowMajor : QuadRowMajor<4, std::index_sequence<3, 2, 1>> {
    static constexpr const PackedLayout* kPackedLayout = &kGroups16;
    // Batches: 2 rows x 3 inputs of four-register accumulators on the
    // row-major matrix (24 of the 32), 1 lane x 3 inputs on the packed copy.
    static constexpr size_t kBatchRows = 2;
    static constexpr size_t kBatchSamples = 3;
    static constexpr size_t kPackedLanes = 1;
    static constexpr size_t kPackedSamples = 3;

    static void runPacked(const Layer& layer, Slice<const float> input);
};
