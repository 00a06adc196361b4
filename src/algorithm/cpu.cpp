// CPU feature detection for the kernel tables. A CPU may report AVX2 while the
// operating system does not save the upper halves of the ymm registers on a
// context switch, so the xgetbv check is as necessary as the cpuid bit.
#include "algorithm/kernels.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace tolvex {

#if defined(__x86_64__)

namespace {

// XCR0: the register states the OS saves. Only valid once OSXSAVE is set.
uint64_t readXcr0() {
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}

}  // namespace

bool cpuHasAvx2() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool osxsave = (ecx & bit_OSXSAVE) != 0;
    const bool avx = (ecx & bit_AVX) != 0;
    if (!osxsave || !avx) return false;
    constexpr uint64_t kSseAndYmmState = 0x6;
    if ((readXcr0() & kSseAndYmmState) != kSseAndYmmState) return false;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ebx & bit_AVX2) != 0;
}

#else

bool cpuHasAvx2() { return false; }

#endif

}  // namespace tolvex
