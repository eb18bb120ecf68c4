// Channel configuration: shaping a TOML document into Config, the errors of each
// rule with their key path and byte span, and the printed forms of TomlError.

#include "config.hpp"

#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velk {
namespace {

using Channels = std::map<std::string, ChannelConfig>;

ChannelConfig ch(std::uint64_t rate, std::optional<std::uint64_t> count = std::nullopt, bool iir = false) {
    return ChannelConfig{rate, count, iir};
}

struct GoodCase {
    const char* name;
    const char* toml;
    Channels expected;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.name; }

class ConfigAccepts : public ::testing::TestWithParam<GoodCase> {};

TEST_P(ConfigAccepts, Shapes) {
    const GoodCase& c = GetParam();
    auto config = parse_config(c.toml);
    ASSERT_TRUE(config.has_value()) << config.error().debug();
    Channels got(config->channels.begin(), config->channels.end());
    ASSERT_EQ(got.size(), c.expected.size());
    for (const auto& [name, want] : c.expected) {
        ASSERT_TRUE(got.count(name)) << "missing channel " << name;
        const ChannelConfig& have = got.at(name);
        EXPECT_EQ(have.sample_rate, want.sample_rate) << name;
        EXPECT_EQ(have.sample_count, want.sample_count) << name;
        EXPECT_EQ(have.enable_iir, want.enable_iir) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ConfigAccepts,
    ::testing::Values(
        GoodCase{"table_headers",
                 "[channels.q0]\nsample_rate = 48000\nsample_count = 100\nenable_iir = true\n"
                 "[channels.q1]\nsample_rate = 1000\n",
                 {{"q0", ch(48000, 100, true)}, {"q1", ch(1000)}}},
        GoodCase{"dotted_keys", "channels.a.sample_rate = 5\nchannels.a.enable_iir = false\n",
                 {{"a", ch(5)}}},
        GoodCase{"inline_tables", "channels = { a = { sample_rate = 1, sample_count = 0 }, b = [2, 3] }",
                 {{"a", ch(1, 0)}, {"b", ch(2, 3)}}},
        GoodCase{"array_forms",
                 "[channels]\nt = [1, 2]\nu = [1, 2, true]\n"
                 "v = [1, 2, false, \"ignored\", {x = 1}, 1979-05-27, [[]]]\n",
                 {{"t", ch(1, 2)}, {"u", ch(1, 2, true)}, {"v", ch(1, 2)}}},
        GoodCase{"integer_notations",
                 "[channels]\nh = [0xff, 0o17]\nb = [0b101, 1_000]\nm = [9223372036854775807, +0]\n",
                 {{"h", ch(255, 15)}, {"b", ch(5, 1000)}, {"m", ch(INT64_MAX, 0)}}},
        GoodCase{"zero_rate", "[channels.z]\nsample_rate = 0\n", {{"z", ch(0)}}},
        GoodCase{"empty_inline_channels", "channels = {}", {}},
        GoodCase{"empty_channels_header", "# nothing yet\n[channels]\n", {}},
        GoodCase{"quoted_names",
                 "[channels]\n\"a.b c\" = [1, 2]\n\"\" = [3, 4]\n'é' = [5, 6]\n",
                 {{"a.b c", ch(1, 2)}, {"", ch(3, 4)}, {"é", ch(5, 6)}}},
        GoodCase{"ignored_keys",
                 "title = 1979-05-27T07:32:00Z\n[[servers]]\nx = [1, \"a\"]\n"
                 "[channels.a]\nsample_rate = 7\nSample_Count = \"no\"\nextra = { deep = [[1]] }\n"
                 "[channels.a.sub]\nsample_rate = -1\n[[channels.a.list]]\nq = 1\n"
                 "[other]\nchannels = 5\n",
                 {{"a", ch(7)}}},
        GoodCase{"crlf_and_bom", "\xEF\xBB\xBF[channels.a]\r\nsample_rate = 3\r\n", {{"a", ch(3)}}}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
    const char* name;
    const char* toml;
    const char* message;
    std::vector<std::string> key_path;
    std::optional<std::string> spanned;  // the document text the span covers
};

// Shown by its name in test listings and failure messages.
void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class ConfigRejects : public ::testing::TestWithParam<BadCase> {};

TEST_P(ConfigRejects, WithMessagePathAndSpan) {
    const BadCase& c = GetParam();
    auto config = parse_config(c.toml);
    ASSERT_FALSE(config.has_value());
    const TomlError& e = config.error();
    EXPECT_EQ(e.message, c.message);
    EXPECT_EQ(e.key_path, c.key_path);
    const std::string document = c.toml;
    if (c.spanned) {
        ASSERT_TRUE(e.span.has_value());
        ASSERT_LE(e.span->first, e.span->second);
        ASSERT_LE(e.span->second, document.size());
        EXPECT_EQ(document.substr(e.span->first, e.span->second - e.span->first), *c.spanned);
    } else {
        EXPECT_FALSE(e.span.has_value());
    }
}

const std::vector<std::string> kA = {"channels", "a"};
const std::vector<std::string> kRate = {"channels", "a", "sample_rate"};
const std::vector<std::string> kCount = {"channels", "a", "sample_count"};
const std::vector<std::string> kIir = {"channels", "a", "enable_iir"};

INSTANTIATE_TEST_SUITE_P(
    Root, ConfigRejects,
    ::testing::Values(
        BadCase{"empty_file", "", "missing field `channels`", {}, std::nullopt},
        BadCase{"comments_only", "# a\n# b\n", "missing field `channels`", {}, std::nullopt},
        BadCase{"other_keys_only", "Channels = {}\n[x.channels]\n", "missing field `channels`", {}, std::nullopt},
        BadCase{"channels_integer", "channels = 5", "invalid type: integer `5`, expected a map", {"channels"}, "5"},
        BadCase{"channels_array", "channels = [1]", "invalid type: sequence, expected a map", {"channels"}, "[1]"},
        BadCase{"channels_string", "channels = \"x\\ty\"", "invalid type: string \"x\\ty\", expected a map",
                {"channels"}, "\"x\\ty\""},
        BadCase{"channels_aot", "[[channels]]\na = 1\n", "invalid type: sequence, expected a map",
                {"channels"}, "[[channels]]"},
        BadCase{"channels_date", "channels = 1979-05-27", "invalid type: date-time `1979-05-27`, expected a map",
                {"channels"}, "1979-05-27"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Channel, ConfigRejects,
    ::testing::Values(
        BadCase{"integer", "[channels]\na = 5", "invalid type: integer `5`, expected struct ChannelConfig", kA, "5"},
        BadCase{"bool", "[channels]\na = false", "invalid type: boolean `false`, expected struct ChannelConfig",
                kA, "false"},
        BadCase{"float", "[channels]\na = 2.5", "invalid type: floating point `2.5`, expected struct ChannelConfig",
                kA, "2.5"},
        BadCase{"date_time", "[channels]\na = 1979-05-27T07:32:00Z",
                "invalid type: date-time `1979-05-27T07:32:00Z`, expected struct ChannelConfig", kA,
                "1979-05-27T07:32:00Z"},
        BadCase{"local_time", "[channels]\na = 07:32:00",
                "invalid type: date-time `07:32:00`, expected struct ChannelConfig", kA, "07:32:00"},
        BadCase{"missing_rate_case_differs", "[channels.a]\nSample_Rate = 1\n", "missing field `sample_rate`", kA,
                "[channels.a]"},
        BadCase{"missing_rate_inline", "channels = { a = { sample_count = 1 } }", "missing field `sample_rate`", kA,
                "{ sample_count = 1 }"},
        BadCase{"aot_channel", "[[channels.a]]\nsample_rate = 1\n", "invalid type: map, expected u64", kA,
                "[[channels.a]]"},
        BadCase{"quoted_name_in_path", "[channels.\"a.b c\"]\nsample_rate = -1\n",
                "invalid value: integer `-1`, expected u64", {"channels", "a.b c", "sample_rate"}, "-1"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Fields, ConfigRejects,
    ::testing::Values(
        BadCase{"rate_negative", "[channels.a]\nsample_rate = -5\n", "invalid value: integer `-5`, expected u64",
                kRate, "-5"},
        BadCase{"count_negative", "[channels.a]\nsample_rate = 5\nsample_count = -5\n",
                "invalid value: integer `-5`, expected usize", kCount, "-5"},
        BadCase{"rate_float", "[channels.a]\nsample_rate = 48000.0\n",
                "invalid type: floating point `48000.0`, expected u64", kRate, "48000.0"},
        BadCase{"rate_string", "[channels.a]\nsample_rate = 'fast'\n", "invalid type: string \"fast\", expected u64",
                kRate, "'fast'"},
        BadCase{"rate_array", "[channels.a]\nsample_rate = [1]\n", "invalid type: sequence, expected u64", kRate,
                "[1]"},
        BadCase{"rate_table", "[channels.a]\nsample_rate = { x = 1 }\n", "invalid type: map, expected u64", kRate,
                "{ x = 1 }"},
        BadCase{"rate_subtable", "[channels.a.sample_rate]\n", "invalid type: map, expected u64", kRate,
                "[channels.a.sample_rate]"},
        BadCase{"rate_date", "[channels.a]\nsample_rate = 1979-05-27\n", "invalid type: map, expected u64", kRate,
                "1979-05-27"},
        BadCase{"count_bool", "[channels.a]\nsample_rate = 1\nsample_count = true\n",
                "invalid type: boolean `true`, expected usize", kCount, "true"},
        BadCase{"iir_integer", "[channels.a]\nsample_rate = 1\nenable_iir = 1\n",
                "invalid type: integer `1`, expected a boolean", kIir, "1"},
        BadCase{"iir_string", "[channels.a]\nsample_rate = 1\nenable_iir = \"true\"\n",
                "invalid type: string \"true\", expected a boolean", kIir, "\"true\""},
        BadCase{"iir_array", "[channels.a]\nsample_rate = 1\nenable_iir = []\n",
                "invalid type: sequence, expected a boolean", kIir, "[]"},
        BadCase{"iir_table", "[channels.a]\nsample_rate = 1\nenable_iir = {}\n", "invalid type: map, expected a boolean",
                kIir, "{}"},
        // A field's failure is reported before a missing sample_rate.
        BadCase{"field_before_missing", "[channels.a]\nenable_iir = 3\n",
                "invalid type: integer `3`, expected a boolean", kIir, "3"}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ArrayForm, ConfigRejects,
    ::testing::Values(
        BadCase{"empty", "[channels]\na = []\n", "invalid length 0, expected struct ChannelConfig with 3 elements", kA,
                "[]"},
        BadCase{"one_element", "[channels]\na = [1]\n",
                "invalid length 1, expected struct ChannelConfig with 3 elements", kA, "[1]"},
        BadCase{"one_negative_element", "[channels]\na = [-1]\n", "invalid value: integer `-1`, expected u64", kA,
                "-1"},
        BadCase{"count_float", "[channels]\na = [1, 2.0]\n", "invalid type: floating point `2.0`, expected usize", kA,
                "2.0"},
        BadCase{"count_array", "[channels]\na = [1, [2]]\n", "invalid type: sequence, expected usize", kA, "[2]"},
        BadCase{"iir_integer", "[channels]\na = [1, 2, 1]\n", "invalid type: integer `1`, expected a boolean", kA,
                "1"},
        BadCase{"rate_table", "[channels]\na = [{sample_rate = 1}, 2]\n", "invalid type: map, expected u64", kA,
                "{sample_rate = 1}"}),
    [](const auto& info) { return std::string(info.param.name); });

// The first failure in document order wins, not the first in key order.
INSTANTIATE_TEST_SUITE_P(
    DocumentOrder, ConfigRejects,
    ::testing::Values(
        BadCase{"channels", "[channels.z]\nsample_rate = -1\n[channels.a]\nsample_rate = -2\n",
                "invalid value: integer `-1`, expected u64", {"channels", "z", "sample_rate"}, "-1"},
        BadCase{"fields", "[channels.a]\nsample_rate = -1\nenable_iir = 2\n",
                "invalid value: integer `-1`, expected u64", kRate, "-1"},
        BadCase{"fields_reversed", "[channels.a]\nenable_iir = 2\nsample_rate = -1\n",
                "invalid type: integer `2`, expected a boolean", kIir, "2"},
        // A channel's position is where its key first appears, even when its own
        // header comes later.
        BadCase{"key_first_seen",
                "[channels.b.sub]\nx = 1\n[channels.a]\nsample_rate = -2\n[channels.b]\nsample_rate = -1\n",
                "invalid value: integer `-1`, expected u64", {"channels", "b", "sample_rate"}, "-1"},
        BadCase{"dotted", "[channels]\nb.x = 1\na.sample_rate = -2\nb.sample_rate = -1\n",
                "invalid value: integer `-1`, expected u64", {"channels", "b", "sample_rate"}, "-1"}),
    [](const auto& info) { return std::string(info.param.name); });

struct FloatCase {
    std::string literal;
    std::string shown;
};

TEST(ConfigFloatDescription, ShortestPositional) {
    const FloatCase cases[] = {
        {"48000.0", "48000.0"}, {"0.1", "0.1"},           {"-0.0", "-0.0"},      {"1e-7", "0.0000001"},
        {"2.5e3", "2500.0"},    {"inf", "inf"},           {"-inf", "-inf"},      {"nan", "NaN"},
        {"-nan", "NaN"},        {"1.7976931348623157e308", "17976931348623157" + std::string(292, '0') + ".0"},
    };
    for (const FloatCase& c : cases) {
        const std::string doc = "[channels.a]\nsample_rate = " + c.literal + "\n";
        auto config = parse_config(doc);
        ASSERT_FALSE(config.has_value()) << c.literal;
        EXPECT_EQ(config.error().message, "invalid type: floating point `" + c.shown + "`, expected u64")
            << c.literal;
    }
}

TEST(ConfigFloatDescription, SmallestSubnormal) {
    auto config = parse_config("channels = 5e-324");
    ASSERT_FALSE(config.has_value());
    EXPECT_EQ(config.error().message,
              "invalid type: floating point `0." + std::string(323, '0') + "5`, expected a map");
}

// TOML violations are the parser's: a message, no key path, and a position.
TEST(ConfigSyntax, ParserErrorsCarryPosition) {
    struct Case {
        const char* doc;
        const char* line;
    };
    const Case cases[] = {
        {"[channels.a]\nsample_rate = 1\nsample_rate = 2\n", "line 3"},  // repeated key
        {"[channels.a]\nsample_rate = 9223372036854775808\n", "line 2"},  // beyond signed 64-bit
        {"[channels]\n[channels]\n", "line 2"},                           // table defined twice
        {"channels = { a = [1, 2] }\nchannels.b = [1, 2]\n", "line 2"},   // inline table extended
        {"[channels.a]\nsample_rate = \n", "line 2"},                     // missing value
        {"[channels.a]\nsample_rate = \"unterminated\n", "line 2"},
        {"[channels.a]\nsample_rate = 1 2\n", "line 2"},
    };
    for (const Case& c : cases) {
        auto config = parse_config(c.doc);
        ASSERT_FALSE(config.has_value()) << c.doc;
        const TomlError& e = config.error();
        EXPECT_FALSE(e.message.empty()) << c.doc;
        EXPECT_TRUE(e.key_path.empty()) << c.doc;
        ASSERT_TRUE(e.span.has_value()) << c.doc;
        EXPECT_LE(e.span->second, std::string_view(c.doc).size());
        EXPECT_NE(e.display().find(std::string(" at ") + c.line + " column "), std::string::npos) << e.display();
    }
}

TEST(TomlErrorForms, FieldError) {
    auto config = parse_config("[channels.a]\nsample_rate = -5\n");
    ASSERT_FALSE(config.has_value());
    EXPECT_EQ(config.error().display(),
              "invalid value: integer `-5`, expected u64 for key channels.a.sample_rate at line 2 column 15");
    EXPECT_EQ(config.error().debug(),
              "TomlError { message: \"invalid value: integer `-5`, expected u64\", key: channels.a.sample_rate, "
              "line: 2, column: 15, text: \"sample_rate = -5\" }");
}

TEST(TomlErrorForms, RootErrorHasNoPosition) {
    auto config = parse_config("title = 'x'\n");
    ASSERT_FALSE(config.has_value());
    EXPECT_EQ(config.error().display(), "missing field `channels`");
    EXPECT_EQ(config.error().debug(), "TomlError { message: \"missing field `channels`\" }");
}

// Columns count characters, not bytes; a byte order mark is not a column; keys
// that are not bare are quoted in the path.
TEST(TomlErrorForms, ColumnsCountCharacters) {
    for (std::string bom : {"", "\xEF\xBB\xBF"}) {
        const std::string doc = bom + "# \"é\"\r\nchannels = { \"é\\n\" = \"ü\" }\r\n";
        auto config = parse_config(doc);
        ASSERT_FALSE(config.has_value());
        const TomlError& e = config.error();
        ASSERT_TRUE(e.span.has_value());
        EXPECT_EQ(doc.substr(e.span->first, e.span->second - e.span->first), "\"ü\"");
        EXPECT_EQ(e.debug(),
                  "TomlError { message: \"invalid type: string \\\"ü\\\", expected struct ChannelConfig\", "
                  "key: channels.\"é\\n\", line: 2, column: 22, text: \"channels = { \\\"é\\\\n\\\" = \\\"ü\\\" }\" }");
    }
}

TEST(TomlErrorForms, LongLineIsCutAroundThePosition) {
    const std::string doc = "channels = { a = { pad = \"" + std::string(5000, 'x') + "\", sample_rate = -1 } }";
    auto config = parse_config(doc);
    ASSERT_FALSE(config.has_value());
    const std::string debug = config.error().debug();
    EXPECT_LT(debug.size(), 400u);
    EXPECT_NE(debug.find("text: \"...xxx"), std::string::npos) << debug;
    EXPECT_NE(debug.find("sample_rate = -1 } }\""), std::string::npos) << debug;
    EXPECT_NE(debug.find("column: 5044"), std::string::npos) << debug;
}

class LoadConfig : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("velk_config_test_" + std::to_string(::getpid()) + "_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::filesystem::path write(const std::string& name, const std::string& bytes) {
        const auto path = dir_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    std::filesystem::path dir_;
};

TEST_F(LoadConfig, ReadsAndShapes) {
    auto config = load_config(write("c.toml", "[channels.q]\nsample_rate = 10\n"));
    ASSERT_TRUE(config.has_value()) << config.error().debug();
    ASSERT_EQ(config->channels.size(), 1u);
    EXPECT_EQ(config->channels.at("q").sample_rate, 10u);
}

TEST_F(LoadConfig, IoErrors) {
    struct Case {
        std::filesystem::path path;
        std::string display;
        std::string kind;
    };
    const Case cases[] = {
        {dir_ / "missing.toml", "No such file or directory (os error 2)", "NotFound"},
        {dir_, "Is a directory (os error 21)", "IsADirectory"},
        {write("bad.toml", "channels = \"\xC3\x28\"\n"), "stream did not contain valid UTF-8", "InvalidData"},
    };
    for (const Case& c : cases) {
        auto config = load_config(c.path);
        ASSERT_FALSE(config.has_value()) << c.path;
        ASSERT_EQ(config.error().kind(), RunError::Kind::Io) << c.path;
        EXPECT_EQ(config.error().io()->display(), c.display);
        EXPECT_EQ(config.error().io()->kind, c.kind);
    }
}

TEST_F(LoadConfig, ShapeErrorsAreToml) {
    auto config = load_config(write("c.toml", "[channels]\na = [1]\n"));
    ASSERT_FALSE(config.has_value());
    ASSERT_EQ(config.error().kind(), RunError::Kind::Toml);
    EXPECT_EQ(config.error().toml()->key_path, kA);
    // Located in the file's text, which the error does not keep.
    ASSERT_TRUE(config.error().toml()->position.has_value());
    EXPECT_EQ(config.error().toml()->position->line, 2u);
    EXPECT_EQ(config.error().toml()->position->text, "a = [1]");
}

}  // namespace
}  // namespace velk
