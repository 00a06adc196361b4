// Opens the AVX-512 region: every function defined between this header and
// avx512/end.hpp is compiled for AVX-512F (with AVX2, whose kernels this
// implementation shares in part), and nothing else is. Include it after every
// shared header, so that no inline function of those is compiled with
// AVX-512 and none of this code can run before the CPU check. GCC takes the
// target from its pragma, clang from an attribute pushed onto each function.
#if defined(__x86_64__)
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f,avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f,avx2")
// GCC 12 reports the deliberately undefined source operand inside some
// AVX-512 intrinsics as (maybe) uninitialized (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#endif
