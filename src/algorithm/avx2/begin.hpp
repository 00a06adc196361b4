// Opens the AVX2 region: every function defined between this header and
// avx2/end.hpp is compiled for AVX2 (without FMA), and nothing else is.
// Include it after every shared header, so that no inline function of those
// is compiled with AVX2 and none of this code can run before the CPU check.
// GCC takes the target from its pragma, clang from an attribute pushed onto
// each function.
#if defined(__x86_64__)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#endif
