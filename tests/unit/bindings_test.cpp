// Variable bindings: what each JSON member kind binds, what is skipped, and the
// read and parse failures, which leave the table unchanged.

#include "bindings.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "exhausted_heap.hpp"
#include "json.hpp"

namespace velk {
namespace {

std::string show(const std::optional<VarValue>& v) {
    if (!v) return "unset";
    std::ostringstream os;
    switch (v->index()) {
        case 0: os << "U32 " << std::get<0>(*v); break;
        case 1: os << "I32 " << std::get<1>(*v); break;
        case 2: os << "F32 " << std::get<2>(*v); break;
        case 3: os.precision(17); os << "F64 " << std::get<3>(*v); break;
        case 4: os << "String " << std::get<4>(*v).text; break;
        default: os << "Json " << std::get<5>(*v)->dump(); break;
    }
    return os.str();
}

// Equal kinds and values; for floats also the same sign of zero.
bool same(const std::optional<VarValue>& a, const std::optional<VarValue>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    if (a->index() != b->index()) return false;
    if (a->index() == 3) {
        const double x = std::get<3>(*a), y = std::get<3>(*b);
        return x == y && std::signbit(x) == std::signbit(y);
    }
    return *a == *b;
}

VariableTable table_of(std::vector<std::pair<std::string, std::optional<VarValue>>> vars) {
    VariableTable table;
    for (auto& [name, value] : vars) {
        table.variable_index[name] = table.variables.size();
        table.variables.push_back(VarDef{name, std::move(value)});
    }
    return table;
}

struct MemberCase {
    const char* name;
    const char* json_value;
    std::optional<VarValue> before;
    std::optional<VarValue> after;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const MemberCase& c, std::ostream* os) { *os << c.name; }

class BindMember : public ::testing::TestWithParam<MemberCase> {};

TEST_P(BindMember, Binds) {
    const MemberCase& c = GetParam();
    VariableTable table = table_of({{"v", c.before}, {"other", VarValue(std::int32_t{7})}});
    const std::string doc = std::string("{\"v\": ") + c.json_value + "}";
    auto result = bind_variables_text(doc, table);
    ASSERT_TRUE(result.has_value()) << result.error().debug();
    EXPECT_TRUE(same(table.variables[0].value, c.after))
        << c.json_value << ": got " << show(table.variables[0].value) << ", want " << show(c.after);
    EXPECT_TRUE(same(table.variables[1].value, VarValue(std::int32_t{7})));
}

const VarValue kOld = VarString{"old"};

INSTANTIATE_TEST_SUITE_P(
    Numbers, BindMember,
    ::testing::Values(
        MemberCase{"u32_max_wraps", "4294967295", kOld, VarValue(std::int32_t{-1})},
        MemberCase{"two_pow_32_wraps", "4294967296", kOld, VarValue(std::int32_t{0})},
        MemberCase{"two_pow_32_plus_5", "4294967301", kOld, VarValue(std::int32_t{5})},
        MemberCase{"i32_max_plus_1", "2147483648", kOld, VarValue(std::int32_t{INT32_MIN})},
        MemberCase{"minus_one", "-1", kOld, VarValue(std::int32_t{-1})},
        MemberCase{"i64_max", "9223372036854775807", kOld, VarValue(std::int32_t{-1})},
        MemberCase{"i64_min", "-9223372036854775808", kOld, VarValue(std::int32_t{0})},
        MemberCase{"i64_min_plus_5", "-9223372036854775803", kOld, VarValue(std::int32_t{5})},
        MemberCase{"i64_max_plus_1", "9223372036854775808", kOld, VarValue(9223372036854775808.0)},
        MemberCase{"u64_max", "18446744073709551615", kOld, VarValue(18446744073709551616.0)},
        MemberCase{"beyond_u64", "18446744073709551616", kOld, VarValue(18446744073709551616.0)},
        MemberCase{"below_i64", "-9223372036854775809", kOld, VarValue(-9223372036854775808.0)},
        MemberCase{"one_point_zero", "1.0", kOld, VarValue(1.0)},
        MemberCase{"exponent", "1e3", kOld, VarValue(1000.0)},
        MemberCase{"minus_zero", "-0", kOld, VarValue(-0.0)},
        MemberCase{"zero", "0", kOld, VarValue(std::int32_t{0})},
        MemberCase{"number_replaces_string", "2.5", VarValue(VarString{"s"}), VarValue(2.5)},
        MemberCase{"unset_gets_value", "3", std::nullopt, VarValue(std::int32_t{3})}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Others, BindMember,
    ::testing::Values(
        MemberCase{"string_replaces_number", "\"abc\"", VarValue(1.5), VarValue(VarString{"abc"})},
        MemberCase{"string_escapes", "\"\\u00e9\\n\\\"\"", VarValue(std::uint32_t{1}), VarValue(VarString{"é\n\""})},
        MemberCase{"string_replaces_json", "\"x\"", VarValue(JsonTree(Json::array({1, 2}))), VarValue(VarString{"x"})},
        MemberCase{"null_keeps", "null", VarValue(1.5), VarValue(1.5)},
        MemberCase{"true_keeps", "true", VarValue(std::int32_t{4}), VarValue(std::int32_t{4})},
        MemberCase{"false_keeps_unset", "false", std::nullopt, std::nullopt},
        MemberCase{"array_keeps", "[1, 2]", kOld, kOld},
        MemberCase{"object_keeps", "{\"v\": 1}", kOld, kOld}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BindVariables, DocumentsThatAreNotObjectsBindNothing) {
    for (const char* doc : {"{}", "[]", "[{\"v\": 1}]", "1", "\"v\"", "true", "false", "null", " \r\n\t{} \n"}) {
        VariableTable table = table_of({{"v", VarValue(2.0)}});
        auto result = bind_variables_text(doc, table);
        ASSERT_TRUE(result.has_value()) << doc << ": " << result.error().debug();
        EXPECT_TRUE(same(table.variables[0].value, VarValue(2.0))) << doc;
    }
}

TEST(BindVariables, NamesMatchExactlyAndTheLastEntryOfANameBinds) {
    VariableTable table = table_of({{"amp", VarValue(1.0)},
                                    {"Amp", VarValue(2.0)},
                                    {"dup", VarValue(3.0)},
                                    {"dup", VarValue(4.0)},
                                    {"twice", VarValue(5.0)}});
    auto result = bind_variables_text(
        R"({"AMP": 10, "amp ": 11, "Amp": 12, "dup": 13, "unknown": 14, "twice": 1, "twice": 15})", table);
    ASSERT_TRUE(result.has_value()) << result.error().debug();
    const std::optional<VarValue> want[] = {VarValue(1.0), VarValue(std::int32_t{12}), VarValue(3.0),
                                            VarValue(std::int32_t{13}), VarValue(std::int32_t{15})};
    for (std::size_t i = 0; i < std::size(want); ++i) {
        EXPECT_TRUE(same(table.variables[i].value, want[i]))
            << table.variables[i].name << " #" << i << ": " << show(table.variables[i].value);
    }
}

struct FailCase {
    const char* name;
    std::string text;
    std::string message_prefix;  // the whole message when `exact`
    bool exact;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class BindFails : public ::testing::TestWithParam<FailCase> {};

TEST_P(BindFails, WithMessageAndNoChange) {
    const FailCase& c = GetParam();
    VariableTable table = table_of({{"v", VarValue(2.0)}});
    auto result = bind_variables_text(c.text, table);
    ASSERT_FALSE(result.has_value());
    ASSERT_EQ(result.error().kind(), RunError::Kind::Message);
    const std::string& message = *result.error().text();
    if (c.exact) {
        EXPECT_EQ(message, c.message_prefix);
    } else {
        EXPECT_EQ(message.substr(0, c.message_prefix.size()), c.message_prefix) << message;
    }
    EXPECT_TRUE(same(table.variables[0].value, VarValue(2.0))) << show(table.variables[0].value);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BindFails,
    ::testing::Values(
        FailCase{"empty", "", "Failed to parse vars JSON: EOF while parsing a value at line 1 column 0", true},
        FailCase{"trailing", "{\"v\": 1} x", "Failed to parse vars JSON: trailing characters at line 1 column 10",
                 true},
        FailCase{"unterminated", "{\"v\": 1", "Failed to parse vars JSON: ", false},
        FailCase{"too_deep", std::string(128, '[') + std::string(128, ']'),
                 "Failed to parse vars JSON: recursion limit exceeded", false},
        FailCase{"out_of_range", "{\"v\": 1e400}", "Failed to parse vars JSON: number out of range", false},
        FailCase{"invalid_utf8", "{\"v\": \"\xFF\"}", "Failed to read vars file: stream did not contain valid UTF-8",
                 true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BindVariables, NestingOf127LevelsParses) {
    VariableTable table = table_of({{"v", VarValue(2.0)}});
    const std::string doc = "{\"v\": 1, \"w\": " + std::string(126, '[') + std::string(126, ']') + "}";
    auto result = bind_variables_text(doc, table);
    ASSERT_TRUE(result.has_value()) << result.error().debug();
    EXPECT_TRUE(same(table.variables[0].value, VarValue(std::int32_t{1})));
}

// Memory running out at any one allocation of a binding: either everything is
// bound or the run gets "out of memory" with every variable as it was; the
// parsed tree and a replaced JSON value are dropped without ending the process.
TEST(BindVariables, RunningOutOfMemoryAnywhereLeavesTheTableOrBindsAll) {
    const std::string doc =
        "{\"v\": \"a text longer than the small-string buffer\", \"w\": 3,"
        " \"x\": [[1, 2, {\"y\": [3, 4]}], {\"z\": {}}], \"v\": \"replaced text, also long enough\"}";
    const Json old_tree = Json::array({Json::object({{"k", Json::array({1, 2, 3})}}), "a long string value...."});
    auto fresh = [&] { return table_of({{"v", VarValue(JsonTree(old_tree))}, {"w", VarValue(2.0)}}); };

    std::size_t needed = 0;
    {
        VariableTable table = fresh();
        {
            const exhausted_heap::Armed heap(SIZE_MAX);
            ASSERT_TRUE(bind_variables_text(doc, table).has_value());
            needed = exhausted_heap::allocations;
        }
        EXPECT_TRUE(same(table.variables[0].value, VarValue(VarString{"replaced text, also long enough"})));
    }
    ASSERT_GT(needed, 10u);
    for (std::size_t n = 0; n < needed; ++n) {
        VariableTable table = fresh();
        Expected<void, RunError> result;
        {
            const exhausted_heap::Armed heap(n, /*once=*/true);
            result = bind_variables_text(doc, table);
        }
        if (result) {
            EXPECT_TRUE(same(table.variables[1].value, VarValue(std::int32_t{3}))) << n;
        } else {
            EXPECT_EQ(*result.error().text(), "Failed to parse vars JSON: out of memory") << n;
            EXPECT_TRUE(same(table.variables[0].value, VarValue(JsonTree(old_tree)))) << n;
            EXPECT_TRUE(same(table.variables[1].value, VarValue(2.0))) << n;
        }
    }
}

class BindFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("velk_bindings_test_" + std::to_string(::getpid()) + "_" +
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

TEST_F(BindFile, ReadsTheFile) {
    VariableTable table = table_of({{"v", VarValue(2.0)}});
    auto result = bind_variables(write("vars.json", "{\"v\": \"s\"}"), table);
    ASSERT_TRUE(result.has_value()) << result.error().debug();
    EXPECT_TRUE(same(table.variables[0].value, VarValue(VarString{"s"})));
}

TEST_F(BindFile, ReadFailures) {
    struct Case {
        std::filesystem::path path;
        std::string message;
    };
    const Case cases[] = {
        {dir_ / "missing.json",
         "Failed to read vars file: " + (dir_ / "missing.json").string() +
             ": No such file or directory (os error 2)"},
        {dir_, "Failed to read vars file: " + dir_.string() + ": Is a directory (os error 21)"},
        {write("bad.json", "{\"v\": \"\xC3\"}"), "Failed to read vars file: stream did not contain valid UTF-8"},
    };
    for (const Case& c : cases) {
        VariableTable table = table_of({{"v", VarValue(2.0)}});
        auto result = bind_variables(c.path, table);
        ASSERT_FALSE(result.has_value()) << c.path;
        ASSERT_EQ(result.error().kind(), RunError::Kind::Message);
        EXPECT_EQ(*result.error().text(), c.message);
        EXPECT_TRUE(same(table.variables[0].value, VarValue(2.0)));
    }
}

}  // namespace
}  // namespace velk
