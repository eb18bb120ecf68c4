// Channel runs: field resolution, the block interpreter, the scheduler and its
// deadlock stop, capture ordering and the run as a whole.
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vm.hpp"
#include "reference_render.hpp"

namespace velk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kI32Min = std::numeric_limits<std::int32_t>::min();

// Variables by index: 0 U32 4294967295, 1 I32 -7, 2 F32 0.1, 3 F64 1.25,
// 4 String "q7", 5 JSON 3, 6 JSON "q7", 7 unset.
VariableTable sample_variables() {
    VariableTable t;
    auto add = [&](std::optional<VarValue> v) {
        t.variables.push_back(VarDef{"v" + std::to_string(t.variables.size()), std::move(v)});
    };
    add(VarValue(std::uint32_t{4294967295u}));
    add(VarValue(std::int32_t{-7}));
    add(VarValue(0.1f));
    add(VarValue(1.25));
    add(VarValue(VarString{"q7"}));
    add(VarValue(JsonTree(Json(3))));
    add(VarValue(JsonTree(Json("q7"))));
    add(std::nullopt);
    return t;
}

// Waveform samples of the given values: a DATA array of f64 or complex128.
template <class T>
WaveformSamples<T> samples(std::initializer_list<T> values) {
    return WaveformSamples<T>(DataArray(std::vector<T>(values)));
}

VarRefParam var(std::uint32_t index) { return VarRefParam{"v" + std::to_string(index), index}; }

// A table holding one variable.
VariableTable one_variable(VarValue v) {
    VariableTable t;
    t.variables.push_back(VarDef{"x", std::move(v)});
    return t;
}

// ---------------------------------------------------------------------------
// Resolvers

struct F64Case {
    ParamValue<double> param;
    double want;  // NaN means NaN
};

TEST(ResolveF64, ByValueKind) {
    const VariableTable vars = sample_variables();
    const F64Case cases[] = {
        {2.5, 2.5},
        {var(0), 4294967295.0},
        {var(1), -7.0},
        {var(2), static_cast<double>(0.1f)},
        {var(3), 1.25},
        {var(4), kNaN},
        {var(5), kNaN},  // a JSON number is not used
        {var(7), kNaN},
        {var(8), kNaN},  // beyond the table
        {var(4294967295u), kNaN},
    };
    for (const F64Case& c : cases) {
        const double got = resolve_f64(c.param, vars);
        if (std::isnan(c.want)) {
            EXPECT_TRUE(std::isnan(got)) << c.param.index();
        } else {
            EXPECT_EQ(got, c.want);
        }
    }
}

struct I32Case {
    const char* what;
    VarValue value;
    std::int32_t want;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const I32Case& c, std::ostream* os) { *os << c.what; }

class ResolveI32 : public ::testing::TestWithParam<I32Case> {};

TEST_P(ResolveI32, ConvertsTheVariable) {
    const VariableTable vars = one_variable(GetParam().value);
    EXPECT_EQ(resolve_i32(var(0), vars), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ResolveI32,
    ::testing::Values(
        I32Case{"u32_max", std::uint32_t{4294967295u}, -1},
        I32Case{"u32_small", std::uint32_t{12}, 12}, I32Case{"i32", std::int32_t{-7}, -7},
        I32Case{"f32_nan", std::numeric_limits<float>::quiet_NaN(), 0},
        I32Case{"f32_two_pow_31", 2147483648.0f, kI32Max},
        I32Case{"f32_largest_below", 2147483520.0f, 2147483520},
        I32Case{"f32_min", -2147483648.0f, kI32Min}, I32Case{"f32_below_min", -3e9f, kI32Min},
        I32Case{"f32_inf", std::numeric_limits<float>::infinity(), kI32Max},
        I32Case{"f32_trunc_pos", 2.9f, 2}, I32Case{"f32_trunc_neg", -2.9f, -2},
        I32Case{"f64_big", 3e9, kI32Max}, I32Case{"f64_small", -3e9, kI32Min},
        I32Case{"f64_trunc_pos", 2.9, 2}, I32Case{"f64_trunc_neg", -2.9, -2},
        I32Case{"f64_nan", kNaN, 0}, I32Case{"f64_neg_inf", -kInf, kI32Min},
        I32Case{"f64_max_exact", 2147483647.0, kI32Max},
        I32Case{"string", VarString{"5"}, 0}, I32Case{"json", JsonTree(Json(5)), 0}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(ResolveI32, ConstantsAndMissingVariables) {
    const VariableTable vars = sample_variables();
    EXPECT_EQ(resolve_i32(std::uint32_t{4294967295u}, vars), -1);
    EXPECT_EQ(resolve_i32(std::uint32_t{3}, vars), 3);
    EXPECT_EQ(resolve_i32(var(7), vars), 0);   // unset
    EXPECT_EQ(resolve_i32(var(99), vars), 0);  // beyond the table
}

TEST(ResolveString, OnlyStringVariablesGiveText) {
    const VariableTable vars = sample_variables();
    struct Case {
        ParamValue<std::string> param;
        std::string want;
    };
    const Case cases[] = {{std::string("c0"), "c0"}, {var(4), "q7"}, {var(6), ""},
                          {var(0), ""},              {var(7), ""},   {var(50), ""}};
    for (const Case& c : cases) EXPECT_EQ(resolve_string(c.param, vars), c.want);
}

// ---------------------------------------------------------------------------
// Block interpreter

// A block thread together with the instructions it runs and the variables it
// runs with.
struct OwnedThread {
    std::vector<Instruction> code;
    BlockThread thread;
    const VariableTable& vars;
    OwnedThread(std::vector<Instruction> instructions, const VariableTable& variables)
        : code(std::move(instructions)), vars(variables) {
        thread.instructions = code;
    }
    OwnedThread(const OwnedThread&) = delete;
    OwnedThread& operator=(const OwnedThread&) = delete;
};

void run(OwnedThread& owned, double rate = 1e9) {
    auto r = run_block_thread(owned.thread, owned.vars, rate);
    ASSERT_TRUE(r.has_value()) << *r.error().text();
}

Capture capture(std::string creg) {
    return Capture{std::string("q0"), std::move(creg), 0u, 1e-6, 0.0, 0.0, 0.0};
}

TEST(RunBlockThread, AtTheEndReturnsAtOnce) {
    const VariableTable vars;
    OwnedThread owned({Delay{1.0}}, vars);
    BlockThread& t = owned.thread;
    t.pc = 1;
    t.waiting = true;
    run(owned);
    EXPECT_FALSE(t.waiting);
    EXPECT_EQ(t.pc, 1u);
    EXPECT_EQ(t.time, 0.0);
}

TEST(RunBlockThread, BarrierWaitsWithoutAdvancing) {
    const VariableTable vars;
    OwnedThread owned({Barrier{9}, Delay{1.0}}, vars);
    BlockThread& t = owned.thread;
    for (int call = 0; call < 2; ++call) {  // unreleased: waits again, nothing else
        run(owned);
        EXPECT_TRUE(t.waiting);
        EXPECT_EQ(t.barrier_id, 9u);
        EXPECT_EQ(t.pc, 0u);
        EXPECT_EQ(t.time, 0.0);
    }
}

TEST(RunBlockThread, CapturesTakeTheTimeAndDoNotAdvanceIt) {
    const VariableTable vars;
    OwnedThread owned({Delay{1e-6}, capture("a"), capture("b")}, vars);
    BlockThread& t = owned.thread;
    run(owned);
    ASSERT_EQ(t.captures.size(), 2u);
    EXPECT_EQ(t.captures[0].time, 1e-6);
    EXPECT_EQ(t.captures[1].time, 1e-6);
    EXPECT_EQ(t.captures[0].value->at("creg"), "a");
    EXPECT_EQ(t.captures[1].value->at("creg"), "b");
    EXPECT_EQ(t.captures[0].name, "capture");
    EXPECT_EQ(t.time, 1e-6);
    EXPECT_EQ(t.pc, 3u);
    EXPECT_FALSE(t.waiting);
    EXPECT_TRUE(t.pulses.empty());
}

TEST(RunBlockThread, PhaseFrequencyAndPulseState) {
    const VariableTable vars;
    OwnedThread owned({SetFrequency{5e6}, ShiftPhase{0.5}, ShiftPhase{0.25}, ResetPhase{},
                               ShiftPhase{0.1}, Delay{2e-9},
                               ShapedPulse{0.75, 1.0, 4e-9, 3, 0.0, kNaN, kNaN}},
                              vars);
    BlockThread& t = owned.thread;
    run(owned);
    ASSERT_EQ(t.pulses.size(), 1u);
    const Pulse& p = t.pulses[0];
    EXPECT_EQ(p.phase, 0.1);
    EXPECT_EQ(p.frequency, 5e6);
    EXPECT_EQ(p.t0, 2e-9);
    EXPECT_EQ(p.delta, 0.75);
    EXPECT_EQ(envelope_length(p.envelope), 4u);
    EXPECT_EQ(t.time, 2e-9);  // a pulse does not advance the time
}

TEST(RunBlockThread, UnresolvableDelayMakesTheTimeNan) {
    const VariableTable vars = sample_variables();
    for (std::uint32_t index : {4u, 5u, 6u, 7u, 30u}) {
        OwnedThread owned({Delay{var(index)}, capture("c")}, vars);
        BlockThread& t = owned.thread;
        run(owned);
        EXPECT_TRUE(std::isnan(t.time)) << index;
        ASSERT_EQ(t.captures.size(), 1u);
        EXPECT_TRUE(std::isnan(t.captures[0].time));
    }
}

TEST(RunBlockThread, OneU32VariableAsFrequencyAndIdx) {
    const VariableTable vars = sample_variables();
    OwnedThread owned(
        {SetFrequency{var(0)},
         CaptureIq{var(4), var(6), var(0), var(7), ParamValue<double>(var(3))}},
        vars);
    BlockThread& t = owned.thread;
    run(owned);
    EXPECT_EQ(t.frequency, 4294967295.0);
    ASSERT_EQ(t.captures.size(), 1u);
    EXPECT_EQ(t.captures[0].name, "capture_iq");
    EXPECT_EQ(t.captures[0].value->dump(),
              R"({"creg":"","duration":null,"frequency":1.25,"idx":-1,"qubit":"q7"})");
}

TEST(RunBlockThread, SampledWaveforms) {
    const VariableTable vars;
    OwnedThread owned({RealWaveform{samples({1.0, -2.0}), 0.0}, RealWaveform{{}, 1.0},
                               ComplexWaveform{samples({Complex{1.0, 2.0}}), 0.5},
                               ComplexWaveform{{}, 1.0}, RealWaveform{samples({4.0}), kNaN}},
                              vars);
    BlockThread& t = owned.thread;
    run(owned);
    EXPECT_EQ(t.pc, 5u);
    ASSERT_EQ(t.pulses.size(), 3u);
    EXPECT_EQ(envelope_samples(t.pulses[0].envelope), (std::vector<Complex>{{0.0, 0.0}, {-0.0, 0.0}}));
    EXPECT_EQ(envelope_samples(t.pulses[1].envelope), (std::vector<Complex>{{0.5, 1.0}}));
    EXPECT_TRUE(std::isnan(envelope_samples(t.pulses[2].envelope)[0].re));
    for (const Pulse& p : t.pulses) EXPECT_EQ(p.delta, 0.0);
}

// The bits of an envelope's values, so that a zero's sign and NaN are compared too.
std::vector<std::uint64_t> envelope_bits(const Envelope& envelope) {
    std::vector<std::uint64_t> bits;
    for (const Complex& c : envelope_samples(envelope)) {
        bits.push_back(std::bit_cast<std::uint64_t>(c.re));
        bits.push_back(std::bit_cast<std::uint64_t>(c.im));
    }
    return bits;
}

std::vector<std::uint64_t> bits_of(std::vector<double> values) {
    std::vector<std::uint64_t> bits;
    for (double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
    return bits;
}

// Each waveform plays an array of any DATA kind through its own samples: a real
// one the (widened) real parts, a complex one (widened) pairs, real elements with
// an imaginary part of 0.0 that the amplitude scales like the rest.
TEST(RunBlockThread, WaveformsPlayEveryDataKind) {
    const double f = static_cast<double>(0.1f);
    const struct {
        const char* kind;
        DataArray array;
        std::vector<double> real;     // re, im of each sample at amplitude -2
        std::vector<double> complex;
    } cases[] = {
        {"f32", DataArray(std::vector<float>{0.1f, -3.0f}), {-2 * f, 0.0, 6.0, 0.0},
         {-2 * f, -0.0, 6.0, -0.0}},
        {"f64", DataArray(std::vector<double>{0.1, -3.0}), {-0.2, 0.0, 6.0, 0.0},
         {-0.2, -0.0, 6.0, -0.0}},
        {"complex64", DataArray(std::vector<ComplexF32>{{0.1f, -3.0f}}), {-2 * f, 0.0},
         {-2 * f, 6.0}},
        {"complex128", DataArray(std::vector<Complex>{{0.1, -3.0}}), {-0.2, 0.0}, {-0.2, 6.0}},
    };
    const VariableTable vars;
    for (const auto& c : cases) {
        OwnedThread owned({RealWaveform{WaveformSamples<double>(c.array), -2.0},
                           ComplexWaveform{WaveformSamples<Complex>(c.array), -2.0},
                           ComplexWaveform{WaveformSamples<Complex>(c.array), kInf}},
                          vars);
        run(owned);
        const std::vector<Pulse>& pulses = owned.thread.pulses;
        ASSERT_EQ(pulses.size(), 3u) << c.kind;
        EXPECT_EQ(envelope_bits(pulses[0].envelope), bits_of(c.real)) << c.kind;
        EXPECT_EQ(envelope_bits(pulses[1].envelope), bits_of(c.complex)) << c.kind;
        // 0.0 times infinity: a real element's imaginary part is NaN.
        const std::vector<Complex> infinite = envelope_samples(pulses[2].envelope);
        EXPECT_EQ(std::isnan(infinite[0].im), c.kind[0] == 'f') << c.kind;
    }
}

TEST(RunBlockThread, SkippedPulsesAndOpcode10ChangeOnlyThePc) {
    const VariableTable vars;
    OwnedThread owned({Opcode10{"note", 3.0}, ShapedPulse{0.0, 0.0, 4e-9, 0, 0.0, kNaN, kNaN},
                               ShapedPulse{0.0, 1.0, 0.0, 0, 0.0, kNaN, kNaN}},
                              vars);
    BlockThread& t = owned.thread;
    run(owned);
    EXPECT_EQ(t.pc, 3u);
    EXPECT_TRUE(t.pulses.empty());
    EXPECT_EQ(t.time, 0.0);
    EXPECT_EQ(t.phase, 0.0);
    EXPECT_EQ(t.frequency, 0.0);
}

TEST(RunBlockThread, OversizedEnvelopeIsAnError) {
    const VariableTable vars;
    OwnedThread owned({ShapedPulse{0.0, 1.0, kInf, 0, 0.0, kNaN, kNaN}}, vars);
    BlockThread& t = owned.thread;
    auto r = run_block_thread(t, vars, 1e9);
    ASSERT_FALSE(r.has_value());
    EXPECT_NE(r.error().text()->find(std::to_string(kMaxEnvelopeSamples)), std::string::npos);
}

// ---------------------------------------------------------------------------
// Scheduler

Block block(std::vector<Instruction> instructions, std::string name = "b") {
    return Block{std::move(name), std::move(instructions)};
}

struct Stepper {
    const VariableTable& vars;
    std::vector<Thread> threads;
    Participants participants;

    Stepper(const Module& m, const VariableTable& v)
        : vars(v), threads(build_threads(m)), participants(count_participants(threads)) {}
    Expected<bool, RunError> sweep() { return run_sweep(threads, participants, vars, 1e9); }
    OperandThread& op(std::size_t i) { return std::get<OperandThread>(threads[i]); }
    BlockThread& blk(std::size_t i) { return std::get<BlockThread>(threads[i]); }
};

TEST(Scheduler, ThreadListAndParticipants) {
    Module m;
    m.operand_lists = {{}, {OperandBarrier{4}, OperandConst{1.0}, OperandBarrier{4}}};
    m.blocks = {block({}), block({Barrier{4}, Barrier{5}}, "x")};
    const auto threads = build_threads(m);
    ASSERT_EQ(threads.size(), 3u);  // the empty block gets no thread
    EXPECT_TRUE(std::holds_alternative<OperandThread>(threads[0]));
    EXPECT_TRUE(std::holds_alternative<OperandThread>(threads[1]));
    EXPECT_EQ(std::get<BlockThread>(threads[2]).instructions.data(),
              m.blocks[1].instructions.data());  // block "x"
    const Participants p = count_participants(threads);
    EXPECT_EQ(p.size(), 2u);
    EXPECT_EQ(p.at(4), 3u);
    EXPECT_EQ(p.at(5), 1u);
}

TEST(Scheduler, ReleaseInTheSweepOfArrivalRunNextSweep) {
    Module m;
    m.operand_lists = {{OperandConst{1.5}, OperandBarrier{7}}};
    m.blocks = {block({Delay{3.0}, Barrier{7}, capture("after")})};
    const VariableTable vars;
    Stepper s(m, vars);

    auto first = s.sweep();
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(*first);
    EXPECT_EQ(s.op(0).time, 3.0);
    EXPECT_EQ(s.op(0).position, 2u);  // ended
    EXPECT_FALSE(s.op(0).waiting);
    EXPECT_EQ(s.blk(1).time, 3.0);
    EXPECT_EQ(s.blk(1).pc, 2u);
    EXPECT_FALSE(s.blk(1).waiting);
    EXPECT_TRUE(s.blk(1).captures.empty());  // released threads wait for the next sweep

    auto second = s.sweep();
    ASSERT_TRUE(second.has_value());
    EXPECT_TRUE(*second);
    ASSERT_EQ(s.blk(1).captures.size(), 1u);
    EXPECT_EQ(s.blk(1).captures[0].time, 3.0);

    auto third = s.sweep();
    ASSERT_TRUE(third.has_value());
    EXPECT_FALSE(*third);
}

struct LatestCase {
    const char* what;
    std::vector<Operand> operands;
    double delay;  // the block's time before the barrier
    double want;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const LatestCase& c, std::ostream* os) { *os << c.what; }

class ReleaseTime : public ::testing::TestWithParam<LatestCase> {};

TEST_P(ReleaseTime, IsTheLatestNonNanArrival) {
    const LatestCase& c = GetParam();
    const VariableTable vars = sample_variables();
    Module m;
    if (!c.operands.empty()) m.operand_lists = {c.operands};
    m.blocks = {block({Delay{c.delay}, Barrier{1}, capture("c")})};
    auto r = run_channel(m, ChannelConfig{1, std::nullopt, false}, vars);
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->captures.size(), 1u);
    EXPECT_EQ(r->captures[0].time, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReleaseTime,
    ::testing::Values(
        LatestCase{"alone_unchanged", {}, 2.0, 2.0},
        LatestCase{"alone_nan_becomes_minus_inf", {}, kNaN, -kInf},
        LatestCase{"operand_later", {OperandConst{5.0}, OperandBarrier{1}}, 2.0, 5.0},
        LatestCase{"block_later", {OperandConst{1.0}, OperandBarrier{1}}, 2.0, 2.0},
        LatestCase{"string_var_is_nan_other_wins", {OperandVar{var(4)}, OperandBarrier{1}}, 2.0, 2.0},
        LatestCase{"u32_var_duration", {OperandVar{var(0)}, OperandBarrier{1}}, 2.0, 4294967295.0},
        LatestCase{"both_nan", {OperandVar{var(7)}, OperandBarrier{1}}, kNaN, -kInf}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Scheduler, OperandThreadClockFollowsTheRelease) {
    const VariableTable vars = sample_variables();
    Module m;
    m.operand_lists = {{OperandVar{var(4)}, OperandBarrier{1}, OperandConst{1.0}, OperandBarrier{2}}};
    m.blocks = {block({Delay{2.0}, Barrier{1}, Barrier{2}})};
    Stepper s(m, vars);
    ASSERT_TRUE(s.sweep().has_value());
    EXPECT_EQ(s.op(0).time, 2.0);
    ASSERT_TRUE(s.sweep().has_value());  // operand to 3.0, block stays 2.0; released at 3.0
    EXPECT_EQ(s.op(0).time, 3.0);
    EXPECT_EQ(s.blk(1).time, 3.0);
}

struct DeadlockCase {
    const char* what;
    std::vector<std::vector<Operand>> operands;
    std::vector<Block> blocks;
    int sweeps_before;  // sweeps that still release something
    std::string message;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const DeadlockCase& c, std::ostream* os) { *os << c.what; }

class Deadlock : public ::testing::TestWithParam<DeadlockCase> {};

TEST_P(Deadlock, StopsAtTheFirstSweepThatReleasesNothing) {
    const DeadlockCase& c = GetParam();
    Module m;
    m.operand_lists = c.operands;
    m.blocks = c.blocks;
    const VariableTable vars;
    Stepper s(m, vars);
    for (int i = 0; i < c.sweeps_before; ++i) {
        auto r = s.sweep();
        ASSERT_TRUE(r.has_value()) << "sweep " << i + 1;
        ASSERT_TRUE(*r);
    }
    auto r = s.sweep();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(*r.error().text(), c.message);

    auto whole = run_channel(m, ChannelConfig{1000, std::nullopt, false}, vars);
    ASSERT_FALSE(whole.has_value());
    EXPECT_EQ(*whole.error().text(), c.message);
}

const std::string kDeadlock3 =
    "Barrier deadlock: threads wait at barrier id 3 that can never be released";

INSTANTIATE_TEST_SUITE_P(
    Cases, Deadlock,
    ::testing::Values(
        DeadlockCase{"block_mentions_twice", {}, {block({Barrier{3}, Barrier{3}})}, 0, kDeadlock3},
        DeadlockCase{"operands_mention_twice",
                     {{OperandBarrier{3}, OperandConst{1.0}, OperandBarrier{3}}},
                     {},
                     0,
                     kDeadlock3},
        DeadlockCase{"two_id_cycle",
                     {},
                     {block({Barrier{7}, Barrier{2}}), block({Barrier{2}, Barrier{7}})},
                     0,
                     "Barrier deadlock: threads wait at barrier ids 2, 7 that can never be released"},
        DeadlockCase{"after_a_release",
                     {{OperandBarrier{5}, OperandBarrier{3}}},
                     {block({Delay{1.0}, Barrier{3}, Barrier{3}})},
                     1,
                     kDeadlock3}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(Scheduler, EmptyOperandListCountsForNoBarrier) {
    Module m;
    m.operand_lists = {{}};
    m.blocks = {block({Barrier{1}, capture("c")})};
    const VariableTable vars;
    auto r = run_channel(m, ChannelConfig{1, std::nullopt, false}, vars);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->captures.size(), 1u);
}

// ---------------------------------------------------------------------------
// Capture order

TEST(SortCaptures, StableByTimeWithNanLast) {
    const double times[] = {kNaN, 2.0, 1.0, kNaN, 1.0, -0.0, 0.0, -kInf};
    std::vector<CaptureRecord> records;
    for (std::size_t i = 0; i < std::size(times); ++i) {
        records.push_back(CaptureRecord{"capture", Json(static_cast<int>(i)), times[i]});
    }
    sort_captures(records);
    std::vector<int> order;
    for (const auto& r : records) order.push_back(r.value->get<int>());
    EXPECT_EQ(order, (std::vector<int>{7, 5, 6, 2, 4, 1, 0, 3}));
}

TEST(RunChannel, CapturesAtEqualTimesKeepBlockThenEmissionOrder) {
    Module m;
    m.blocks = {block({capture("a1"), Delay{1.0}, capture("a2")}), block({capture("b1"), capture("b2")}),
                block({Delay{0.5}, capture("c1")})};
    const VariableTable vars;
    auto r = run_channel(m, ChannelConfig{1, std::nullopt, false}, vars);
    ASSERT_TRUE(r.has_value());
    std::vector<std::string> order;
    for (const auto& c : r->captures) order.push_back((*c.value)["creg"].get<std::string>());
    EXPECT_EQ(order, (std::vector<std::string>{"a1", "b1", "b2", "c1", "a2"}));
}

// ---------------------------------------------------------------------------
// Whole runs

// The rendered samples of a run; rendering one sample at a time must give the
// same bits.
std::vector<double> samples_of(const ChannelResult& result) {
    const std::vector<double> samples = render_all(result.signal);
    const std::vector<double> one_by_one = render_all(result.signal, 1);
    EXPECT_EQ(samples.size(), one_by_one.size());
    if (samples.size() == one_by_one.size()) {
        EXPECT_EQ(std::memcmp(samples.data(), one_by_one.data(), samples.size() * sizeof(double)), 0);
    }
    return samples;
}

const char* kDoubling = "[[0, 10], [0, 20]]";

TEST(RunChannel, ModuleWithoutThreadsGivesZerosAndIgnoresSettings) {
    Module m;
    m.blocks = {block({}), block({})};
    m.settings["function"] = Json::parse("[[0, 1], [5, 6]]");
    m.settings["sos"] = Json::parse("[[0.5, 0, 0, 1, 0, 0]]");
    const VariableTable vars;
    struct Case {
        std::optional<std::uint64_t> count;
        std::size_t length;
    };
    for (const Case c : {Case{std::nullopt, 1}, Case{0, 1}, Case{5, 5}}) {
        auto r = run_channel(m, ChannelConfig{1000, c.count, true}, vars);
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(samples_of(*r), std::vector<double>(c.length, 0.0));
        EXPECT_TRUE(r->captures.empty());
    }
    auto huge = run_channel(m, ChannelConfig{1000, kMaxBufferSamples + 1, false}, vars);
    ASSERT_FALSE(huge.has_value());
    EXPECT_EQ(*huge.error().text(), "Sample buffer of " + std::to_string(kMaxBufferSamples + 1) +
                                        " samples exceeds the limit of " +
                                        std::to_string(kMaxBufferSamples) + " samples per channel");
}

TEST(RunChannel, AnEmptyOperandListIsAThreadSoSettingsApply) {
    Module m;
    m.operand_lists = {{}};
    m.settings["function"] = Json::parse("[[0, 1], [5, 6]]");
    const VariableTable vars;
    auto r = run_channel(m, ChannelConfig{1000, 2, false}, vars);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(samples_of(*r), (std::vector<double>{5.0, 5.0}));
}

TEST(RunChannel, RendersPulsesOfAllBlocksThenMapsAndFilters) {
    Module m;
    m.blocks = {block({RealWaveform{samples({1.0, 2.0, 3.0}), 2.0}}),
                block({Delay{1.0}, RealWaveform{samples({0.5}), 1.0}})};
    m.settings["function"] = Json::parse(kDoubling);
    m.settings["sos"] = Json::parse("[[0.5, 0, 0, 1, 0, 0]]");
    const VariableTable vars;
    struct Case {
        std::optional<std::uint64_t> count;
        bool iir;
        std::vector<double> want;
    };
    const Case cases[] = {
        {std::nullopt, false, {4.0, 9.0, 12.0}},
        {2, false, {4.0, 9.0, 12.0}},
        {5, false, {4.0, 9.0, 12.0, 0.0, 0.0}},
        {std::nullopt, true, {2.0, 4.5, 6.0}},
    };
    for (const Case& c : cases) {
        auto r = run_channel(m, ChannelConfig{1, c.count, c.iir}, vars);
        ASSERT_TRUE(r.has_value());
        const std::vector<double> samples = samples_of(*r);
        ASSERT_EQ(samples.size(), c.want.size());
        for (std::size_t i = 0; i < c.want.size(); ++i) EXPECT_NEAR(samples[i], c.want[i], 1e-12);
    }
}

TEST(RunChannel, BarriersAlignPulses) {
    // The block waits for the operand list's 4 samples, then pulses at t0 = 4.
    Module m;
    m.operand_lists = {{OperandConst{4.0}, OperandBarrier{1}}};
    m.blocks = {block({Barrier{1}, RealWaveform{samples({1.0}), 1.0}})};
    const VariableTable vars;
    auto r = run_channel(m, ChannelConfig{1, std::nullopt, false}, vars);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(samples_of(*r), (std::vector<double>{0, 0, 0, 0, 1}));
}

TEST(RunChannel, LimitsEndTheRun) {
    const VariableTable vars;
    Module far;
    far.blocks = {block({Delay{1e30}, RealWaveform{samples({1.0}), 1.0}})};
    auto r = run_channel(far, ChannelConfig{1, std::nullopt, false}, vars);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text()->rfind("Sample buffer of ", 0), 0u);

    Module wide;
    wide.blocks = {block({ShapedPulse{0.0, 1.0, 1e300, 0, 0.0, kNaN, kNaN}})};
    auto w = run_channel(wide, ChannelConfig{1000000000, std::nullopt, false}, vars);
    ASSERT_FALSE(w.has_value());
    EXPECT_EQ(w.error().text()->rfind("Shaped pulse of ", 0), 0u);
}

}  // namespace
}  // namespace velk
