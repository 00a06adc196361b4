// The parser keeps the values of every open container on its own stacks and
// moves them into the arena when the container closes, at its final size.
// Numbers inside an array go to a float stack while every element so far is
// a number, so an array of numbers costs 4 bytes an element, on the stack and
// in the tree.
//
// Choices within RFC 8259: a byte order mark is not whitespace and so is a
// syntax error; a \u escape of a lone surrogate is a syntax error, since it
// has no UTF-8 form; \u0000 is accepted and becomes a NUL byte of the string.
#include "json/parser.hpp"

#include <algorithm>

#include "json/number.hpp"

namespace tolvex::json {

namespace {

bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

struct Frame {
    size_t node_base;   // first node of this container on the node stack
    size_t float_base;  // first float of this array on the float stack
    bool object;
    bool numeric;  // an array whose elements so far are all numbers
};

enum class Want : uint8_t {
    value,        // any value
    first_item,   // a value or ']' right after '['
    first_key,    // a key or '}' right after '{'
    key,          // a key after ',' in an object
    colon,        // ':' after a key
    after_value,  // ',' or the container's closing bracket
    end,          // only whitespace after the top-level value
};

class Parser {
public:
    Parser(Allocator scratch, io::Reader& reader, Arena& arena)
        : reader_(reader), arena_(arena), frames_(scratch), nodes_(scratch), floats_(scratch), text_(scratch) {
        auto span = reader.buffered();
        begin_ = p_ = span.data();
        end_ = span.data() + span.size();
    }
    ~Parser() { reader_.consume(static_cast<size_t>(p_ - begin_)); }

    Result<const Value*> run();

private:
    // Input.
    Result<bool> fill();
    Result<int> peekNonSpace();
    Result<int> nextByte();

    // Values.
    Status literal(const char* word, Value v);
    Status parseNumber();
    Status parseNumberSlow(const uint8_t* start);
    Status addNumber(const char* text, size_t n, bool integral);
    Result<Value> parseString();
    Status escape();
    Status utf8Sequence();
    Result<Value> storeString(const uint8_t* s, size_t n);

    // Containers.
    Status open(bool object);
    Status close();
    Status add(const Value& v);
    Status demote(Frame& f);

    io::Reader& reader_;
    Arena& arena_;
    const uint8_t* begin_ = nullptr;
    const uint8_t* p_ = nullptr;
    const uint8_t* end_ = nullptr;
    bool eof_ = false;

    GrowBuf<Frame> frames_;
    GrowBuf<Value> nodes_;  // pending elements; for objects key, value, key, ...
    GrowBuf<float> floats_;
    GrowBuf<uint8_t> text_;  // a string or number that crosses a buffer refill
    Value root_;
};

// Precondition: p_ == end_. False at the end of the input.
Result<bool> Parser::fill() {
    if (eof_) return false;
    reader_.consume(static_cast<size_t>(end_ - begin_));
    begin_ = p_ = end_;  // nothing left to consume should the refill fail
    bool more = TOLVEX_TRY(reader_.refill());
    auto span = reader_.buffered();
    begin_ = p_ = span.data();
    end_ = span.data() + span.size();
    if (!more) eof_ = true;
    return more;
}

// The next byte that is not whitespace, not consumed; -1 at the end.
Result<int> Parser::peekNonSpace() {
    for (;;) {
        while (p_ < end_) {
            uint8_t c = *p_;
            if (c != ' ' && c != '\n' && c != '\r' && c != '\t') return c;
            ++p_;
        }
        if (!TOLVEX_TRY(fill())) return -1;
    }
}

// The next byte, consumed; -1 at the end.
Result<int> Parser::nextByte() {
    if (p_ == end_ && !TOLVEX_TRY(fill())) return -1;
    return *p_++;
}

Result<const Value*> Parser::run() {
    Want want = Want::value;
    for (;;) {
        int c = TOLVEX_TRY(peekNonSpace());
        if (c < 0) {
            if (want == Want::end) break;
            return fail(Error::UnexpectedEndOfInput);
        }
        switch (want) {
            case Want::end: return fail(Error::SyntaxError);
            case Want::colon:
                if (c != ':') return fail(Error::SyntaxError);
                ++p_;
                want = Want::value;
                continue;
            case Want::after_value: {
                const Frame& f = frames_.back();
                if (c == ',') {
                    ++p_;
                    want = f.object ? Want::key : Want::value;
                    continue;
                }
                if (c != (f.object ? '}' : ']')) return fail(Error::SyntaxError);
                ++p_;
                TOLVEX_CHECK(close());
                want = frames_.size() == 0 ? Want::end : Want::after_value;
                continue;
            }
            case Want::first_key:
                if (c == '}') {
                    ++p_;
                    TOLVEX_CHECK(close());
                    want = frames_.size() == 0 ? Want::end : Want::after_value;
                    continue;
                }
                [[fallthrough]];
            case Want::key: {
                if (c != '"') return fail(Error::SyntaxError);
                ++p_;
                Value key = TOLVEX_TRY(parseString());
                TOLVEX_CHECK(nodes_.push(key));
                want = Want::colon;
                continue;
            }
            case Want::first_item:
                if (c == ']') {
                    ++p_;
                    TOLVEX_CHECK(close());
                    want = frames_.size() == 0 ? Want::end : Want::after_value;
                    continue;
                }
                break;
            case Want::value: break;
        }

        // A value starts at c.
        switch (c) {
            case '{':
            case '[':
                TOLVEX_CHECK(open(c == '{'));
                ++p_;
                want = c == '{' ? Want::first_key : Want::first_item;
                continue;
            case '"': {
                ++p_;
                Value s = TOLVEX_TRY(parseString());
                TOLVEX_CHECK(add(s));
                break;
            }
            case 't': {
                Value v;
                v.kind = Kind::boolean;
                v.b = true;
                TOLVEX_CHECK(literal("true", v));
                break;
            }
            case 'f': {
                Value v;
                v.kind = Kind::boolean;
                v.b = false;
                TOLVEX_CHECK(literal("false", v));
                break;
            }
            case 'n': TOLVEX_CHECK(literal("null", Value{})); break;
            default:
                if (c != '-' && !isDigit(static_cast<uint8_t>(c))) return fail(Error::SyntaxError);
                TOLVEX_CHECK(parseNumber());
                break;
        }
        want = frames_.size() == 0 ? Want::end : Want::after_value;
    }

    Value* root = TOLVEX_TRY(arena_.allocArray<Value>(1));
    *root = root_;
    return root;
}

Status Parser::literal(const char* word, Value v) {
    for (const char* w = word; *w != '\0'; ++w) {
        int b = TOLVEX_TRY(nextByte());
        if (b < 0) return fail(Error::UnexpectedEndOfInput);
        if (b != static_cast<uint8_t>(*w)) return fail(Error::SyntaxError);
    }
    return add(v);
}

// Scans a number inside the buffer; one that reaches the buffer's end is
// taken again by the byte-at-a-time path, which can refill.
Status Parser::parseNumber() {
    const uint8_t* s = p_;
    const uint8_t* q = s;
    bool integral = true;
    if (*q == '-') ++q;
    if (q == end_) return parseNumberSlow(s);
    if (*q == '0') {
        ++q;
    } else if (isDigit(*q)) {
        while (q < end_ && isDigit(*q)) ++q;
    } else {
        return fail(Error::SyntaxError);
    }
    if (q == end_) return parseNumberSlow(s);
    if (*q == '.') {
        integral = false;
        ++q;
        if (q == end_) return parseNumberSlow(s);
        if (!isDigit(*q)) return fail(Error::SyntaxError);
        while (q < end_ && isDigit(*q)) ++q;
        if (q == end_) return parseNumberSlow(s);
    }
    if (*q == 'e' || *q == 'E') {
        integral = false;
        ++q;
        if (q == end_) return parseNumberSlow(s);
        if (*q == '+' || *q == '-') ++q;
        if (q == end_) return parseNumberSlow(s);
        if (!isDigit(*q)) return fail(Error::SyntaxError);
        while (q < end_ && isDigit(*q)) ++q;
        if (q == end_) return parseNumberSlow(s);
    }
    size_t n = static_cast<size_t>(q - s);
    if (n > kMaxValueBytes) return fail(Error::ValueTooLong);
    p_ = q;
    return addNumber(reinterpret_cast<const char*>(s), n, integral);
}

namespace {

// The number grammar one byte at a time, for numbers that cross a refill.
class NumberScanner {
public:
    enum Step { take, ended, bad };

    Step step(uint8_t c) {
        bool digit = isDigit(c);
        switch (st_) {
            case begin:
                if (c == '-') return to(minus);
                [[fallthrough]];
            case minus:
                if (c == '0') return to(zero);
                return digit ? to(whole) : bad;
            case whole:
                if (digit) return take;
                [[fallthrough]];
            case zero:
                if (c == '.') return to(dot);
                if (c == 'e' || c == 'E') return to(e);
                return ended;
            case dot: return digit ? to(frac) : bad;
            case frac:
                if (digit) return take;
                if (c == 'e' || c == 'E') return to(e);
                return ended;
            case e:
                if (c == '+' || c == '-') return to(esign);
                [[fallthrough]];
            case esign: return digit ? to(exp) : bad;
            case exp: return digit ? take : ended;
        }
        return bad;
    }
    bool complete() const { return st_ == zero || st_ == whole || st_ == frac || st_ == exp; }
    bool integral() const { return integral_; }

private:
    enum State : uint8_t { begin, minus, zero, whole, dot, frac, e, esign, exp };
    Step to(State s) {
        st_ = s;
        if (s == dot || s == e) integral_ = false;
        return take;
    }
    State st_ = begin;
    bool integral_ = true;
};

}  // namespace

Status Parser::parseNumberSlow(const uint8_t* start) {
    NumberScanner scan;
    // The fast scan has taken every byte up to the end of the buffer.
    for (const uint8_t* q = start; q < end_; ++q) scan.step(*q);
    text_.clear();
    TOLVEX_CHECK(text_.append(start, static_cast<size_t>(end_ - start)));
    p_ = end_;
    for (;;) {
        if (text_.size() > kMaxValueBytes) return fail(Error::ValueTooLong);
        if (p_ == end_ && !TOLVEX_TRY(fill())) {
            if (scan.complete()) break;
            return fail(Error::UnexpectedEndOfInput);
        }
        NumberScanner::Step r = scan.step(*p_);
        if (r == NumberScanner::bad) return fail(Error::SyntaxError);
        if (r == NumberScanner::ended) break;
        TOLVEX_CHECK(text_.push(*p_));
        ++p_;
    }
    return addNumber(reinterpret_cast<const char*>(text_.data()), text_.size(), scan.integral());
}

Status Parser::addNumber(const char* text, size_t n, bool integral) {
    if (frames_.size() == 0 || frames_.back().object) return add(numberValue(text, n, integral));
    uint8_t flags = 0;
    float f = numberFloat(text, n, integral, flags);
    Frame& frame = frames_.back();
    // A number beyond the double range gets a node of its own, flag and
    // all, so the array stops being a plain run of floats.
    if (frame.numeric && flags == 0) return floats_.push(f);
    Value v;
    v.kind = Kind::real;
    v.flags = flags;
    v.d = f;
    return add(v);
}

Result<Value> Parser::storeString(const uint8_t* s, size_t n) {
    Value v;
    v.kind = Kind::string;
    v.len = static_cast<uint32_t>(n);  // n <= kMaxValueBytes
    char* dst = nullptr;
    if (n != 0) {
        dst = TOLVEX_TRY(arena_.allocArray<char>(n));
        std::memcpy(dst, s, n);
    }
    v.str = dst;
    return v;
}

// After the opening quote. A string that lies in the buffer with only
// printable ASCII in it is copied straight to the arena; any other is decoded
// into text_ first.
Result<Value> Parser::parseString() {
    const uint8_t* s = p_;
    const uint8_t* q = s;
    while (q < end_) {
        uint8_t c = *q;
        if (c == '"') {
            size_t n = static_cast<size_t>(q - s);
            if (n > kMaxValueBytes) return fail(Error::ValueTooLong);
            p_ = q + 1;
            return storeString(s, n);
        }
        if (c == '\\' || c < 0x20 || c >= 0x80) break;
        ++q;
    }

    text_.clear();
    TOLVEX_CHECK(text_.append(s, static_cast<size_t>(q - s)));
    p_ = q;
    for (;;) {
        if (text_.size() > kMaxValueBytes) return fail(Error::ValueTooLong);
        if (p_ == end_ && !TOLVEX_TRY(fill())) return fail(Error::UnexpectedEndOfInput);
        uint8_t c = *p_;
        if (c == '"') {
            ++p_;
            break;
        }
        if (c < 0x20) return fail(Error::SyntaxError);
        if (c == '\\') {
            ++p_;
            TOLVEX_CHECK(escape());
        } else if (c >= 0x80) {
            TOLVEX_CHECK(utf8Sequence());
        } else {
            const uint8_t* r = p_;
            while (r < end_ && *r >= 0x20 && *r < 0x80 && *r != '"' && *r != '\\') ++r;
            TOLVEX_CHECK(text_.append(p_, static_cast<size_t>(r - p_)));
            p_ = r;
        }
    }
    if (text_.size() > kMaxValueBytes) return fail(Error::ValueTooLong);
    return storeString(text_.data(), text_.size());
}

namespace {

int hexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t encodeUtf8(uint32_t cp, uint8_t* out) {
    if (cp < 0x80) {
        out[0] = static_cast<uint8_t>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
        out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
        out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
    out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

// After the backslash.
Status Parser::escape() {
    auto hex4 = [&]() -> Result<uint32_t> {
        uint32_t v = 0;
        for (int k = 0; k < 4; ++k) {
            int b = TOLVEX_TRY(nextByte());
            if (b < 0) return fail(Error::UnexpectedEndOfInput);
            int h = hexValue(b);
            if (h < 0) return fail(Error::SyntaxError);
            v = v << 4 | static_cast<uint32_t>(h);
        }
        return v;
    };

    int b = TOLVEX_TRY(nextByte());
    if (b < 0) return fail(Error::UnexpectedEndOfInput);
    uint8_t ch;
    switch (b) {
        case '"': ch = '"'; break;
        case '\\': ch = '\\'; break;
        case '/': ch = '/'; break;
        case 'b': ch = '\b'; break;
        case 'f': ch = '\f'; break;
        case 'n': ch = '\n'; break;
        case 'r': ch = '\r'; break;
        case 't': ch = '\t'; break;
        case 'u': {
            uint32_t cp = TOLVEX_TRY(hex4());
            if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(Error::SyntaxError);
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                for (char want : {'\\', 'u'}) {
                    int x = TOLVEX_TRY(nextByte());
                    if (x < 0) return fail(Error::UnexpectedEndOfInput);
                    if (x != want) return fail(Error::SyntaxError);
                }
                uint32_t lo = TOLVEX_TRY(hex4());
                if (lo < 0xDC00 || lo > 0xDFFF) return fail(Error::SyntaxError);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            uint8_t buf[4];
            return text_.append(buf, encodeUtf8(cp, buf));
        }
        default: return fail(Error::SyntaxError);
    }
    return text_.push(ch);
}

// A multi-byte sequence starting at p_, checked against the well-formed
// sequences of UTF-8: no overlong forms, no surrogates, nothing above
// U+10FFFF.
Status Parser::utf8Sequence() {
    uint8_t buf[4];
    buf[0] = *p_++;
    uint8_t c = buf[0];
    int n;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return fail(Error::SyntaxError);
    }
    for (int k = 1; k < n; ++k) {
        int b = TOLVEX_TRY(nextByte());
        if (b < 0) return fail(Error::UnexpectedEndOfInput);
        if (b < lo || b > hi) return fail(Error::SyntaxError);
        buf[k] = static_cast<uint8_t>(b);
        lo = 0x80;
        hi = 0xBF;
    }
    return text_.append(buf, static_cast<size_t>(n));
}

Status Parser::open(bool object) {
    if (frames_.size() != 0) {
        Frame& parent = frames_.back();
        if (!parent.object && parent.numeric) TOLVEX_CHECK(demote(parent));
    }
    return frames_.push(Frame{nodes_.size(), floats_.size(), object, !object});
}

// An array that has held only numbers gets a non-number: its floats become
// nodes, in order, ahead of the newcomer.
Status Parser::demote(Frame& f) {
    f.numeric = false;
    size_t n = floats_.size() - f.float_base;
    if (n == 0) return {};
    TOLVEX_CHECK(nodes_.reserveMore(n));
    Value* out = nodes_.data() + nodes_.size();
    for (size_t k = 0; k < n; ++k) {
        Value v;
        v.kind = Kind::real;
        v.d = floats_[f.float_base + k];
        out[k] = v;
    }
    nodes_.resize(nodes_.size() + n);
    floats_.resize(f.float_base);
    return {};
}

Status Parser::add(const Value& v) {
    if (frames_.size() == 0) {
        root_ = v;
        return {};
    }
    Frame& f = frames_.back();
    if (!f.object && f.numeric) TOLVEX_CHECK(demote(f));
    return nodes_.push(v);
}

Status Parser::close() {
    Frame f = frames_.back();
    frames_.resize(frames_.size() - 1);
    Value v;
    if (f.object) {
        size_t count = (nodes_.size() - f.node_base) / 2;
        if (count > UINT32_MAX) return fail(Error::OutOfMemory);
        Member* m = nullptr;
        if (count != 0) {
            m = TOLVEX_TRY(arena_.allocArray<Member>(count));
            const Value* kv = nodes_.data() + f.node_base;
            for (size_t k = 0; k < count; ++k) {
                m[k].key = kv[2 * k].str;
                m[k].key_len = kv[2 * k].len;
                m[k].value = kv[2 * k + 1];
            }
            // Sorting makes duplicates neighbours and lookups a binary search,
            // in O(n log n) for an object of n keys.
            std::sort(m, m + count, [](const Member& a, const Member& b) { return keyLess(a.name(), b.name()); });
            for (size_t k = 1; k < count; ++k) {
                if (m[k - 1].name() == m[k].name()) return fail(Error::DuplicateField);
            }
        }
        v.kind = Kind::object;
        v.len = static_cast<uint32_t>(count);
        v.members = m;
        nodes_.resize(f.node_base);
    } else if (f.numeric) {
        size_t count = floats_.size() - f.float_base;
        if (count > UINT32_MAX) return fail(Error::OutOfMemory);
        float* nums = nullptr;
        if (count != 0) {
            nums = TOLVEX_TRY(arena_.allocArray<float>(count));
            std::memcpy(nums, floats_.data() + f.float_base, count * sizeof(float));
        }
        v.kind = Kind::numbers;
        v.len = static_cast<uint32_t>(count);
        v.nums = nums;
        floats_.resize(f.float_base);
    } else {
        size_t count = nodes_.size() - f.node_base;
        if (count > UINT32_MAX) return fail(Error::OutOfMemory);
        Value* items = nullptr;
        if (count != 0) {
            items = TOLVEX_TRY(arena_.allocArray<Value>(count));
            std::memcpy(static_cast<void*>(items), nodes_.data() + f.node_base, count * sizeof(Value));
        }
        v.kind = Kind::array;
        v.len = static_cast<uint32_t>(count);
        v.items = items;
        nodes_.resize(f.node_base);
    }
    return add(v);
}

}  // namespace

Result<const Value*> parseDocument(Allocator scratch, io::Reader& reader, Arena& arena) {
    Parser parser(scratch, reader, arena);
    return parser.run();
}

}  // namespace tolvex::json
