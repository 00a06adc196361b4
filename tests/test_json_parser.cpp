// The JSON parser on its own: the grammar, UTF-8, escapes, numbers, limits,
// duplicate keys, nesting depth, and the same results whatever the size of
// the read buffer.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "io/io.hpp"
#include "json/arena.hpp"
#include "json/parser.hpp"
#include "support/test_allocators.hpp"

using namespace tolvex;
using namespace tolvex::json;
using tolvex::testing::CountingAllocator;

namespace {

// Parses text through a reader with a buffer of buf_size bytes and keeps the
// tree alive for inspection.
class Doc {
public:
    explicit Doc(const std::string& text, size_t buf_size = io::kBufferSize)
        : text_(text), arena_(counter_.get()), buf_(buf_size) {
        cursor_.bytes = {reinterpret_cast<const uint8_t*>(text_.data()), text_.size()};
        io::Reader reader(io::memorySource(&cursor_), buf_);
        result_ = parseDocument(counter_.get(), reader, arena_);
    }
    ~Doc() {
        arena_.release();
        EXPECT_EQ(counter_.liveBlocks(), 0u);
        EXPECT_EQ(counter_.badFrees(), 0u);
    }
    bool ok() const { return result_.has_value(); }
    Error error() const { return result_ ? Error::Unexpected : result_.error(); }
    const Value& root() const { return **result_; }

private:
    std::string text_;
    CountingAllocator counter_;
    Arena arena_;
    std::vector<uint8_t> buf_;
    io::MemoryCursor cursor_;
    Result<const Value*> result_ = fail(Error::Unexpected);
};

Result<Kind> parseKind(const std::string& text, size_t buf_size = io::kBufferSize) {
    Doc d(text, buf_size);
    if (!d.ok()) return fail(d.error());
    return d.root().kind;
}

#define EXPECT_PARSE_ERROR(text, err)                                   \
    do {                                                                \
        Doc _d(text);                                                   \
        EXPECT_FALSE(_d.ok()) << "accepted: " << (text);                \
        if (!_d.ok()) {                                                 \
            EXPECT_EQ(_d.error(), (err)) << (text);                     \
        }                                                               \
    } while (0)

#define EXPECT_PARSES(text)                                             \
    do {                                                                \
        Doc _d(text);                                                   \
        EXPECT_TRUE(_d.ok()) << "rejected: " << (text);                 \
    } while (0)

std::string str(const Value& v) { return std::string(v.text()); }

// head, n copies of c, tail (built by appending: GCC 12 warns falsely about
// literal + std::string temporaries of this size).
std::string repeat(std::string head, size_t n, char c, const char* tail = "") {
    head.append(n, c);
    head += tail;
    return head;
}

}  // namespace

TEST(JsonGrammar, AcceptsEveryKindOfValueAtTheTop) {
    EXPECT_EQ(*parseKind("{}"), Kind::object);
    EXPECT_EQ(*parseKind(" [ ] "), Kind::numbers);
    EXPECT_EQ(*parseKind("\"x\""), Kind::string);
    EXPECT_EQ(*parseKind("true"), Kind::boolean);
    EXPECT_EQ(*parseKind("false"), Kind::boolean);
    EXPECT_EQ(*parseKind("null"), Kind::null);
    EXPECT_EQ(*parseKind("\t\r\n 12 \n\n"), Kind::integer);
    EXPECT_PARSES("{\"a\" : [ 1 , { \"b\" : null } , \"c\" ] , \"d\" : { } }");
}

TEST(JsonGrammar, RejectsWhatTheGrammarDoesNot) {
    const char* bad[] = {
        "[1,]", "{\"a\":1,}", "[,1]", "[1 2]", "{\"a\" 1}", "{\"a\"::1}", "{\"a\":1 \"b\":2}", "{1:2}",
        "{a:1}", "['a']", "[1]]", "{\"a\":1}}", "[}", "{]", "// c\n{}", "/* c */{}", "{} // c", "[1]/**/",
        "+1", "01", "-01", "00", "[1.]", ".5", "[.5]", "1.e5", "[1e]", "[1e+]", "[-]", "--1", "-a",
        "1x", "[1.5.3]", "0x10", "Infinity", "-Infinity", "NaN", "inf", "-inf", "nan", "trux", "nul1",
        "True", "NULL", "{} x", "{}{}", "[] []", "\xEF\xBB\xBF{}", "\f{}", "\v{}", "[1\f]", "\"a\"\"b\"",
    };
    for (const char* text : bad) EXPECT_PARSE_ERROR(text, Error::SyntaxError);
}

TEST(JsonGrammar, InputEndingInsideTheValueIsUnexpectedEnd) {
    const char* cut[] = {"",      "   \n", "{",     "[",     "{\"a\"", "{\"a\":", "{\"a\":1", "{\"a\":1,",
                         "[1,",   "\"abc", "\"a\\", "\"\\u12", "tru",  "fals",   "nu",      "-",
                         "1e",    "1e-",   "0.",    "[[[[",  "\"\xE2\x82", "\"\\uD83D", "\"\\uD83D\\"};
    for (const char* text : cut) EXPECT_PARSE_ERROR(text, Error::UnexpectedEndOfInput);
    // A complete number at the end of the input ends the document.
    EXPECT_EQ(*parseKind("-0.5e-3"), Kind::real);
    EXPECT_EQ(*parseKind("0"), Kind::integer);
}

TEST(JsonStrings, EscapesDecode) {
    Doc d(R"(["\" \\ \/ \b \f \n \r \t", "\u0041\u00e9\u20AC\uD83D\uDE00", "\u0000"])");
    ASSERT_TRUE(d.ok());
    const Value& a = d.root();
    ASSERT_EQ(a.kind, Kind::array);
    EXPECT_EQ(str(a.items[0]), "\" \\ / \b \f \n \r \t");
    EXPECT_EQ(str(a.items[1]), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(str(a.items[2]), std::string(1, '\0'));
}

TEST(JsonStrings, BadEscapesAndLoneSurrogatesAreSyntaxErrors) {
    const char* bad[] = {R"("\x")",       R"("\U0041")",      R"("\u12G4")",       R"("\u")",
                         R"("\uD800")",   R"("\uDC00")",      R"("\uD800\u0041")", R"("\uD800x")",
                         R"("\uDBFF\n")", R"("\uDE00\uD83D")", R"("\')",           R"("\a")"};
    for (const char* text : bad) EXPECT_PARSE_ERROR(text, Error::SyntaxError);
}

TEST(JsonStrings, ControlCharactersMustBeEscaped) {
    for (int c = 0; c < 0x20; ++c) {
        std::string text = "\"a";
        text += static_cast<char>(c);
        text += "b\"";
        EXPECT_PARSE_ERROR(text, Error::SyntaxError);
    }
    EXPECT_PARSES("\"a\x7F\"");
}

TEST(JsonStrings, Utf8IsCheckedStrictly) {
    // Well-formed: 2, 3 and 4 byte sequences at the edges of their ranges.
    Doc good("[\"\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\"]");
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(str(good.root().items[0]), "\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");

    const char* bad[] = {
        "\"\xC0\x80\"",         "\"\xC1\xBF\"",         "\"\xE0\x80\x80\"",     "\"\xE0\x9F\xBF\"",  // overlong
        "\"\xF0\x80\x80\x80\"", "\"\xF0\x8F\xBF\xBF\"", "\"\xED\xA0\x80\"",     "\"\xED\xBF\xBF\"",  // surrogates
        "\"\xF4\x90\x80\x80\"", "\"\xF5\x80\x80\x80\"", "\"\xFF\"",             "\"\x80\"",          // range
        "\"\xE2\x82\"",         "\"\xC3\"",             "\"\xF0\x9F\x98 \"",    "\"\xC3\xC3\xA9\"",  // truncated
        "[\xC3\xA9]",           "\xC3\xA9",                                                         // outside strings
    };
    for (const char* text : bad) EXPECT_PARSE_ERROR(text, Error::SyntaxError);
}

TEST(JsonNumbers, KindsFollowTheSyntax) {
    Doc d(R"({"a":5,"b":-0,"c":0,"d":9223372036854775807,"e":-9223372036854775808,
             "f":9223372036854775808,"g":-9223372036854775809,"h":1.5,"i":2e3,"j":1E400,"k":-1e-400,
             "l":0e99999999999999999999,"m":339999995214436420000000000000000000000})");
    ASSERT_TRUE(d.ok());
    const Value& o = d.root();
    EXPECT_EQ(o.find("a")->kind, Kind::integer);
    EXPECT_EQ(o.find("a")->i, 5);
    EXPECT_EQ(o.find("b")->kind, Kind::real);
    EXPECT_TRUE(o.find("b")->d == 0.0 && std::signbit(o.find("b")->d));
    EXPECT_EQ(o.find("c")->kind, Kind::integer);
    EXPECT_EQ(o.find("d")->i, INT64_MAX);
    EXPECT_EQ(o.find("e")->i, INT64_MIN);
    EXPECT_EQ(o.find("f")->kind, Kind::big_integer);
    EXPECT_EQ(o.find("f")->d, 9223372036854775808.0);
    EXPECT_EQ(o.find("g")->kind, Kind::big_integer);
    EXPECT_EQ(o.find("h")->kind, Kind::real);
    EXPECT_EQ(o.find("i")->d, 2000.0);
    EXPECT_EQ(o.find("j")->flags & kBeyondDouble, kBeyondDouble);
    EXPECT_EQ(o.find("k")->flags, 0);
    EXPECT_TRUE(o.find("k")->d == 0.0 && std::signbit(o.find("k")->d));
    EXPECT_EQ(o.find("l")->d, 0.0);
    EXPECT_EQ(o.find("m")->kind, Kind::big_integer);
    EXPECT_EQ(static_cast<float>(o.find("m")->d), 3.4e38f);
}

TEST(JsonNumbers, ArraysOfNumbersHoldCorrectlyRoundedFloats) {
    // 1 + 2^-24 + tiny: the nearest double is the halfway point 1 + 2^-24,
    // which then rounds to even, 1.0; straight to float it would be 1 + 2^-23.
    Doc d("[1, -2, -0, 0.1, 1.0000000596046447753906250000000001, 339999995214436420000000000000000000000,"
          "1e39, 1e-50, 0." + std::string(44, '0') + "1401298464324817]");
    ASSERT_TRUE(d.ok());
    const Value& a = d.root();
    ASSERT_EQ(a.kind, Kind::numbers);
    ASSERT_EQ(a.len, 9u);
    EXPECT_EQ(a.nums[0], 1.0f);
    EXPECT_EQ(a.nums[1], -2.0f);
    EXPECT_EQ(std::bit_cast<uint32_t>(a.nums[2]), 0x80000000u);
    EXPECT_EQ(a.nums[3], 0.1f);
    EXPECT_EQ(a.nums[4], 1.0f);
    EXPECT_EQ(a.nums[5], 3.4e38f);
    EXPECT_EQ(a.nums[6], INFINITY);  // finite as a double, beyond the floats
    EXPECT_EQ(a.nums[7], 0.0f);
    EXPECT_EQ(std::bit_cast<uint32_t>(a.nums[8]), 1u);
}

TEST(JsonNumbers, ANumberBeyondTheDoublesStaysFlaggedInItsArray) {
    Doc d("[1, 1e400, 2]");
    ASSERT_TRUE(d.ok());
    const Value& a = d.root();
    ASSERT_EQ(a.kind, Kind::array);
    EXPECT_EQ(a.items[0].d, 1.0);
    EXPECT_EQ(a.items[1].flags, kBeyondDouble);
    EXPECT_EQ(a.items[2].d, 2.0);
}

TEST(JsonArrays, MixedArraysKeepOrder) {
    Doc d(R"([1, 2, "x", [3], 4, {"a": [5, 6]}, true])");
    ASSERT_TRUE(d.ok());
    const Value& a = d.root();
    ASSERT_EQ(a.kind, Kind::array);
    ASSERT_EQ(a.len, 7u);
    EXPECT_EQ(a.items[0].d, 1.0);
    EXPECT_EQ(a.items[1].d, 2.0);
    EXPECT_EQ(str(a.items[2]), "x");
    ASSERT_EQ(a.items[3].kind, Kind::numbers);
    EXPECT_EQ(a.items[3].nums[0], 3.0f);
    EXPECT_EQ(a.items[4].d, 4.0);
    const Value* inner = a.items[5].find("a");
    ASSERT_NE(inner, nullptr);
    ASSERT_EQ(inner->kind, Kind::numbers);
    EXPECT_EQ(inner->nums[1], 6.0f);
    EXPECT_EQ(a.items[6].kind, Kind::boolean);
}

TEST(JsonObjects, DuplicateKeysAtAnyDepth) {
    EXPECT_PARSE_ERROR(R"({"a":1,"a":2})", Error::DuplicateField);
    EXPECT_PARSE_ERROR(R"({"a":1,"b":2,"a":{}})", Error::DuplicateField);
    EXPECT_PARSE_ERROR(R"([{"x":[{"b":{"c":1,"d":2,"c":3}}]}])", Error::DuplicateField);
    EXPECT_PARSE_ERROR(R"({"a":1,"\u0061":2})", Error::DuplicateField);  // equal once decoded
    EXPECT_PARSE_ERROR(R"({"":1,"":2})", Error::DuplicateField);
    EXPECT_PARSES(R"({"a":{"a":{"a":1}},"b":[{"a":1},{"a":2}],"A":3,"a ":4})");
}

TEST(JsonObjects, HundredThousandDistinctKeys) {
    std::string text = "{";
    for (int k = 0; k < 100000; ++k) text += (k ? ",\"k" : "\"k") + std::to_string(k * 7919 % 100000) + "\":" + std::to_string(k);
    Doc d(text + "}");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.root().len, 100000u);
    ASSERT_NE(d.root().find("k0"), nullptr);
    ASSERT_NE(d.root().find("k99999"), nullptr);
    EXPECT_EQ(d.root().find("k100000"), nullptr);
    EXPECT_PARSE_ERROR(text + ",\"k31337\":0}", Error::DuplicateField);
}

TEST(JsonNesting, DepthIsBoundedOnlyByMemory) {
    EXPECT_PARSE_ERROR(std::string(1000000, '['), Error::UnexpectedEndOfInput);
    EXPECT_PARSE_ERROR(std::string(1000000, '[') + "}", Error::SyntaxError);
    std::string closed(100000, '[');
    closed.append(100000, ']');
    EXPECT_EQ(*parseKind(closed), Kind::array);
    std::string objects;
    for (int k = 0; k < 100000; ++k) objects += "{\"a\":";
    objects += '1';
    objects.append(100000, '}');
    EXPECT_EQ(*parseKind(objects), Kind::object);
}

TEST(JsonLimits, StringsAndNumbersUpToTheLimit) {
    std::string at_limit = repeat("\"", kMaxValueBytes, 'a', "\"");
    EXPECT_EQ(*parseKind(at_limit), Kind::string);
    std::string over = repeat("\"", kMaxValueBytes + 1, 'a', "\"");
    EXPECT_PARSE_ERROR(over, Error::ValueTooLong);
    EXPECT_PARSE_ERROR("{" + over + ":1}", Error::ValueTooLong);  // keys too

    // The limit applies to the decoded bytes: 6 bytes of escape make 2.
    std::string escaped = "\"";
    for (size_t k = 0; k < kMaxValueBytes / 2; ++k) escaped += "\\u00e9";
    EXPECT_EQ(*parseKind(escaped + "\""), Kind::string);
    EXPECT_PARSE_ERROR(escaped + "x\"", Error::ValueTooLong);

    std::string number = repeat("0.", kMaxValueBytes - 3, '0', "5");
    Doc d("[" + number + "]");
    ASSERT_TRUE(d.ok());
    EXPECT_EQ(d.root().nums[0], 0.0f);
    EXPECT_PARSE_ERROR("[" + number + "5]", Error::ValueTooLong);
    EXPECT_PARSE_ERROR(repeat("1", kMaxValueBytes, '0'), Error::ValueTooLong);
    EXPECT_EQ(*parseKind(repeat("1", kMaxValueBytes - 1, '0')), Kind::big_integer);
}

TEST(JsonReader, ResultsDoNotDependOnTheBufferSize) {
    const std::string docs[] = {
        R"({"input_size":3,"layers":[{"type":"linear","size":2,"weight":[[0.5,-0.25,1e-3],[7,8,9]],"bias":[1,2]}]})",
        "[\"\\uD83D\\uDE00 \xC3\xA9\", 12345678901234567890123, -0.000001, true, false, null, {}]",
        "[1, 2, \"x\xED\xA0\x80\"]",
        "{\"a\":1, \"a\":2}",
        "[1.5e",
        "[\"abc\\u00",
    };
    for (const std::string& doc : docs) {
        Doc reference(doc);
        for (size_t buf : {1, 2, 3, 5, 7, 64}) {
            Doc d(doc, buf);
            ASSERT_EQ(d.ok(), reference.ok()) << doc << " buffer " << buf;
            if (!d.ok()) {
                EXPECT_EQ(d.error(), reference.error()) << doc << " buffer " << buf;
            }
        }
    }
    Doc small(docs[1], 1);
    ASSERT_TRUE(small.ok());
    EXPECT_EQ(str(small.root().items[0]), "\xF0\x9F\x98\x80 \xC3\xA9");
    EXPECT_EQ(small.root().items[1].d, 12345678901234567890123.0f);
}

TEST(JsonReader, FailedReadIsReadFailed) {
    CountingAllocator counter;
    Arena arena(counter.get());
    int calls = 0;
    io::ByteSource source{&calls,
                          [](void* ctx, uint8_t* dst, size_t) -> Result<size_t> {
                              if ((*static_cast<int*>(ctx))++ > 0) return fail(Error::ReadFailed);
                              std::memcpy(dst, "[1,", 3);
                              return size_t{3};
                          },
                          nullptr};
    uint8_t buf[16];
    io::Reader reader(source, buf);
    auto r = parseDocument(counter.get(), reader, arena);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), Error::ReadFailed);
    arena.release();
    EXPECT_EQ(counter.liveBlocks(), 0u);
}
