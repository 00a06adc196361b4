// The fully connected layer's driver, written once for every implementation.
// An implementation includes this file inside its own namespace (and its
// instruction-set region), after the traits struct it passes as T:
//
//   kNeuronsPerGroup     neurons finished together by reduceGroup
//   kRowsPerBlock        rows accumulated together by accumulateRows
//   RemainderBlocks      std::index_sequence of the block sizes for the rows
//                        of a group past its last whole block, largest first
//   kAlignBytes          the boundary of the aligned read, 0 for none
//   kPrefetchMaxRow      the longest row whose next block is prefetched, 0
//                        for no prefetching
//   GroupState           acc[kNeuronsPerGroup][16] and tail[...][16]
//   accumulateRows<K, RowRead>(x, w, L, shift, ahead, acc, tail)
//                        lane accumulators of K rows over the whole input
//                        (and, when L % 16 != 0, their tail products)
//   reduceGroup(st, L, bias, out, m)
//                        finishes m neurons: lane sums in lane order, plus
//                        bias, plus tail products in order
//   kPackedLayout        the packed copy runPacked reads, or nullptr (of
//                        type std::nullptr_t)
//   runPacked(layer, input)
//
// Output neuron n is ((b[n] + s) + tail products in order), where s sums the
// 16 lane accumulators of the neuron in lane order and lane l accumulates
// x[16j+l]·W[n][16j+l] over the chunks j in order. Any schedule that keeps
// that sequence of additions per neuron and lane gives the same bits; this
// one visits the groups in the pass's GroupOrder and reads each group's rows
// in blocks, every block once over the whole input.
//
// Each implementation thus gets its own copy of every function here, compiled
// for its instruction set under its own mangled names.

// Accumulates rows k.. of a group past its whole blocks, in blocks of K and
// then of the smaller sizes that follow. They fetch nothing ahead.
template <class T, RowRead kRead, size_t K, size_t... Rest>
[[gnu::always_inline]] inline void accumulateRemainder(const float* x, const float* w, size_t L, size_t shift,
                                                       size_t k, size_t m, typename T::GroupState& st) {
    constexpr RowRead read = kRead == RowRead::prefetch ? RowRead::plain : kRead;
    for (; k + K <= m; k += K) T::template accumulateRows<K, read>(x, w + k * L, L, shift, 0, st.acc + k, st.tail + k);
    if constexpr (sizeof...(Rest) > 0) accumulateRemainder<T, kRead, Rest...>(x, w, L, shift, k, m, st);
}

template <class T, RowRead kRead, size_t... Ks>
[[gnu::always_inline]] inline void accumulateRemainder(const float* x, const float* w, size_t L, size_t shift,
                                                       size_t k, size_t m, typename T::GroupState& st,
                                                       std::index_sequence<Ks...>) {
    accumulateRemainder<T, kRead, Ks...>(x, w, L, shift, k, m, st);
}

// Accumulates the m rows (1..kNeuronsPerGroup) of one group into st. Only
// whole blocks fetch ahead: the rows the pass reads after them.
template <class T, RowRead kRead>
[[gnu::always_inline]] inline void accumulateGroup(const float* x, const float* w, size_t L, size_t shift, size_t m,
                                                   typename T::GroupState& st, const GroupOrder& order) {
    constexpr size_t K = T::kRowsPerBlock;
    size_t k = 0;
    for (; k + K <= m; k += K)
        T::template accumulateRows<K, kRead>(x, w + k * L, L, shift, order.nextRows(k, K, m, L), st.acc + k,
                                             st.tail + k);
    accumulateRemainder<T, kRead>(x, w, L, shift, k, m, st, typename T::RemainderBlocks{});
}

// Every group of the layer in the pass's order, its rows read as kRead says.
template <class T, RowRead kRead>
void runGroups(const float* x, const float* w, const float* b, float* y, size_t out, size_t L, size_t shift,
               GroupOrder order) {
    constexpr size_t G = T::kNeuronsPerGroup;
    typename T::GroupState st;
    for (size_t i = 0; i < order.groups; ++i) {
        const size_t n = order.groupAt(i) * G;
        const size_t m = out - n < G ? out - n : G;
        // Rows past the end of a short group take part in the reduction's
        // transposes: keep them finite.
        for (size_t k = m; k < G; ++k)
            for (size_t l = 0; l < kLinearLanes; ++l) st.acc[k][l] = st.tail[k][l] = 0.0f;
        accumulateGroup<T, kRead>(x, w + n * L, L, shift, m, st, order);
        T::reduceGroup(st, L, b + n, y + n, m);
    }
}

// The linear kernel: the packed copy when the layer has one for this
// implementation and this input length, else the row-major matrix. A matrix
// that stays in L1 is read with plain loads; a larger one with aligned loads
// where every row starts at the same offset from the boundary
// (L % 16 == 0), else short rows fetch the next block ahead.
template <class T>
void runLinearLayer(const Layer& layer, Slice<const float> input) {
    const size_t out = layer.out_buf.len, L = input.len;
    const float* x = input.ptr;
    const float* w = layer.cfg.linear.weights;
    const float* b = layer.cfg.linear.biases;
    float* y = layer.out_buf.ptr;
    if (out == 0) return;
    // Told apart by type: GCC 12 does not take the comparison of an
    // object's address with nullptr as a constant under -fsanitize=null.
    if constexpr (!std::is_null_pointer_v<std::remove_cv_t<decltype(T::kPackedLayout)>>) {
        if (layer.packed.layout == T::kPackedLayout && layer.packed.row_len == L) return T::runPacked(layer, input);
    }
    if (L == 0) {
        for (size_t n = 0; n < out; ++n) y[n] = b[n] + 0.0f;
        return;
    }

    const GroupOrder order(layer, L, T::kNeuronsPerGroup);
    if (L < kLinearLanes || out * L <= kL1Weights) return runGroups<T, RowRead::plain>(x, w, b, y, out, L, 0, order);
    if constexpr (T::kAlignBytes != 0) {
        if (L % kLinearLanes == 0) {
            const size_t shift = (reinterpret_cast<uintptr_t>(w) % T::kAlignBytes) / sizeof(float);
            return runGroups<T, RowRead::aligned>(x, w, b, y, out, L, shift, order);
        }
    }
    if constexpr (T::kPrefetchMaxRow != 0) {
        if (L <= T::kPrefetchMaxRow) return runGroups<T, RowRead::prefetch>(x, w, b, y, out, L, 0, order);
    }
    runGroups<T, RowRead::plain>(x, w, b, y, out, L, 0, order);
}
