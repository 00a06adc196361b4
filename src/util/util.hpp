// The buffer-sharing rule: layer 0 and every linear layer own an output
// buffer; every other layer computes in place in the buffer before it.
#pragma once

#include "common/types.hpp"

namespace tolvex {

constexpr bool shouldAllocOutBuf(LayerType layer_type) { return layer_type == LayerType::linear; }

}  // namespace tolvex
