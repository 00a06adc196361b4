#include "root/root.hpp"

namespace tolvex {

// The result codes are listed in numeric order, each at its own number, so
// that tolvex_result_name() can index its table by code.
#define TOLVEX_RESULT_NUMBER_(number, name, kind) number,
constexpr uint32_t kResultNumbers[] = {TOLVEX_RESULT_CODES(TOLVEX_RESULT_NUMBER_)};
#undef TOLVEX_RESULT_NUMBER_
constexpr bool numberedInOrder() {
    for (uint32_t i = 0; i < sizeof kResultNumbers / sizeof kResultNumbers[0]; ++i)
        if (kResultNumbers[i] != i) return false;
    return true;
}
static_assert(numberedInOrder() && sizeof kResultNumbers / sizeof kResultNumbers[0] == 49);

// A switch without default: -Wswitch proves every error has its code.
tolvex_result errToResult(Error err) {
#define TOLVEX_ERROR_CASE_(number, name, kind) TOLVEX_IF_ERROR_##kind(case Error::name: return tolvex_##name;)
    switch (err) { TOLVEX_RESULT_CODES(TOLVEX_ERROR_CASE_) }
#undef TOLVEX_ERROR_CASE_
    // Unreachable for a valid enumerator; keeps -Wreturn-type quiet.
    __builtin_unreachable();
}

}  // namespace tolvex
