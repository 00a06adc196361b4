// The kernel table of an implementation, written once: every entry is the
// implementation's own copy of a generic kernel (generic/linear.hpp,
// linear_batch.hpp, elementwise.hpp) over its RowMajor traits, plus the
// shared scalar layer normalization. Included last inside an
// implementation's namespace; evaluated at compile time, so it adds no code.
constexpr KernelTable implementationTable(const char* name, bool (*supported)()) {
    return KernelTable{
        .name = name,
        .supported = supported,
        .linear = runLinearLayer<RowMajor>,
        .linear_batch = runLinearBatchLayer<RowMajor>,
        .layer_norm = runLayerNormScalar,
        .layer_norm_rows = layerNormRows,
        .clip = clip,
        .elu = elu,
        .relu = relu,
        .relu6 = relu6,
        .sigmoid = sigmoid,
        .tanh = tanh,
        .leaky_relu = leakyRelu,
        .exp_array = expArray,
        .tanh_array = tanhArray,
        .canonicalize_nans = canonicalizeNaNs,
        .packing = RowMajor::kPackedLayout,
    };
}
