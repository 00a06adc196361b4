// The parse tree of a JSON document. Every node lives in the parser's Arena
// and is only valid while it lives.
//
// Nodes are 16 bytes. Arrays whose elements are all numbers are stored as a
// packed run of floats (4 bytes a number): those are the weight rows and bias
// vectors, nearly all of a model file, and a model reads numbers inside
// arrays only as float parameters. Numbers elsewhere (object members, the
// top-level value) keep their integer or double value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolvex::json {

enum class Kind : uint8_t {
    null,
    boolean,
    integer,      // integer syntax that fits in int64: `i`
    big_integer,  // integer syntax beyond int64: `d` is its nearest double
    real,         // fraction or exponent, or "-0": `d`
    string,       // `str`, `len` bytes, escapes decoded, valid UTF-8
    array,        // `items`, `len` nodes
    numbers,      // array of numbers only: `nums`, `len` floats (also [])
    object,       // `members`, `len` members sorted by key, keys unique
};

// Set on a number, or on a `numbers` array holding one, whose value lies
// beyond the range of a double (its `d` or float is then an infinity).
inline constexpr uint8_t kBeyondDouble = 1;

struct Member;

struct Value {
    Kind kind = Kind::null;
    uint8_t flags = 0;
    uint32_t len = 0;
    union {
        bool b;
        int64_t i;
        double d;
        const char* str;
        const Value* items;
        const float* nums;
        const Member* members;
    };

    Value() : i(0) {}

    bool isNumber() const { return kind == Kind::integer || kind == Kind::big_integer || kind == Kind::real; }
    bool isArray() const { return kind == Kind::array || kind == Kind::numbers; }
    // An array all of whose elements are numbers (an empty one included).
    bool isNumberArray() const { return kind == Kind::numbers || (kind == Kind::array && len == 0); }
    std::string_view text() const { return {str, len}; }

    // The member named key of an object, or nullptr.
    const Value* find(std::string_view key) const;
};
static_assert(sizeof(Value) == 16);

struct Member {
    const char* key;
    uint32_t key_len;
    Value value;

    std::string_view name() const { return {key, key_len}; }
};
static_assert(sizeof(Member) == 32);

// Byte-wise order of keys: sorts members and finds them by binary search.
inline bool keyLess(std::string_view a, std::string_view b) { return a < b; }

inline const Value* Value::find(std::string_view key) const {
    size_t lo = 0, hi = len;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        std::string_view k = members[mid].name();
        if (k == key) return &members[mid].value;
        if (keyLess(k, key))
            lo = mid + 1;
        else
            hi = mid;
    }
    return nullptr;
}

}  // namespace tolvex::json
