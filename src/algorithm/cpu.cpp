// CPU feature detection for the kernel tables. A CPU may report AVX2 while the
// operating system does not save the upper halves of the ymm registers on a
// context switch, so the xgetbv check is as necessary as the cpuid bit.
#include "algorithm/cpu.hpp"

#include <cstdint>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace tolvex {

namespace {

#if defined(__x86_64__)

// XCR0: the register states the OS saves. Only valid once OSXSAVE is set.
uint64_t readXcr0() {
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}

// XCR0 bits: SSE and AVX (ymm upper halves) state; AVX-512 opmask, zmm0-15
// upper halves and zmm16-31 state.
constexpr uint64_t kYmmState = 0x6;
constexpr uint64_t kZmmState = 0xE6;

// The leaf-7 EBX feature bits, or 0 if the OS does not save `state`.
unsigned extendedFeatures(uint64_t state) {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return 0;
    if ((ecx & bit_OSXSAVE) == 0 || (ecx & bit_AVX) == 0) return 0;
    if ((readXcr0() & state) != state) return 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return 0;
    return ebx;
}

bool hasAvx2() { return (extendedFeatures(kYmmState) & bit_AVX2) != 0; }

// AVX-512F together with AVX2 (the AVX-512 table shares AVX2 code).
bool hasAvx512() {
    const unsigned f = extendedFeatures(kZmmState);
    return (f & bit_AVX2) != 0 && (f & bit_AVX512F) != 0;
}

#endif

struct Isa {
    std::string_view name;
    bool (*detect)();
};

// One line per instruction set of a kernel table, on the architecture that
// has it. (Advanced SIMD is part of every AArch64 processor that Linux runs
// on.)
constexpr Isa kIsas[] = {
#if defined(__x86_64__)
    {"avx2", hasAvx2},
    {"avx512", hasAvx512},
#endif
#if defined(__aarch64__)
    {"neon", [] { return true; }},
#endif
    {"", nullptr},
};

}  // namespace

bool cpuSupports(std::string_view isa) {
    for (const Isa& i : kIsas)
        if (i.detect != nullptr && i.name == isa) return i.detect();
    return false;
}

}  // namespace tolvex
