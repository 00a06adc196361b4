// Internal errors: every fallible operation returns Result<T>, a value or one
// of these. The exported functions turn them into tolvex_result codes with
// errToResult.
//
// This is the floor of the library: it includes nothing of the library but
// the public header, and everything may include it. The errors are the
// public result codes of kind `error` (TOLVEX_RESULT_CODES in tolvex.h), so
// the list of codes exists once.
#pragma once

#include <cstdint>
#include <expected>
#include <utility>

#include "tolvex.h"

// Expands its arguments for a result code of kind `error`, and to nothing for
// the other kinds.
#define TOLVEX_IF_ERROR_error(...) __VA_ARGS__
#define TOLVEX_IF_ERROR_status(...)
#define TOLVEX_IF_ERROR_reserved(...)

namespace tolvex {

#define TOLVEX_ERROR_ENUMERATOR_(number, name, kind) TOLVEX_IF_ERROR_##kind(name, )
enum class Error : uint8_t { TOLVEX_RESULT_CODES(TOLVEX_ERROR_ENUMERATOR_) };
#undef TOLVEX_ERROR_ENUMERATOR_

#define TOLVEX_ERROR_COUNT_(number, name, kind) TOLVEX_IF_ERROR_##kind(+1)
inline constexpr int kErrorCount = 0 TOLVEX_RESULT_CODES(TOLVEX_ERROR_COUNT_);
#undef TOLVEX_ERROR_COUNT_
static_assert(kErrorCount == 47);

template <class T>
using Result = std::expected<T, Error>;

using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(e); }

}  // namespace tolvex

// Evaluates a Result expression; on error returns the error from the
// enclosing function, otherwise yields the value.
#define TOLVEX_TRY(expr)                                                    \
    ({                                                                      \
        auto _tolvex_r = (expr);                                            \
        if (!_tolvex_r) return ::tolvex::fail(_tolvex_r.error());          \
        std::move(*_tolvex_r);                                              \
    })

// As TOLVEX_TRY for a Status (no value).
#define TOLVEX_CHECK(expr)                                                  \
    do {                                                                    \
        auto _tolvex_s = (expr);                                            \
        if (!_tolvex_s) return ::tolvex::fail(_tolvex_s.error());          \
    } while (0)
