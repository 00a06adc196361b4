// Closes what avx512_begin.hpp opened.
#if defined(__x86_64__)
#pragma GCC diagnostic pop
#pragma GCC pop_options
#endif
