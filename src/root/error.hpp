// Internal errors: every fallible operation returns Result<T>, a value or one
// of these. The exported functions turn them into tolvex_result codes with
// errToResult.
#pragma once

#include <cstdint>
#include <expected>

namespace tolvex {

enum class Error : uint8_t {
    AccessDenied,
    AntivirusInterference,
    BadPathName,
    Canceled,
    DeviceBusy,
    DuplicateField,
    EndOfStream,
    FileBusy,
    FileLocksUnsupported,
    FileNotFound,
    FileTooBig,
    HeaderMismatch,
    InvalidCharacter,
    InvalidEnumTag,
    InvalidNumber,
    IsDir,
    LengthMismatch,
    MalformedPolicyDefinition,
    MissingField,
    NameTooLong,
    NetworkNotFound,
    NoDevice,
    NoSpaceLeft,
    NotDir,
    OutOfMemory,
    Overflow,
    PathAlreadyExists,
    PermissionDenied,
    PipeBusy,
    ProcessFdQuotaExceeded,
    ReadFailed,
    ReadOnlyFileSystem,
    SymLinkLoop,
    SyntaxError,
    SystemFdQuotaExceeded,
    SystemResources,
    Unexpected,
    UnexpectedEndOfInput,
    UnexpectedToken,
    UnknownField,
    UnsupportedLayerType,
    ValueTooLong,
    WeightsBiasesMismatch,
    WouldBlock,
    WriteFailed,
    WrongLayerSize,
    WrongNumberOfWeights,
};

inline constexpr int kErrorCount = 47;

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
