#include "common/model.hpp"

namespace tolvex {

void printLayers(const Model&) {}

}  // namespace tolvex
