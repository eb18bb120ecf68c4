// The strict JSON reader, the pretty writer and the teardown of value trees.
#include "json.hpp"

#include <gtest/gtest.h>

#include "exhausted_heap.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace velk {
namespace {

// The exact class and value of a number, as text: "u:5", "i:-5", "f:<bits>".
std::string number_class(const Json& v) {
    switch (v.type()) {
        case Json::value_t::number_unsigned:
            return "u:" + std::to_string(v.get<std::uint64_t>());
        case Json::value_t::number_integer:
            return "i:" + std::to_string(v.get<std::int64_t>());
        case Json::value_t::number_float:
            return "f:" + format_json_float(v.get<double>());
        default:
            return "other";
    }
}

struct NumberCase {
    std::string text;
    std::string expected;
};

const std::vector<NumberCase>& number_cases() {
    static const std::vector<NumberCase> cases = {
        {"0", "u:0"},
        {"5", "u:5"},
        {"4294967296", "u:4294967296"},
        {"9223372036854775807", "u:9223372036854775807"},
        {"9223372036854775808", "u:9223372036854775808"},
        {"18446744073709551615", "u:18446744073709551615"},
        {"18446744073709551616", "f:1.8446744073709552e+19"},
        {"-1", "i:-1"},
        {"-9223372036854775808", "i:-9223372036854775808"},
        {"-9223372036854775809", "f:-9.223372036854776e+18"},
        {"-0", "f:-0.0"},
        {"-0.0", "f:-0.0"},
        {"0.0", "f:0.0"},
        {"1.0", "f:1.0"},
        {"1e3", "f:1000.0"},
        {"1E+3", "f:1000.0"},
        {"2.5e-3", "f:0.0025"},
        {"1e-400", "f:0.0"},
        {"-1e-400", "f:-0.0"},
        {"0e999999999999999999", "f:0.0"},
        {"1.7976931348623157e308", "f:1.7976931348623157e+308"},
        // correctly rounded: halfway cases and long mantissas
        {"9007199254740993", "u:9007199254740993"},
        {"9007199254740993.0", "f:9007199254740992.0"},
        {"9007199254740993.000000000000000000001", "f:9007199254740994.0"},
        {"0.1", "f:0.1"},
        {"4.9406564584124654e-324", "f:5e-324"},
        {"123456789012345678901234567890", "f:1.2345678901234568e+29"},
    };
    return cases;
}

TEST(ParseJson, NumberClasses) {
    for (const auto& c : number_cases()) {
        auto parsed = parse_json(c.text);
        ASSERT_TRUE(parsed.has_value()) << c.text << ": " << parsed.error().display();
        EXPECT_EQ(number_class(*parsed), c.expected) << c.text;
    }
    EXPECT_TRUE(std::signbit((*parse_json("-0"))->get<double>()));
}

struct ErrorCase {
    std::string text;
    std::string display;
};

const std::vector<ErrorCase>& error_cases() {
    static const std::vector<ErrorCase> cases = {
        {"", "EOF while parsing a value at line 1 column 0"},
        {"   ", "EOF while parsing a value at line 1 column 3"},
        {"\n\n", "EOF while parsing a value at line 3 column 0"},
        {"1 2", "trailing characters at line 1 column 3"},
        {"{} x", "trailing characters at line 1 column 4"},
        {"[1]\n\n  ]", "trailing characters at line 3 column 3"},
        {"1x", "trailing characters at line 1 column 2"},
        {"x", "expected value at line 1 column 1"},
        {"NaN", "expected value at line 1 column 1"},
        {"-Infinity", "invalid number at line 1 column 2"},
        {"Infinity", "expected value at line 1 column 1"},
        {"nul", "EOF while parsing a value at line 1 column 3"},
        {"nulx", "expected ident at line 1 column 4"},
        {"tru", "EOF while parsing a value at line 1 column 3"},
        {"-", "EOF while parsing a value at line 1 column 1"},
        {"01", "invalid number at line 1 column 2"},
        {"1.", "EOF while parsing a value at line 1 column 2"},
        {"1.x", "invalid number at line 1 column 3"},
        {"1e", "EOF while parsing a value at line 1 column 2"},
        {"1e+", "EOF while parsing a value at line 1 column 3"},
        {"1ex", "invalid number at line 1 column 3"},
        {"+1", "expected value at line 1 column 1"},
        {".5", "expected value at line 1 column 1"},
        {"1e400", "number out of range at line 1 column 5"},
        {"-1e400", "number out of range at line 1 column 6"},
        {"[1e309]", "number out of range at line 1 column 6"},
        {"1.7976931348623159e308", "number out of range at line 1 column 22"},
        {std::string(400, '9'), "number out of range at line 1 column 400"},
        {"[", "EOF while parsing a list at line 1 column 1"},
        {"[1", "EOF while parsing a list at line 1 column 2"},
        {"[1,", "EOF while parsing a value at line 1 column 3"},
        {"[1,]", "trailing comma at line 1 column 4"},
        {"[,1]", "expected value at line 1 column 2"},
        {"[1 2]", "expected `,` or `]` at line 1 column 4"},
        {"[1}", "expected `,` or `]` at line 1 column 3"},
        {"{", "EOF while parsing an object at line 1 column 1"},
        {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
        {"{\"a\" 1}", "expected `:` at line 1 column 6"},
        {"{\"a\":", "EOF while parsing a value at line 1 column 5"},
        {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
        {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        {"{\"a\":1,}", "trailing comma at line 1 column 8"},
        {"{1:2}", "key must be a string at line 1 column 2"},
        {"{,}", "key must be a string at line 1 column 2"},
        {"\"abc", "EOF while parsing a string at line 1 column 4"},
        {"\"a\\", "EOF while parsing a string at line 1 column 3"},
        {"\"a\\x\"", "invalid escape at line 1 column 4"},
        {"\"\\u12\"", "EOF while parsing a string at line 1 column 6"},
        {"\"\\u12x4\"", "invalid escape at line 1 column 7"},
        {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        {"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
        {"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        {"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
        {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        {std::string("\"a\0b\"", 5),
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
        {"\"\xc3\"", "invalid unicode code point at line 1 column 3"},
        {"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 5"},
        {"{\n  \"a\": [1,\n   2,,\n]}", "expected value at line 3 column 6"},
        {"\r\n\r\n  x", "expected value at line 3 column 3"},
        {"\xef\xbb\xbf{}", "expected value at line 1 column 1"},
        {"\f1", "expected value at line 1 column 1"},
    };
    return cases;
}

TEST(ParseJson, Errors) {
    for (const auto& c : error_cases()) {
        auto parsed = parse_json(c.text);
        ASSERT_FALSE(parsed.has_value()) << c.text;
        EXPECT_EQ(parsed.error().display(), c.display) << c.text;
    }
}

TEST(ParseJson, ErrorFields) {
    auto parsed = parse_json("[1,\n 2 x]");
    ASSERT_FALSE(parsed.has_value());
    EXPECT_EQ(parsed.error().description, "expected `,` or `]`");
    EXPECT_EQ(parsed.error().line, 2u);
    EXPECT_EQ(parsed.error().column, 4u);
}

TEST(ParseJson, DepthLimit) {
    for (const char* pair : {"[]", "{}"}) {
        auto nested = [&](int depth, bool object) {
            std::string text;
            for (int i = 0; i < depth; ++i) text += object ? "{\"k\":" : "[";
            text += "0";
            for (int i = 0; i < depth; ++i) text += object ? "}" : "]";
            return text;
        };
        const bool object = pair[0] == '{';
        auto ok = parse_json(nested(127, object));
        ASSERT_TRUE(ok.has_value()) << ok.error().display();
        // The innermost 0 sits under 127 levels.
        const Json* v = &**ok;
        for (int i = 0; i < 127; ++i) v = object ? &(*v)["k"] : &(*v)[0];
        EXPECT_EQ(*v, 0);

        auto too_deep = parse_json(nested(128, object));
        ASSERT_FALSE(too_deep.has_value());
        EXPECT_EQ(too_deep.error().description, "recursion limit exceeded");
        EXPECT_EQ(too_deep.error().line, 1u);
        EXPECT_EQ(too_deep.error().column, object ? 127u * 5 + 1 : 128u);
    }
    // Depth is about nesting, not about how many containers there are.
    std::string wide = "[";
    for (int i = 0; i < 1000; ++i) wide += "[[]],";
    wide += "[]]";
    EXPECT_TRUE(parse_json(wide).has_value());
    // A deep attack fails at the limit without descending further.
    auto attack = parse_json(std::string(1'000'000, '['));
    ASSERT_FALSE(attack.has_value());
    EXPECT_EQ(attack.error().display(), "recursion limit exceeded at line 1 column 128");
}

TEST(ParseJson, Values) {
    auto v = parse_json(" \t\r\n{\"b\": [true, false, null], \"a\": \"x\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\"} \n");
    ASSERT_TRUE(v.has_value()) << v.error().display();
    EXPECT_EQ((*v)->size(), 2u);
    EXPECT_EQ((**v)["a"].get<std::string>(), "x\"\\/\b\f\n\r\t\xc3\xa9\xf0\x9f\x98\x80");
    EXPECT_EQ((**v)["b"], Json::parse("[true,false,null]"));
    EXPECT_EQ((*v)->begin().key(), "a");  // keys iterate sorted

    auto dup = parse_json("{\"k\": 1, \"k\": [2], \"j\": 0, \"k\": \"last\"}");
    ASSERT_TRUE(dup.has_value());
    EXPECT_EQ((*dup)->size(), 2u);
    EXPECT_EQ((**dup)["k"], "last");

    auto raw = parse_json("\"/ \xc3\xa9 \xf0\x9f\x98\x80 \x7f\"");
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ((*raw)->get<std::string>(), "/ \xc3\xa9 \xf0\x9f\x98\x80 \x7f");

    auto zero = parse_json("\"\\u0000\"");
    ASSERT_TRUE(zero.has_value());
    EXPECT_EQ((*zero)->get<std::string>(), std::string(1, '\0'));

    EXPECT_EQ(*parse_json("[]"), Json::array());
    EXPECT_EQ(*parse_json("{}"), Json::object());
    EXPECT_EQ(**parse_json("\"\""), "");
}

// The check reads every text as the parser does: the same verdict and the same
// error, and for a text that is JSON not one allocation.
TEST(CheckJson, AgreesWithTheParser) {
    for (const auto& c : error_cases()) {
        auto checked = check_json(c.text);
        ASSERT_FALSE(checked.has_value()) << c.text;
        EXPECT_EQ(checked.error().display(), c.display) << c.text;
    }
    std::vector<std::string> documents;
    for (const auto& c : number_cases()) documents.push_back(c.text);
    for (int depth : {127, 128}) {
        documents.push_back(std::string(depth, '[') + std::string(depth, ']'));
        std::string objects;
        for (int i = 0; i < depth; ++i) objects += "{\"k\":";
        documents.push_back(objects + "0" + std::string(depth, '}'));
    }
    documents.push_back(" \t\r\n{\"b\": [true, false, null], \"a\": \"x\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\ud83d\\ude00\"} \n");
    documents.push_back("{\"k\": 1, \"k\": [2], \"j\": 0, \"k\": \"last\"}");
    documents.push_back("\"/ \xc3\xa9 \xf0\x9f\x98\x80 \x7f\"");
    // Invalid UTF-8 split by escapes, and a valid sequence beside them.
    documents.push_back("\"\xc3\\n\xa9\"");
    documents.push_back("\"\\u00e9\xc3\xa9\\n\xf0\x9f\x98\x80\"");
    documents.push_back("[" + std::string(3000, '1') + ", \"" + std::string(5000, 'a') + "\"]");
    for (const std::string& text : documents) {
        auto parsed = parse_json(text);
        if (!parsed) {
            auto checked = check_json(text);
            ASSERT_FALSE(checked.has_value()) << text;
            EXPECT_EQ(checked.error().display(), parsed.error().display()) << text;
            continue;
        }
        *parsed = JsonTree();
        bool checked_ok = false;
        {
            const exhausted_heap::Armed heap(0);
            checked_ok = check_json(text).has_value();
        }
        EXPECT_TRUE(checked_ok) << text;
        EXPECT_EQ(exhausted_heap::allocations, 0u) << text;
    }
}

struct FloatCase {
    double value;
    std::string text;
};

TEST(FormatJsonFloat, Table) {
    const std::vector<FloatCase> cases = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {-1.0, "-1.0"},
        {2.0, "2.0"},
        {100.0, "100.0"},
        {0.25, "0.25"},
        {0.1, "0.1"},
        {0.00001, "0.00001"},
        {0.000012345, "0.000012345"},
        {1e-6, "1e-6"},
        {1.25e-7, "1.25e-7"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {1e16, "1e+16"},
        {1.5e300, "1.5e+300"},
        {123456789012345.6, "123456789012345.6"},
        {1.7976931348623157e308, "1.7976931348623157e+308"},
        {5e-324, "5e-324"},
        {-2.5e-10, "-2.5e-10"},
        {3.141592653589793, "3.141592653589793"},
        {18446744073709551616.0, "1.8446744073709552e+19"},
        {1234.5, "1234.5"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_json_float(c.value), c.text) << c.text;
        // The text reads back to the same bits.
        auto back = parse_json(c.text);
        ASSERT_TRUE(back.has_value()) << c.text;
        EXPECT_EQ(std::bit_cast<std::uint64_t>((*back)->get<double>()),
                  std::bit_cast<std::uint64_t>(c.value))
            << c.text;
    }
}

struct WriteCase {
    Json value;
    std::string text;
};

TEST(WritePrettyJson, Table) {
    const std::vector<WriteCase> cases = {
        {Json(nullptr), "null"},
        {Json(true), "true"},
        {Json(false), "false"},
        {Json(2), "2"},
        {Json(2.0), "2.0"},
        {Json(std::uint64_t{18446744073709551615u}), "18446744073709551615"},
        {Json(std::int64_t{-9223372036854775807 - 1}), "-9223372036854775808"},
        {Json(std::numeric_limits<double>::quiet_NaN()), "null"},
        {Json(std::numeric_limits<double>::infinity()), "null"},
        {Json::object(), "{}"},
        {Json::array(), "[]"},
        {Json("a\tb"), "\"a\\tb\""},
        {Json("\x01"), "\"\\u0001\""},
        {Json("\x1f\x7f"), "\"\\u001f\x7f\""},
        {Json("\b\f\n\r\"\\"), "\"\\b\\f\\n\\r\\\"\\\\\""},
        {Json("a/b"), "\"a/b\""},
        {Json("\xc3\xa9"), "\"\xc3\xa9\""},
        {Json(std::string(1, '\0')), "\"\\u0000\""},
        {Json::parse("[1]"), "[\n  1\n]"},
        {Json::parse("{\"b\": 1, \"a\": [1, {}, []]}"),
         "{\n  \"a\": [\n    1,\n    {},\n    []\n  ],\n  \"b\": 1\n}"},
        {Json::parse("[[[\"x\"]]]"), "[\n  [\n    [\n      \"x\"\n    ]\n  ]\n]"},
        {Json::parse("{\"k\\n\": {\"z\": null}}"), "{\n  \"k\\n\": {\n    \"z\": null\n  }\n}"},
    };
    for (const auto& c : cases) EXPECT_EQ(write_pretty_json(c.value), c.text) << c.text;
}

TEST(WritePrettyJson, RoundTrip) {
    const std::string text =
        "{\"amp\": 0.5, \"captures\": [[1e-6, [\"capture\", {\"idx\": 3, \"q\": \"Q1\"}]]],"
        " \"neg\": -7, \"big\": 18446744073709551615, \"z\": -0.0, \"s\": \"\\u0001\\t\xc3\xa9\"}";
    auto v = parse_json(text);
    ASSERT_TRUE(v.has_value());
    const std::string pretty = write_pretty_json(*v);
    auto back = parse_json(pretty);
    ASSERT_TRUE(back.has_value()) << back.error().display();
    EXPECT_EQ(write_pretty_json(*back), pretty);
    EXPECT_EQ((**back)["big"].type(), Json::value_t::number_unsigned);
    EXPECT_EQ((**back)["neg"].type(), Json::value_t::number_integer);
    EXPECT_EQ((**back)["z"].type(), Json::value_t::number_float);
}

// ---------------------------------------------------------------------------
// Teardown without allocating

// A chain of `depth` containers, arrays and objects in turn, each the last
// child of the one before, with small containers and heap strings beside it.
Json deep_wide_tree(int depth) {
    Json root = Json::array();
    Json* level = &root;
    for (int d = 0; d < depth; ++d) {
        Json next = d % 2 == 0 ? Json::object() : Json::array();
        if (level->is_array()) {
            for (int k = 0; k < 3; ++k)
                level->push_back(Json::array({k, "a text longer than the small-string buffer"}));
            level->push_back(std::move(next));
            level = &level->back();
        } else {
            for (int k = 0; k < 3; ++k) (*level)["m" + std::to_string(k)] = Json::object({{"v", k}});
            (*level)["z"] = std::move(next);  // sorts after the "m" members: the last child
            level = &(*level)["z"];
        }
    }
    if (level->is_array()) level->push_back(1); else (*level)["end"] = 1;
    return root;
}

// A JsonTree drops the tree it holds, on destruction and when assigned another,
// without allocating; moving one leaves null behind.
TEST(JsonTree, DropsAndReplacesItsTreeWithoutAllocating) {
    for (int depth : {600, 3, 0}) {
        JsonTree held(deep_wide_tree(depth));
        JsonTree replacement(deep_wide_tree(depth));
        {
            const exhausted_heap::Armed heap(0);
            held = std::move(replacement);
            { const JsonTree dropped = std::move(held); }
            held = Json(5);
        }
        EXPECT_EQ(exhausted_heap::allocations, 0u) << depth;
        EXPECT_TRUE(replacement->is_null()) << depth;
        EXPECT_EQ(*held, Json(5)) << depth;
    }
}

TEST(ReleaseJson, TearsDownAnyTreeWithoutAllocating) {
    // Deeper than the teardown's fixed path (256), shallower, and plain values.
    for (int depth : {600, 3, 0}) {
        Json tree = deep_wide_tree(depth);
        {
            const exhausted_heap::Armed heap(0);
            release_json(tree);
        }
        EXPECT_EQ(exhausted_heap::allocations, 0u) << depth;
        EXPECT_TRUE(tree.is_null()) << depth;
    }
    for (Json plain : {Json(5), Json("text longer than the small-string buffer"), Json::array()}) {
        {
            const exhausted_heap::Armed heap(0);
            release_json(plain);
        }
        EXPECT_EQ(exhausted_heap::allocations, 0u);
        EXPECT_TRUE(plain.is_null());
    }
}

// Memory running out at every allocation of a parse: the partial tree is
// released on the way out (the library's own destructor would allocate and end
// the process), and the failure surfaces as std::bad_alloc.
TEST(ParseJson, RunningOutOfMemoryAtAnyPointThrowsBadAlloc) {
    const std::string text =
        "{\"a\": [[1, 2, {\"b\": [3, \"a text longer than the small-string buffer\"]}], {}],"
        " \"a\": [4, [5, [6]]], \"c\": {\"d\": {\"e\": [\"x\", \"y\", 7.5]}}, \"f\": [[], {}, \"z\"]}";
    std::size_t needed = 0;
    {
        const exhausted_heap::Armed heap(SIZE_MAX);
        auto parsed = parse_json(text);
        needed = exhausted_heap::allocations;
    }
    ASSERT_GT(needed, 20u);
    for (std::size_t n = 0; n <= needed; ++n) {
        bool threw = false, parsed_ok = false;
        {
            const exhausted_heap::Armed heap(n);
            try {
                auto parsed = parse_json(text);
                parsed_ok = parsed.has_value();
            } catch (const std::bad_alloc&) {
                threw = true;
            }
        }
        EXPECT_EQ(threw, n < needed) << n;
        EXPECT_EQ(parsed_ok, n >= needed) << n;
    }
}

}  // namespace
}  // namespace velk
