// Enables AVX-512F for the rest of the including file, up to
// avx512_end.hpp. Include it after every shared header, so that no inline
// function of those is compiled with AVX-512: only the file's own functions
// and the AVX-512 headers included after it are.
#if defined(__x86_64__)
#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12 reports the deliberately undefined source operand inside some
// AVX-512 intrinsics as (maybe) uninitialized (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
