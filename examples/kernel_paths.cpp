// The kernel-path switch of the cart-pole demo (see kernel_paths.h), over the
// library's internal kernel table: the hook its own tests use to run every
// model through every implementation.
#include "kernel_paths.h"

#include "algorithm/kernels.hpp"

extern "C" int demo_kernel_path_count(void) {
    return static_cast<int>(tolvex::availableImplementations().len);
}

extern "C" const char* demo_kernel_path_name(int i) { return tolvex::availableImplementations()[i]->name; }

extern "C" void demo_use_kernel_path(int i) {
    tolvex::forceImplementation(i < 0 ? nullptr : tolvex::availableImplementations()[i]);
}
