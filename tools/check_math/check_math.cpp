// check_math: proves, over all 2^32 float inputs, that tolvex::math::exp and
// tolvex::math::tanh are correctly rounded (to nearest, ties to even), on the
// scalar path and on the array forms of every kernel implementation the CPU
// runs (baseline, AVX2, AVX-512, NEON, ...).
//
// The argument, input by input:
// 1. Vector paths = scalar path: every input goes through every array form
//    and the results are compared bit for bit (all 2^32 inputs, both
//    functions).
// 2. Scalar path = correctly rounded result, with the reference taken as:
//    - NaN: the input quieted (quiet bit set), sign and payload kept.
//    - Everywhere else MPFR (precision 24, float exponent range, subnormals
//      emulated with mpfr_subnormalize, MPFR_RNDN), except on four ranges
//      where the correctly rounded result is settled by monotonicity or a
//      bound, each with its premise checked against MPFR at start-up:
//      * exp, x <= −104 (with −inf): exp is increasing and rounding to nearest
//        is monotonic, so RN(exp x) <= RN(exp(−104)) = +0: the result is +0.
//      * exp, x >= 89 (with +inf): likewise RN(exp x) >= RN(exp 89) = +inf.
//      * exp, |x| <= 2^-26: RN(exp(−2^-26)) = RN(exp(2^-26)) = 1, and by
//        monotonicity every input between gives 1.
//      * tanh, |x| >= 10: RN(tanh 10) = 1 and tanh is increasing and odd
//        (rounding to nearest is symmetric): the result is ±1.
//      * tanh, 0 < |x| <= 2^-13: x − x^3/3 < tanh x < x for x > 0, and the gap
//        from x down to the next float is at least 2^-24·x (2^-149 for
//        subnormals); x^3/3 is less than half of that (x^2 <= 2^-26 <
//        1.5·2^-24), so tanh x lies within half a gap below x and rounds to
//        x. With ±0 this gives: the result is x itself.
//    MPFR is called once per magnitude for tanh (its correctly rounded
//    results are odd), once per input for exp.
// 3. The exception tables are consistent: every entry's input fails the
//    rounding test (no stale entry) and its result equals MPFR's.
// Steps 1 and 2 together cover every input of every path.
//
// Usage:
//   check_math                   everything above (about 6 minutes on two
//                                x86 cores; hours under an emulator)
//   check_math --blocks F N      steps 1 and 2 for magnitude blocks F..F+N-1
//                                of the 32768 blocks of 65536 magnitudes
//                                (both signs), to run the check in chunks
//   check_math --random N [SEED] steps 1 and 2 for N random inputs of each
//                                function (bit patterns, and ranges around
//                                the thresholds)
//   check_math --paths-only [--blocks F N]
//                                step 1 only, and the single calls against
//                                the scalar array form, without MPFR: under
//                                an emulator the MPFR calls take most of the
//                                time. Step 2 then carries over from a
//                                machine where it ran through the digest
//                                that every block run prints: a hash of the
//                                scalar results of the blocks checked, equal
//                                on two machines only when their scalar
//                                results are (up to a 2^-64 chance).
//   check_math --exceptions      lists every input whose rounding test fails,
//                                with its correctly rounded result, in the
//                                form of the library's tables
#include <mpfr.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "algorithm/kernels.hpp"
#include "algorithm/math.hpp"
#include "algorithm/math_core.hpp"

namespace {

using tolvex::math::detail::RoundingException;

enum class Fn { exp, tanh };

const char* name(Fn f) { return f == Fn::exp ? "exp" : "tanh"; }

// MPFR in the float format: 24 bits, exponents of binary32, subnormals.
class Reference {
public:
    Reference() {
        mpfr_set_emin(-148);  // 2^-149 = 0.5·2^-148, the least subnormal
        mpfr_set_emax(128);
        mpfr_init2(x_, 24);
        mpfr_init2(y_, 24);
    }
    ~Reference() {
        mpfr_clear(x_);
        mpfr_clear(y_);
        mpfr_free_cache();
    }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    float operator()(Fn f, float x) {
        ++calls;
        mpfr_set_flt(x_, x, MPFR_RNDN);
        int t = f == Fn::exp ? mpfr_exp(y_, x_, MPFR_RNDN) : mpfr_tanh(y_, x_, MPFR_RNDN);
        t = mpfr_subnormalize(y_, t, MPFR_RNDN);
        return mpfr_get_flt(y_, MPFR_RNDN);
    }
    uint64_t calls = 0;

private:
    mpfr_t x_, y_;
};

uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }
float fromBits(uint32_t b) { return std::bit_cast<float>(b); }
bool isNan(uint32_t b) { return (b & 0x7fffffffu) > 0x7f800000u; }

// Magnitude boundaries of the ranges settled without MPFR.
const uint32_t kExpLow = bits(104.0f);           // x <= −104: +0
const uint32_t kExpHigh = bits(89.0f);           // x >= 89: +inf
const uint32_t kExpTiny = bits(0x1p-26f);        // |x| <= 2^-26: 1
const uint32_t kTanhSat = bits(10.0f);           // |x| >= 10: ±1
const uint32_t kTanhTiny = bits(0x1p-13f);       // |x| <= 2^-13: x

// The correctly rounded result for input bits `b`; `ref` only when needed.
// For tanh, `cached_mag` carries MPFR's result for the magnitude between the
// two signs (NaN bits when not yet computed).
uint32_t expected(Fn f, uint32_t b, Reference& ref, uint32_t& cached_mag) {
    if (isNan(b)) return b | 0x00400000u;
    uint32_t mag = b & 0x7fffffffu, sign = b & 0x80000000u;
    if (f == Fn::exp) {
        if (sign && mag >= kExpLow) return 0;
        if (!sign && mag >= kExpHigh) return 0x7f800000u;
        if (mag <= kExpTiny) return bits(1.0f);
        return bits(ref(f, fromBits(b)));
    }
    if (mag >= kTanhSat) return sign | bits(1.0f);
    if (mag <= kTanhTiny) return b;
    if (isNan(cached_mag)) cached_mag = bits(ref(f, fromBits(mag)));
    return sign | cached_mag;
}

bool checkPremises() {
    Reference ref;
    bool ok = ref(Fn::exp, -104.0f) == 0.0f && ref(Fn::exp, 89.0f) == INFINITY &&
              ref(Fn::exp, -0x1p-26f) == 1.0f && ref(Fn::exp, 0x1p-26f) == 1.0f && ref(Fn::tanh, 10.0f) == 1.0f;
    if (!ok) std::printf("a premise of the settled ranges does not hold\n");
    return ok;
}

// The array forms of the kernel implementations this CPU runs.
struct VectorPath {
    std::string name;
    void (*exp)(const float*, float*, size_t);
    void (*tanh)(const float*, float*, size_t);
};

std::vector<VectorPath> vectorPaths() {
    std::vector<VectorPath> paths;
    for (const tolvex::KernelTable* t : tolvex::availableImplementations())
        paths.push_back({t->name, t->exp_array, t->tanh_array});
    return paths;
}

const std::vector<VectorPath> kVectorPaths = vectorPaths();

// Without MPFR (--paths-only): the scalar path is checked against itself
// (array form against single calls) and through the digest.
bool g_reference = true;

struct Tally {
    uint64_t scalar_bad = 0, mpfr_calls = 0;
    uint64_t digest = 0;  // sum over blocks of each block's hash: any order
    std::vector<uint64_t> vector_bad = std::vector<uint64_t>(kVectorPaths.size());
    void add(const Tally& o) {
        scalar_bad += o.scalar_bad;
        mpfr_calls += o.mpfr_calls;
        digest += o.digest;
        for (size_t p = 0; p < vector_bad.size(); ++p) vector_bad[p] += o.vector_bad[p];
    }
};

constexpr uint32_t kBlock = 1u << 16;  // magnitudes per unit of work

void report(Fn f, uint32_t in, uint32_t got, uint32_t want, const char* path) {
    static std::mutex m;
    static int shown = 0;
    std::lock_guard lock(m);
    if (shown++ < 20)
        std::printf("  %s %s(%a [0x%08x]) = 0x%08x, correctly rounded 0x%08x\n", path, name(f), fromBits(in), in,
                    got, want);
}

// Steps 1 and 2 for the inputs `in`: every path against the scalar array
// form, and the scalar path (array form and single calls) against the
// correctly rounded result. With `paired`, in[2i] and in[2i+1] are the two
// signs of one magnitude (tanh then asks MPFR once for both).
thread_local std::vector<float> scalar;

void checkInputs(Fn f, const std::vector<float>& in, bool paired, Reference& ref, Tally& t) {
    static thread_local std::vector<float> vec;
    scalar.resize(in.size());
    vec.resize(in.size());
    auto scalarFn = f == Fn::exp ? tolvex::math::expArray : tolvex::math::tanhArray;
    scalarFn(in.data(), scalar.data(), in.size());
    for (size_t p = 0; p < kVectorPaths.size(); ++p) {
        const VectorPath& path = kVectorPaths[p];
        (f == Fn::exp ? path.exp : path.tanh)(in.data(), vec.data(), in.size());
        for (size_t i = 0; i < in.size(); ++i)
            if (bits(vec[i]) != bits(scalar[i])) {
                ++t.vector_bad[p];
                report(f, bits(in[i]), bits(vec[i]), bits(scalar[i]), path.name.c_str());
            }
    }
    const uint64_t calls_before = ref.calls;
    uint32_t cached = 0xffffffffu;
    for (size_t i = 0; i < in.size(); ++i) {
        if (!paired || i % 2 == 0) cached = 0xffffffffu;
        const uint32_t b = bits(in[i]);
        const uint32_t one = bits(f == Fn::exp ? tolvex::math::exp(in[i]) : tolvex::math::tanh(in[i]));
        const uint32_t want = g_reference ? expected(f, b, ref, cached) : bits(scalar[i]);
        if (bits(scalar[i]) != want || one != want) {
            ++t.scalar_bad;
            report(f, b, bits(scalar[i]) != want ? bits(scalar[i]) : one, want, "scalar");
        }
    }
    t.mpfr_calls += ref.calls - calls_before;
}

// Checks the magnitudes [first, first + kBlock) with both signs.
void checkBlock(Fn f, uint32_t first, Reference& ref, Tally& t) {
    static thread_local std::vector<float> in(2 * kBlock);
    for (uint32_t i = 0; i < kBlock; ++i) {
        in[2 * i] = fromBits(first + i);
        in[2 * i + 1] = fromBits((first + i) | 0x80000000u);
    }
    checkInputs(f, in, true, ref, t);
    // FNV-1a over the results, then the block's place mixed in (splitmix64's
    // finaliser) so that equal blocks at two places do not cancel.
    uint64_t h = 0xcbf29ce484222325u;
    for (float y : scalar) h = (h ^ bits(y)) * 0x100000001b3u;
    h ^= first * 0x9e3779b97f4a7c15u;
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9u;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebu;
    t.digest += h ^ (h >> 31);
}

// Blocks [first, first + count) of the 2^31 / kBlock magnitude blocks.
Tally checkBlocks(Fn f, uint32_t first, uint32_t count, unsigned threads) {
    std::atomic<uint32_t> next{first};
    std::vector<Tally> tallies(threads);
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < threads; ++w)
        pool.emplace_back([&, w] {
            Reference ref;
            for (uint32_t blk; (blk = next.fetch_add(1)) < first + count;) checkBlock(f, blk * kBlock, ref, tallies[w]);
        });
    for (auto& th : pool) th.join();
    Tally total;
    for (auto& t : tallies) total.add(t);
    return total;
}

// n random inputs: half uniform over all bit patterns, the rest uniform over
// [-110, 110], [-1, 1], magnitudes 2^-30 .. 2^-4 and the neighbourhoods of
// the thresholds where the results change character.
Tally checkRandom(Fn f, uint64_t n, uint64_t seed) {
    std::mt19937_64 gen(seed + (f == Fn::exp ? 0 : 1));
    std::uniform_int_distribution<uint32_t> any, small(bits(0x1p-30f), bits(0x1p-4f));
    std::uniform_real_distribution<float> wide(-110.0f, 110.0f), unit(-1.0f, 1.0f), near(-0.5f, 0.5f);
    const float centres[] = {88.7f, -87.3f, -103.9f, 9.0f, -9.0f, 0.0f};
    Reference ref;
    Tally t;
    std::vector<float> in;
    for (uint64_t done = 0; done < n; done += in.size()) {
        in.resize(std::min<uint64_t>(n - done, 1u << 16));
        for (size_t i = 0; i < in.size(); ++i) switch (i % 8) {
                case 4: in[i] = wide(gen); break;
                case 5: in[i] = unit(gen); break;
                case 6: in[i] = fromBits(small(gen) | (any(gen) & 0x80000000u)); break;
                case 7: in[i] = centres[i / 8 % 6] + near(gen); break;
                default: in[i] = fromBits(any(gen)); break;
            }
        checkInputs(f, in, false, ref, t);
    }
    return t;
}

// Inputs (magnitudes for tanh) whose rounding test fails.
std::vector<RoundingException> undecidedInputs(Fn f, unsigned threads) {
    using namespace tolvex::math::detail;
    std::mutex m;
    std::vector<RoundingException> found;
    std::atomic<uint32_t> next{0};
    std::vector<std::thread> pool;
    const uint32_t blocks = f == Fn::exp ? (1u << 16) : (1u << 15);  // all bits, or magnitudes
    for (unsigned w = 0; w < threads; ++w)
        pool.emplace_back([&] {
            Reference ref;
            for (uint32_t blk; (blk = next.fetch_add(1)) < blocks;)
                for (uint32_t i = 0; i < kBlock; ++i) {
                    uint32_t b = blk * kBlock + i;
                    if (isNan(b)) continue;
                    float out;
                    double y = f == Fn::exp ? expApprox(fromBits(b)) : tanhAbsApprox(fromBits(b));
                    if (roundChecked(y, f == Fn::exp ? kExpWiden : kTanhWiden, out)) continue;
                    uint32_t want = bits(ref(f, fromBits(b)));
                    std::lock_guard lock(m);
                    found.push_back({b, want});
                }
        });
    for (auto& th : pool) th.join();
    std::sort(found.begin(), found.end(), [](auto& a, auto& b) { return a.in < b.in; });
    return found;
}

bool tablesMatch(Fn f, unsigned threads) {
    using namespace tolvex::math::detail;
    std::vector<RoundingException> want = undecidedInputs(f, threads);
    auto have = f == Fn::exp ? expExceptions() : tanhExceptions();
    bool same = want.size() == have.size() &&
                std::equal(want.begin(), want.end(), have.begin(),
                           [](auto& a, auto& b) { return a.in == b.in && a.out == b.out; });
    std::printf("%-4s exception table: %zu entries, %s\n", name(f), have.size(),
                same ? "exactly the inputs whose rounding test fails, results equal to MPFR"
                     : "DIFFERS from the inputs whose rounding test fails");
    return same;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    auto start = std::chrono::steady_clock::now();
    auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };

    if (argc > 1 && std::strcmp(argv[1], "--exceptions") == 0) {
        for (Fn f : {Fn::exp, Fn::tanh}) {
            std::printf("// %s\n", name(f));
            for (auto& e : undecidedInputs(f, threads))
                std::printf("    {0x%08x, 0x%08x},  // %a -> %a\n", e.in, e.out, fromBits(e.in), fromBits(e.out));
        }
        std::printf("// %.1f s\n", seconds());
        return 0;
    }

    // What to check: all blocks (and the tables), a range of blocks, or
    // random inputs.
    constexpr uint32_t kAllBlocks = (1u << 31) / kBlock;
    uint32_t first = 0, count = kAllBlocks;
    uint64_t random = 0, seed = 1;
    if (argc > 1 && std::strcmp(argv[1], "--paths-only") == 0) {
        g_reference = false;
        --argc;
        ++argv;
    }
    if (argc >= 4 && std::strcmp(argv[1], "--blocks") == 0) {
        first = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
        count = static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10));
        if (first >= kAllBlocks) count = 0;
        count = std::min(count, kAllBlocks - std::min(first, kAllBlocks));
        std::printf("check_math: magnitude blocks %u..%u of %u (both signs)", first, first + count - 1, kAllBlocks);
    } else if (argc >= 3 && std::strcmp(argv[1], "--random") == 0) {
        random = std::strtoull(argv[2], nullptr, 10);
        if (argc >= 4) seed = std::strtoull(argv[3], nullptr, 10);
        std::printf("check_math: %" PRIu64 " random inputs per function, seed %" PRIu64, random, seed);
    } else if (argc > 1) {
        std::fprintf(stderr, "usage: check_math [--paths-only] [--blocks FIRST COUNT | --random N [SEED]] | --exceptions\n");
        return 2;
    } else {
        std::printf("check_math: all 2^32 inputs, %u threads", threads);
    }
    std::printf(", paths:");
    for (const VectorPath& path : kVectorPaths) std::printf(" %s", path.name.c_str());
    std::printf(g_reference ? "\n" : ", without MPFR\n");
    bool ok = checkPremises();
    for (Fn f : {Fn::exp, Fn::tanh}) {
        double t0 = seconds();
        Tally t = random != 0 ? checkRandom(f, random, seed) : checkBlocks(f, first, count, threads);
        if (g_reference)
            std::printf("%-4s scalar vs correctly rounded: %" PRIu64 " mismatches (%" PRIu64 " MPFR calls)", name(f),
                        t.scalar_bad, t.mpfr_calls);
        else
            std::printf("%-4s scalar single calls vs array: %" PRIu64 " mismatches", name(f), t.scalar_bad);
        if (random == 0) std::printf("; scalar digest %016" PRIx64, t.digest);
        ok = ok && t.scalar_bad == 0;
        for (size_t p = 0; p < kVectorPaths.size(); ++p) {
            std::printf("; %s vs scalar: %" PRIu64 " mismatches", kVectorPaths[p].name.c_str(), t.vector_bad[p]);
            ok = ok && t.vector_bad[p] == 0;
        }
        std::printf("; %.1f s\n", seconds() - t0);
    }
    if (random != 0 || count != kAllBlocks || !g_reference) {
        std::printf("%s, total %.1f s\n", ok ? "PASS" : "FAIL", seconds());
        return ok ? 0 : 1;
    }
    for (Fn f : {Fn::exp, Fn::tanh}) ok = tablesMatch(f, threads) && ok;
    std::printf("%s, total %.1f s\n", ok ? "PASS" : "FAIL", seconds());
    return ok ? 0 : 1;
}
