// Capture descriptions: names, members, JSON types and key order.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "instruction.hpp"

namespace velk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<std::string> keys(const Json& obj) {
    std::vector<std::string> out;
    for (auto it = obj.begin(); it != obj.end(); ++it) out.push_back(it.key());
    return out;
}

TEST(CaptureToJson, TraceHasItsMembersInKeyOrder) {
    auto [name, value] = capture_to_json(CaptureTrace{std::string("c0"), 3u, 2e-6});
    EXPECT_EQ(name, "capture_trace");
    EXPECT_EQ(keys(value), (std::vector<std::string>{"creg", "duration", "idx"}));
    EXPECT_EQ(value.dump(), R"({"creg":"c0","duration":2e-06,"idx":3})");
    EXPECT_TRUE(value["duration"].is_number_float());
    EXPECT_TRUE(value["idx"].is_number_integer());
}

TEST(CaptureToJson, CaptureAndCaptureIqMembersIterateSorted) {
    auto [name, value] = capture_to_json(
        Capture{std::string("q1"), std::string("c2"), 5u, 1e-6, 5e9, 0.5, 0.25});
    EXPECT_EQ(name, "capture");
    EXPECT_EQ(keys(value), (std::vector<std::string>{"creg", "duration", "frequency", "idx", "phi",
                                                     "qubit", "threshold"}));
    EXPECT_EQ(value["qubit"], "q1");
    EXPECT_EQ(value["creg"], "c2");
    EXPECT_EQ(value["idx"].get<std::int64_t>(), 5);
    EXPECT_EQ(value["frequency"].get<double>(), 5e9);
    EXPECT_EQ(value["phi"].get<double>(), 0.5);
    EXPECT_EQ(value["threshold"].get<double>(), 0.25);

    auto [iq_name, iq] = capture_to_json(CaptureIq{std::string("q"), std::string("c"), 1u, 2.0, 3.0});
    EXPECT_EQ(iq_name, "capture_iq");
    EXPECT_EQ(keys(iq), (std::vector<std::string>{"creg", "duration", "frequency", "idx", "qubit"}));
}

TEST(CaptureToJson, IdxIsSigned) {
    auto [name, value] = capture_to_json(CaptureTrace{std::string("c"), 4294967295u, 1.0});
    ASSERT_TRUE(value["idx"].is_number_integer());
    EXPECT_EQ(value["idx"].get<std::int64_t>(), -1);
    EXPECT_EQ(value.dump(), R"({"creg":"c","duration":1.0,"idx":-1})");
}

struct NumberCase {
    const char* name;
    double value;
    const char* dump;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }

class CaptureNumber : public ::testing::TestWithParam<NumberCase> {};

TEST_P(CaptureNumber, FiniteIsAFloatOtherwiseNull) {
    const NumberCase& c = GetParam();
    const Json j = json_float_or_null(c.value);
    EXPECT_EQ(j.dump(), c.dump);
    if (std::isfinite(c.value)) EXPECT_TRUE(j.is_number_float());
    else EXPECT_TRUE(j.is_null());
}

INSTANTIATE_TEST_SUITE_P(
    Values, CaptureNumber,
    ::testing::Values(NumberCase{"zero", 0.0, "0.0"}, NumberCase{"negative_zero", -0.0, "-0.0"},
                      NumberCase{"two_micro", 2e-6, "2e-06"}, NumberCase{"nan", kNaN, "null"},
                      NumberCase{"infinity", kInf, "null"},
                      NumberCase{"negative_infinity", -kInf, "null"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CaptureToJson, FrequencyZeroIsAFloatMember) {
    auto [name, value] = capture_to_json(CaptureIq{std::string(), std::string(), 0u, 0.0, 0.0});
    EXPECT_TRUE(value["frequency"].is_number_float());
    EXPECT_FALSE(value["frequency"].is_number_integer());
}

TEST(CaptureToJson, FieldsStillNamingVariablesGiveEmptyZeroNull) {
    const VarRefParam ref{"v", 0};
    auto [name, value] = capture_to_json(Capture{ref, ref, ref, ref, ref, ref, ref});
    EXPECT_EQ(value.dump(),
              R"({"creg":"","duration":null,"frequency":null,"idx":0,"phi":null,"qubit":"","threshold":null})");
}

// Only the captures have a description: for any other record the call does not
// compile.
template <class Record>
concept Describable = requires(const Record& r) { capture_to_json(r); };

TEST(CaptureToJson, OnlyCapturesAreDescribed) {
    static_assert(Describable<Capture> && Describable<CaptureIq> && Describable<CaptureTrace>);
    static_assert(!Describable<ShapedPulse> && !Describable<Delay> && !Describable<SetFrequency> &&
                  !Describable<ShiftPhase> && !Describable<ResetPhase> && !Describable<Barrier> &&
                  !Describable<Opcode10> && !Describable<RealWaveform> &&
                  !Describable<ComplexWaveform> && !Describable<Instruction>);
}

// Fields naming variables take the variables' values.
TEST(CaptureToJson, FieldsNamingVariablesAreResolved) {
    VariableTable table;
    table.variables.push_back(VarDef{"q", VarValue(VarString{"q3"})});
    table.variables.push_back(VarDef{"i", VarValue(std::int32_t{-4})});
    table.variables.push_back(VarDef{"d", VarValue(2.5)});
    auto [name, value] = capture_to_json(
        CaptureTrace{VarRefParam{"q", 0}, VarRefParam{"i", 1}, VarRefParam{"d", 2}}, table);
    EXPECT_EQ(name, "capture_trace");
    EXPECT_EQ(value.dump(), R"({"creg":"q3","duration":2.5,"idx":-4})");
}

}  // namespace
}  // namespace velk
