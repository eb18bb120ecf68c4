// Envelopes and DRAG, rendering, the sample map and the filter cascade.
#include <bit>
#include <random>
#include <span>
#include <unordered_map>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "waveform.hpp"
#include "reference_render.hpp"

namespace velk {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// The envelope, which must exist.
std::vector<Complex> envelope(double amp, double width, double plateau, std::uint8_t shape,
                              double sample_rate, double block1 = kNaN, double block2 = kNaN) {
    auto env = shaped_envelope(amp, width, plateau, shape, block1, block2, sample_rate);
    EXPECT_TRUE(env.has_value());
    if (!env || !*env) {
        ADD_FAILURE() << "no envelope";
        return {};
    }
    return **env;
}

std::vector<double> real_parts(const std::vector<Complex>& env) {
    std::vector<double> out;
    for (const Complex& c : env) out.push_back(c.re);
    return out;
}

// ---------------------------------------------------------------------------
// shaped_envelope

struct SkipCase {
    const char* what;
    double amp, width, plateau, rate;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const SkipCase& c, std::ostream* os) { *os << c.what; }

class EnvelopeSkip : public ::testing::TestWithParam<SkipCase> {};

TEST_P(EnvelopeSkip, YieldsNoPulse) {
    const SkipCase& c = GetParam();
    auto env = shaped_envelope(c.amp, c.width, c.plateau, 0, kNaN, kNaN, c.rate);
    ASSERT_TRUE(env.has_value());
    EXPECT_FALSE(env->has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Rules, EnvelopeSkip,
    ::testing::Values(SkipCase{"zero total", 1.0, 0.0, 0.0, 1e9},
                      SkipCase{"negative total", 1.0, -4e-9, 1e-9, 1e9},
                      SkipCase{"rate zero", 1.0, 4e-9, 0.0, 0.0},
                      SkipCase{"amp zero", 0.0, 4e-9, 0.0, 1e9},
                      SkipCase{"amp negative zero", -0.0, 4e-9, 0.0, 1e9},
                      // Skipping comes first: even an infinite total asks for nothing.
                      SkipCase{"infinite total, amp zero", 0.0, kInf, 0.0, 1e9}),
    [](const auto& info) {
        std::string s = info.param.what;
        for (char& ch : s) if (ch == ' ' || ch == ',') ch = '_';
        return s;
    });

TEST(ShapedEnvelope, NanAmplitudeOrTotalStillYieldsAPulse) {
    EXPECT_EQ(envelope(kNaN, 4e-9, 0.0, 3, 1e9).size(), 4u);
    EXPECT_EQ(envelope(1.0, kNaN, 8e-9, 3, 1e9).size(), 1u);
}

TEST(ShapedEnvelope, CosineWorkedExample) {
    const auto env = envelope(2.0, 4e-9, 0.0, 0, 1e9);
    ASSERT_EQ(env.size(), 4u);
    EXPECT_EQ(env[0].re, 0.0);
    EXPECT_DOUBLE_EQ(env[1].re, 1.0);
    EXPECT_EQ(env[2].re, 2.0);
    EXPECT_NEAR(env[3].re, 1.0, 1e-9);
    for (const Complex& c : env) EXPECT_EQ(c.im, 0.0);
}

TEST(ShapedEnvelope, FlatShapes) {
    // Cosine with no width is flat over the plateau; Square is flat whatever the width.
    for (const auto& env : {envelope(0.7, 0.0, 10e-9, 0, 1e9), envelope(0.7, 20e-9, 0.0, 3, 1e9)}) {
        ASSERT_FALSE(env.empty());
        for (const Complex& c : env) EXPECT_EQ(c.re, 0.7);
    }
    EXPECT_EQ(envelope(0.7, 20e-9, 0.0, 3, 1e9).size(), 20u);
}

TEST(ShapedEnvelope, UnknownShapeCodesAreCosine) {
    const auto cosine = real_parts(envelope(1.5, 7e-9, 3e-9, 0, 1e9));
    for (int code : {1, 5, 200, 255}) {
        EXPECT_EQ(real_parts(envelope(1.5, 7e-9, 3e-9, static_cast<std::uint8_t>(code), 1e9)),
                  cosine)
            << "shape " << code;
    }
    // ...and the other codes are not.
    for (int code : {2, 3, 4}) {
        EXPECT_NE(real_parts(envelope(1.5, 7e-9, 3e-9, static_cast<std::uint8_t>(code), 1e9)),
                  cosine)
            << "shape " << code;
    }
}

TEST(ShapedEnvelope, GaussianEdgeIsExpMinusFourAndAHalf) {
    const auto env = envelope(3.0, 6.0, 0.0, 2, 1.0);
    ASSERT_EQ(env.size(), 6u);
    EXPECT_DOUBLE_EQ(env[0].re, 3.0 * std::exp(-4.5));
    EXPECT_EQ(env[3].re, 3.0);  // the centre
}

TEST(ShapedEnvelope, SechUsesAFixedFactorOfTen) {
    // u = 0.5 beyond a plateau of 1: x = 5, 2 / (e^-5 + e^5).
    const auto env = envelope(1.0, 1.0, 1.0, 4, 2.0);
    ASSERT_EQ(env.size(), 4u);
    EXPECT_EQ(env[0].re, 2.0 / (std::exp(-5.0) + std::exp(5.0)));
    EXPECT_EQ(env[1].re, 1.0);
}

struct CountCase {
    double width, rate;
    std::size_t n;
};

TEST(ShapedEnvelope, SampleCountIsCeilingAtLeastOne) {
    const CountCase cases[] = {{2.5, 1.0, 3}, {0.3, 1.0, 1}, {4.0, 1.0, 4}, {4e-9, 1e9, 4},
                               {1.0, 0.5, 1}};
    for (const CountCase& c : cases) {
        EXPECT_EQ(envelope(1.0, c.width, 0.0, 3, c.rate).size(), c.n) << c.width << " at " << c.rate;
    }
}

TEST(ShapedEnvelope, NanWidthGivesOneSampleByShape) {
    struct Case {
        std::uint8_t shape;
        bool nan;
    };
    for (const Case c : {Case{0, false}, Case{3, false}, Case{2, true}, Case{4, true}}) {
        const auto env = envelope(0.5, kNaN, 8e-9, c.shape, 1e9);
        ASSERT_EQ(env.size(), 1u);
        if (c.nan) EXPECT_TRUE(std::isnan(env[0].re)) << int(c.shape);
        else EXPECT_EQ(env[0].re, 0.5) << int(c.shape);
    }
}

TEST(ShapedEnvelope, BeyondTheLimitIsAnErrorNamingIt) {
    const std::string limit = std::to_string(kMaxEnvelopeSamples);
    struct Case {
        double width, rate;
        std::string count;
    };
    const Case cases[] = {
        {static_cast<double>(kMaxEnvelopeSamples) + 1.0, 1.0, std::to_string(kMaxEnvelopeSamples + 1)},
        {1.0, 1e12, "1000000000000"},
        {kInf, 1e9, "18446744073709551615"},
        {1e300, 1e300, "18446744073709551615"},
    };
    for (const Case& c : cases) {
        auto env = shaped_envelope(1.0, c.width, 0.0, 0, kNaN, kNaN, c.rate);
        ASSERT_FALSE(env.has_value()) << c.width;
        ASSERT_NE(env.error().text(), nullptr);
        EXPECT_EQ(*env.error().text(), "Shaped pulse of " + c.count +
                                           " samples exceeds the limit of " + limit +
                                           " samples per envelope");
    }
}

// DRAG: the definition written out with gradient(), compared exactly.
struct DragCase {
    const char* what;
    double block1, block2;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const DragCase& c, std::ostream* os) { *os << c.what; }

class Drag : public ::testing::TestWithParam<DragCase> {};

TEST_P(Drag, MatchesTheDerivativeDefinition) {
    const DragCase& c = GetParam();
    const double rate = 1e9, amp = 0.8;
    const auto plain = real_parts(envelope(amp, 12e-9, 2e-9, 2, rate));
    const auto env = envelope(amp, 12e-9, 2e-9, 2, rate, c.block1, c.block2);
    ASSERT_EQ(env.size(), plain.size());

    std::vector<double> b;
    if (!std::isnan(c.block1)) b.push_back(kTwoPi * c.block1);
    if (!std::isnan(c.block2)) b.push_back(kTwoPi * c.block2);
    const double dt = 1.0 / rate;
    std::vector<double> want_re = plain, want_im(plain.size(), 0.0);
    if (!b.empty()) {
        const auto d = gradient(plain, dt);
        double s = 1.0 / b[0];
        if (b.size() == 2) s = s + 1.0 / b[1];
        for (std::size_t k = 0; k < d.size(); ++k) want_im[k] = d[k] * s;
        if (b.size() == 2) {
            const auto dd = gradient(d, dt);
            const double f = 1.0 / (b[0] * b[1]);
            for (std::size_t k = 0; k < dd.size(); ++k) want_re[k] = plain[k] - dd[k] * f;
        }
    }
    for (std::size_t k = 0; k < env.size(); ++k) {
        EXPECT_EQ(env[k].re, want_re[k]) << k;
        EXPECT_EQ(env[k].im, want_im[k]) << k;
    }
    if (!b.empty()) {
        EXPECT_NE(env[1].im, 0.0);
    }
    if (b.size() == 2) {
        EXPECT_NE(real_parts(env), plain);
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, Drag,
                         ::testing::Values(DragCase{"none", kNaN, kNaN},
                                           DragCase{"block1", 1e8, kNaN},
                                           DragCase{"block2_only", kNaN, -3e7},
                                           DragCase{"both", 1e8, -3e7}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST(ShapedEnvelope, OneSampleWithCorrectionHasNoImaginaryPart) {
    const auto env = envelope(1.0, 0.3, 0.0, 3, 1.0, 2.0);
    ASSERT_EQ(env.size(), 1u);
    EXPECT_EQ(env[0].im, 0.0);
    EXPECT_EQ(env[0].re, 1.0);
}

TEST(Gradient, EndsOneSidedInsideCentral) {
    EXPECT_EQ(gradient({0.0, 1.0, 4.0}, 1.0), (std::vector<double>{1.0, 2.0, 3.0}));
    EXPECT_EQ(gradient({1.0, 3.0}, 0.5), (std::vector<double>{4.0, 4.0}));
    EXPECT_EQ(gradient({7.0}, 1.0), (std::vector<double>{0.0}));
    EXPECT_TRUE(gradient({}, 1.0).empty());
}

// ---------------------------------------------------------------------------
// Start index and buffer length

struct StartCase {
    double t0, fs;
    std::int64_t s;
};

TEST(StartIndex, RoundsHalfAwayFromZeroAndSaturates) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    const StartCase cases[] = {
        {-0.5, 1.0, -1}, {-0.4, 1.0, 0}, {2.5, 1.0, 3},    {-2.5, 1.0, -3},  {1.4e-9, 1e9, 1},
        {kNaN, 1.0, 0},  {kInf, 1.0, kMax}, {-kInf, 1.0, kMin}, {9223372036854775808.0, 1.0, kMax},
        {-9223372036854775808.0, 1.0, kMin}, {-1e19, 1.0, kMin}, {3.0, 0.0, 0}, {kInf, 0.0, 0},
    };
    for (const StartCase& c : cases) EXPECT_EQ(start_index(c.t0, c.fs), c.s) << c.t0 << " " << c.fs;
}

// A pulse of the given envelope samples. They are kept to the end of the test
// program, as a module keeps a waveform's data for the pulses of its run.
Pulse pulse(std::vector<Complex> env, double t0, double frequency = 0.0, double phase = 0.0,
            double delta = 0.0) {
    static std::deque<std::vector<Complex>> kept;
    kept.push_back(std::move(env));
    return Pulse{ComplexSamples{kept.back(), 1.0}, t0, frequency, phase, delta};
}

TEST(BufferLength, CoversPulsesAndSampleCount) {
    const std::vector<Pulse> pulses = {pulse({{1, 0}, {1, 0}, {1, 0}}, 2.0),
                                       pulse(std::vector<Complex>(10, Complex{1, 0}), -1.0)};
    struct Case {
        std::vector<Pulse> pulses;
        std::optional<std::uint64_t> count;
        std::size_t length;
    };
    const Case cases[] = {
        {{}, std::nullopt, 1}, {{}, 0, 1}, {{}, 7, 7},
        {pulses, std::nullopt, 5},  // the negative start does not count
        {pulses, 3, 5},             {pulses, 9, 9},
    };
    for (const Case& c : cases) {
        auto n = buffer_length(c.pulses, 1.0, c.count);
        ASSERT_TRUE(n.has_value());
        EXPECT_EQ(*n, c.length);
    }
}

TEST(BufferLength, BeyondTheLimitIsAnError) {
    const std::string tail = " samples exceeds the limit of " + std::to_string(kMaxBufferSamples) +
                             " samples per channel";
    struct Case {
        std::vector<Pulse> pulses;
        std::optional<std::uint64_t> count;
        std::string length;
    };
    const Case cases[] = {
        {{}, std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
        {{}, kMaxBufferSamples + 1, std::to_string(kMaxBufferSamples + 1)},
        {{pulse({{1, 0}}, 1e30)}, std::nullopt, "9223372036854775808"},
        {{pulse({{1, 0}, {1, 0}}, kInf)}, std::nullopt, "9223372036854775809"},
        {{pulse({{1, 0}}, static_cast<double>(kMaxBufferSamples))}, std::nullopt,
         std::to_string(kMaxBufferSamples + 1)},
    };
    for (const Case& c : cases) {
        auto n = buffer_length(c.pulses, 1.0, c.count);
        ASSERT_FALSE(n.has_value()) << c.length;
        EXPECT_EQ(*n.error().text(), "Sample buffer of " + c.length + tail);
    }
    auto z = zero_buffer(kMaxBufferSamples + 1);
    ASSERT_FALSE(z.has_value());
    EXPECT_EQ(*z.error().text(), "Sample buffer of " + std::to_string(kMaxBufferSamples + 1) + tail);
}

// ---------------------------------------------------------------------------
// Rendering

std::vector<double> render(std::vector<Pulse> pulses, double fs,
                           std::optional<std::uint64_t> count = std::nullopt) {
    auto out = render_samples(std::move(pulses), fs, count);
    EXPECT_TRUE(out.has_value());
    return out ? *out : std::vector<double>{};
}

TEST(RenderPulses, ArithmeticIsTheWrittenOrder) {
    const double fs = 3e9, t0 = 7.3e-9, f = 4.1e8, ph = 0.3, delta = 2.7e7;
    const std::vector<Complex> env = {{0.5, -0.2}, {0.9, 0.1}, {-0.3, 0.7}, {0.25, 0.25}};
    const auto out = render({pulse(env, t0, f, ph, delta)}, fs);
    const std::int64_t s = start_index(t0, fs);
    ASSERT_EQ(out.size(), static_cast<std::size_t>(s) + env.size());
    const double dt = 1.0 / fs;
    for (std::size_t i = 0; i < env.size(); ++i) {
        const double tau = static_cast<double>(i) * dt;
        const double theta = (((tau + t0) * f) + (delta * tau)) * 6.283185307179586 + ph;
        EXPECT_EQ(out[s + i], 0.0 + (env[i].re * std::cos(theta) - env[i].im * std::sin(theta)));
    }
    for (std::int64_t i = 0; i < s; ++i) EXPECT_EQ(out[i], 0.0);
}

TEST(RenderPulses, CarrierQuarterTurns) {
    // f = fs / 4: the carrier turns by pi / 2 per sample.
    const auto cosine = render({pulse({{1, 0}, {1, 0}, {1, 0}, {1, 0}}, 0.0, 0.25)}, 1.0);
    const auto sine = render({pulse({{0, 1}, {0, 1}, {0, 1}, {0, 1}}, 0.0, 0.25)}, 1.0);
    const double want_cos[] = {1, 0, -1, 0}, want_sin[] = {0, -1, 0, 1};
    ASSERT_EQ(cosine.size(), 4u);
    ASSERT_EQ(sine.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(cosine[i], want_cos[i], 1e-12);
        EXPECT_NEAR(sine[i], want_sin[i], 1e-12);
    }
}

TEST(RenderPulses, DeltaCountsFromThePulseStart) {
    // With frequency 0 only delta turns the carrier, from tau = 0 at the pulse's start.
    // Counted from the channel's start, sample 10 would be at cos(5 pi) = -1.
    const auto out = render({pulse({{1, 0}, {1, 0}}, 10.0, 0.0, 0.0, 0.25)}, 1.0);
    ASSERT_EQ(out.size(), 12u);
    EXPECT_EQ(out[10], 1.0);
    EXPECT_NEAR(out[11], 0.0, 1e-12);
}

TEST(RenderPulses, PlacementAtTheRoundedIndex) {
    struct Case {
        double t0;
        std::vector<double> want;
    };
    const Case cases[] = {
        {-0.5, {0, 0, 0}},  // s = -1: dropped whole, not clipped
        {-0.4, {1, 2, 0}},  // s = 0
        {1.4, {0, 1, 2}},
        {2.5, {0, 0, 0, 1, 2}},  // s = 3 extends the buffer
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render({pulse({{1, 0}, {2, 0}}, c.t0)}, 1.0, 3), c.want) << c.t0;
    }
}

TEST(RenderPulses, KeepsTheCarrierPhaseOfTheExactStart) {
    // t0 = 1.4 lands on sample 1 but the carrier is evaluated at 1.4.
    const auto out = render({pulse({{1, 0}}, 1.4, 0.25)}, 1.0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1], std::cos((1.4 * 0.25) * 6.283185307179586));
}

TEST(RenderPulses, NanStartAndZeroRate) {
    const auto nan_start = render({pulse({{1, 0}, {1, 0}}, kNaN)}, 1.0, 4);
    ASSERT_EQ(nan_start.size(), 4u);
    EXPECT_TRUE(std::isnan(nan_start[0]));
    EXPECT_TRUE(std::isnan(nan_start[1]));
    EXPECT_EQ(nan_start[2], 0.0);

    const auto zero_rate = render({pulse({{1, 0}, {1, 0}}, 5.0), pulse({{1, 0}}, -3.0)}, 0.0);
    ASSERT_EQ(zero_rate.size(), 2u);
    EXPECT_TRUE(std::isnan(zero_rate[0]));
    EXPECT_TRUE(std::isnan(zero_rate[1]));
}

TEST(RenderPulses, OverlapsAddInOrderAndPaddingIsZero) {
    const auto out = render({pulse({{1, 0}, {2, 0}, {3, 0}}, 0.0), pulse({{10, 0}, {20, 0}}, 1.0)},
                            1.0, 6);
    EXPECT_EQ(out, (std::vector<double>{1, 12, 23, 0, 0, 0}));
    EXPECT_EQ(render({}, 1.0), (std::vector<double>{0}));
    EXPECT_EQ(render({}, 1.0, 3), (std::vector<double>{0, 0, 0}));
}

TEST(RenderPulses, CutAtTheEndAndDroppedPastIt) {
    std::vector<double> buffer(3, 0.0);
    render_pulses(buffer, {pulse({{1, 0}, {2, 0}, {3, 0}}, 1.0), pulse({{5, 0}}, 3.0)}, 1.0);
    EXPECT_EQ(buffer, (std::vector<double>{0, 1, 2}));
}

// ---------------------------------------------------------------------------
// "function"

TEST(CollectJsonNumbers, KeepsNumbersInOrder) {
    const Json values = Json::parse(R"([1, -2, 2.5, "x", null, true, [1], {"a": 1},
                                        18446744073709551615, -9223372036854775808])");
    EXPECT_EQ(collect_json_numbers(values),
              (std::vector<double>{1.0, -2.0, 2.5, 18446744073709551616.0, -9223372036854775808.0}));
}

std::vector<double> map_samples(const char* function, std::vector<double> samples) {
    apply_settings(samples, {{"function", Json::parse(function)}}, false);
    return samples;
}

TEST(PchipSetting, TwoKnotsMapLinearlyAndClamp) {
    const auto out = map_samples("[[0, 1], [0, 2]]", {0.0, 0.25, 0.5, 1.0, -1.0, 2.0, kNaN});
    const double want[] = {0.0, 0.5, 1.0, 2.0, 0.0, 2.0, 0.0};
    ASSERT_EQ(out.size(), 7u);
    for (std::size_t i = 0; i < out.size(); ++i) EXPECT_NEAR(out[i], want[i], 1e-15) << i;
}

TEST(PchipSetting, NonNumbersAreDroppedBeforePairing) {
    const auto out = map_samples(R"([[0, "a", 1], [5, 7]])", {0.5, 1.0});
    EXPECT_NEAR(out[0], 6.0, 1e-15);
    EXPECT_EQ(out[1], 7.0);
}

TEST(PchipSetting, MalformedSettingsLeaveTheSamples) {
    const char* cases[] = {"[[0, 1], [0, 2], [3, 4]]", "[[0, 1], 5]", "[[0], [1]]",
                           "[[0, 1, 2], [0, 1]]",      "{\"x\": 1}",  "[]",
                           "[[\"a\", \"b\"], [1, 2]]", "7"};
    for (const char* c : cases) {
        EXPECT_EQ(map_samples(c, {0.25, 3.0}), (std::vector<double>{0.25, 3.0})) << c;
    }
}

TEST(PchipMap, SlopesOfMonotoneKnots) {
    // Equal widths: interior and both ends 4/3.
    auto even = make_pchip_map({0, 1, 2}, {0, 1, 3});
    ASSERT_TRUE(even);
    EXPECT_EQ(even->slopes, (std::vector<double>{4.0 / 3.0, 6.0 / 4.5, 4.0 / 3.0}));
    // Unequal widths h = 1, 2: w1 = 2*2 + 1, w2 = 2*1 + 2.
    auto uneven = make_pchip_map({0, 1, 3}, {0, 1, 2});
    ASSERT_TRUE(uneven);
    EXPECT_EQ(uneven->slopes[1], 9.0 / (5.0 / 1.0 + 4.0 / 0.5));
    EXPECT_EQ(uneven->slopes[0], ((1.0 + 1.0) * 0.5) / (1.0 + 0.5));
    EXPECT_EQ(uneven->slopes[2], uneven->slopes[0]);
    auto two = make_pchip_map({1, 3}, {0, 5});
    ASSERT_TRUE(two);
    EXPECT_EQ(two->slopes, (std::vector<double>{2.5, 2.5}));
}

TEST(PchipMap, FlatOrTurningSecantsGiveSlopeZero) {
    // Opposite secants at every knot.
    auto zigzag = make_pchip_map({0, 1, 2, 3}, {0, 1, 0, 1});
    ASSERT_TRUE(zigzag);
    EXPECT_EQ(zigzag->slopes, (std::vector<double>{0, 0, 0, 0}));
    // A flat first stretch: the first knot and the knot after it get 0.
    auto flat = make_pchip_map({0, 1, 2, 3}, {1, 1, 2, 4});
    ASSERT_TRUE(flat);
    EXPECT_EQ(flat->slopes[0], 0.0);
    EXPECT_EQ(flat->slopes[1], 0.0);
    EXPECT_GT(flat->slopes[2], 0.0);
    EXPECT_GT(flat->slopes[3], 0.0);
    // No overshoot across the flat stretch.
    for (double v : pchip_eval({0.1, 0.5, 0.9}, *flat)) EXPECT_NEAR(v, 1.0, 1e-15);
}

TEST(PchipEval, HermiteValueInTheWrittenOrder) {
    auto map = make_pchip_map({0, 1, 3}, {0, 1, 2});
    ASSERT_TRUE(map);
    const auto& m = map->slopes;
    const double w = 2.0, t = (1.7 - 1.0) / w, t2 = t * t, t3 = t * t2;
    const double h00 = ((t3 + t3) - t2 * 3.0) + 1.0, h01 = t2 * 3.0 - (t3 + t3);
    const double h10 = (t3 - (t2 + t2)) + t, h11 = t3 - t2;
    const double want = ((h11 * w) * m[2]) + ((2.0 * h01) + (((h10 * w) * m[1]) + (1.0 * h00)));
    const auto out = pchip_eval({1.7, 0.0, 1.0, 3.0}, *map);
    EXPECT_EQ(out[0], want);
    EXPECT_EQ(out[1], 0.0);
    EXPECT_EQ(out[2], 1.0);
    EXPECT_EQ(out[3], 2.0);
}

TEST(PchipEval, RepeatedAndUnorderedKnots) {
    // A zero-width interval gives its left value.
    auto pair = make_pchip_map({0, 0, 1}, {3, 4, 5});
    ASSERT_TRUE(pair);
    EXPECT_EQ(pchip_eval({0.0}, *pair)[0], 3.0);
    // At a repeated knot the first matching interval wins: [1, 2] ends at y = 2,
    // where the last match [2, 3] would start at y = 3.
    auto step = make_pchip_map({0, 1, 2, 2, 3, 4}, {0, 1, 2, 3, 4, 5});
    ASSERT_TRUE(step);
    EXPECT_EQ(step->slopes, (std::vector<double>{1, 1, 3, 3, 1, 1}));
    const auto out = pchip_eval({2.0, 2.5}, *step);
    EXPECT_EQ(out[0], 2.0);
    EXPECT_GT(out[1], 3.0);
    EXPECT_LT(out[1], 4.0);
    // Unordered knots: every sample clamps to xs.back() = 1 < xs[0], so y0.
    auto unordered = make_pchip_map({2, 0, 1}, {7, 8, 9});
    ASSERT_TRUE(unordered);
    EXPECT_EQ(pchip_eval({-5.0, 0.5, 9.0, kNaN}, *unordered), (std::vector<double>{7, 7, 7, 7}));
}

TEST(PchipEval, IntervalSearchFindsTheFirstMatch) {
    // Many ordered knots, against the first matching interval found by a scan.
    std::vector<double> xs, ys;
    for (int k = 0; k < 50; ++k) {
        xs.push_back(k * 0.1);
        ys.push_back(std::sin(k * 0.3));
    }
    auto map = make_pchip_map(xs, ys);
    ASSERT_TRUE(map);
    std::vector<double> samples = xs;
    for (int i = -10; i < 600; ++i) samples.push_back(i * 0.0091);
    const auto out = pchip_eval(samples, *map);
    const auto& m = map->slopes;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const double e = std::min(std::max(samples[i], xs.front()), xs.back());
        std::size_t j = 0;
        while (!(xs[j] <= e && e <= xs[j + 1])) ++j;
        const double w = xs[j + 1] - xs[j], t = (e - xs[j]) / w, t2 = t * t, t3 = t * t2;
        const double h00 = ((t3 + t3) - t2 * 3.0) + 1.0, h01 = t2 * 3.0 - (t3 + t3);
        const double h10 = (t3 - (t2 + t2)) + t, h11 = t3 - t2;
        const double want =
            ((h11 * w) * m[j + 1]) + ((ys[j + 1] * h01) + (((h10 * w) * m[j]) + (ys[j] * h00)));
        EXPECT_EQ(out[i], want) << samples[i];
    }
}

// ---------------------------------------------------------------------------
// "sos"

struct SosCase {
    const char* what;
    const char* sos;
    bool enable_iir;
    std::vector<double> in, want;
};

// Shown by its name in test listings and failure messages.
void PrintTo(const SosCase& c, std::ostream* os) { *os << c.what; }

class SosSetting : public ::testing::TestWithParam<SosCase> {};

TEST_P(SosSetting, FiltersOrLeavesTheSamples) {
    const SosCase& c = GetParam();
    std::vector<double> samples = c.in;
    apply_settings(samples, {{"sos", Json::parse(c.sos)}}, c.enable_iir);
    EXPECT_EQ(samples, c.want);
}

const std::vector<double> kIn = {1.0, -2.0, 4.0};
const std::vector<double> kHalf = {0.5, -1.0, 2.0};

INSTANTIATE_TEST_SUITE_P(
    Cases, SosSetting,
    ::testing::Values(
        SosCase{"identity", "[[1, 0, 0, 1, 0, 0]]", true, kIn, kIn},
        SosCase{"normalised_by_a0", "[[2, 0, 0, 2, 0, 0]]", true, kIn, kIn},
        SosCase{"a0_zero_passes", "[[1, 0, 0, 0, 0, 0]]", true, kIn, kIn},
        SosCase{"a0_negative_zero_passes", "[[3, 0, 0, -0.0, 0, 0]]", true, kIn, kIn},
        SosCase{"short_section_ignored", "[[0.5, 0, 0, 1, 0, 0], [1, 2, 3]]", true, kIn, kHalf},
        SosCase{"non_array_cancels", "[[0.5, 0, 0, 1, 0, 0], 7]", true, kIn, kIn},
        SosCase{"non_number_cancels", "[[0.5, 0, 0, 1, 0, \"x\"]]", true, kIn, kIn},
        SosCase{"only_ill_sized", "[[1, 2, 3], [1, 2, 3, 4, 5, 6, 7]]", true, kIn, kIn},
        SosCase{"empty", "[]", true, kIn, kIn},
        SosCase{"not_an_array", "{\"a\": 1}", true, kIn, kIn},
        SosCase{"disabled", "[[0.5, 0, 0, 1, 0, 0]]", false, kIn, kIn},
        SosCase{"one_pole", "[[1, 0, 0, 1, -0.5, 0]]", true, {1, 0, 0}, {1, 0.5, 0.25}},
        SosCase{"cascade_in_order", "[[1, 0, 0, 1, -0.5, 0], [0.5, 0, 0, 1, 0, 0]]", true,
                {1, 0, 0}, {0.5, 0.25, 0.125}}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(SosFilter, NanA0IsNotZeroAndMakesNan) {
    const auto out = sos_filter({1.0, 2.0}, {SosSection{1, 0, 0, kNaN, 0, 0}});
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(std::isnan(out[0]));
    EXPECT_TRUE(std::isnan(out[1]));
}

TEST(SosFilter, TransposedFormMatchesTheDifferenceEquation) {
    const SosSection s{0.2, 0.3, -0.1, 2.0, -0.4, 0.15};
    std::vector<double> in;
    for (int i = 0; i < 40; ++i) in.push_back(std::cos(i * 0.7) + (i == 3 ? 1.0 : 0.0));
    const auto out = sos_filter(in, {s});
    const double b0 = s.b0 / s.a0, b1 = s.b1 / s.a0, b2 = s.b2 / s.a0, a1 = s.a1 / s.a0,
                 a2 = s.a2 / s.a0;
    for (std::size_t n = 0; n < in.size(); ++n) {
        double y = b0 * in[n];
        if (n >= 1) y += b1 * in[n - 1] - a1 * out[n - 1];
        if (n >= 2) y += b2 * in[n - 2] - a2 * out[n - 2];
        EXPECT_NEAR(out[n], y, 1e-12) << n;
    }
}

TEST(ApplySettings, MapRunsBeforeTheFilter) {
    // Map first: 2 -> 2 (clamped), then halved: 1. The other order would give 2.
    std::vector<double> samples = {2.0, 0.5};
    apply_settings(samples,
                   {{"function", Json::parse("[[0, 1], [0, 2]]")},
                    {"sos", Json::parse("[[0.5, 0, 0, 1, 0, 0]]")}},
                   true);
    EXPECT_EQ(samples[0], 1.0);
    EXPECT_NEAR(samples[1], 0.5, 1e-15);
}

// ---------------------------------------------------------------------------
// Chunked rendering, checked bit for bit against one pass over the whole signal

// Every build of the elementwise passes; those the processor lacks fall back to
// one it has.
constexpr LaneBuild kLaneBuilds[] = {LaneBuild::Baseline, LaneBuild::Avx2, LaneBuild::Avx512};

bool same_bits(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

::testing::AssertionResult same_samples(const std::vector<double>& got,
                                        const std::vector<double>& want) {
    if (got.size() != want.size()) {
        return ::testing::AssertionFailure() << got.size() << " samples, want " << want.size();
    }
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (!same_bits(got[i], want[i])) {
            return ::testing::AssertionFailure()
                   << "sample " << i << ": " << got[i] << ", want " << want[i];
        }
    }
    return ::testing::AssertionSuccess();
}

// The whole envelope as one pass over it gives it: the plain shape, then the DRAG
// terms from gradient() over all its samples.
std::vector<Complex> whole_envelope(double amp, double width, double plateau, std::uint8_t shape,
                                    double block1, double block2, double rate) {
    const auto plain = real_parts(envelope(amp, width, plateau, shape, rate));
    std::vector<Complex> out(plain.size());
    for (std::size_t k = 0; k < plain.size(); ++k) out[k] = Complex{plain[k], 0.0};
    std::vector<double> b;
    if (!std::isnan(block1)) b.push_back(kTwoPi * block1);
    if (!std::isnan(block2)) b.push_back(kTwoPi * block2);
    if (b.empty()) return out;
    const double dt = 1.0 / rate;
    const auto d = gradient(plain, dt);
    double scale = 1.0 / b[0];
    if (b.size() == 2) {
        scale = scale + 1.0 / b[1];
        const auto dd = gradient(d, dt);
        const double f = 1.0 / (b[0] * b[1]);
        for (std::size_t k = 0; k < dd.size(); ++k) out[k].re = plain[k] - dd[k] * f;
    }
    for (std::size_t k = 0; k < d.size(); ++k) out[k].im = d[k] * scale;
    return out;
}

struct WindowCase {
    const char* what;
    std::uint8_t shape;
    double width, plateau, block1, block2;
};

class EnvelopeWindow : public ::testing::TestWithParam<WindowCase> {};

// Every window of the envelope, ends included, has the whole envelope's values:
// the derivatives taken across a window's edge see the neighbours beyond it.
TEST_P(EnvelopeWindow, EveryWindowMatchesTheWholeEnvelope) {
    const WindowCase& c = GetParam();
    const double rate = 1.0, amp = 0.75;
    auto made = shaped_pulse(amp, c.width, c.plateau, c.shape, c.block1, c.block2, rate);
    ASSERT_TRUE(made.has_value());
    ASSERT_TRUE(made->has_value());
    const Envelope env = **made;
    const auto whole = whole_envelope(amp, c.width, c.plateau, c.shape, c.block1, c.block2, rate);
    const std::uint64_t n = envelope_length(env);
    ASSERT_EQ(n, whole.size());
    EnvelopeScratch scratch;
    for (std::uint64_t first = 0; first < n; ++first) {
        for (std::uint64_t count = 1; first + count <= n; ++count) {
            std::vector<Complex> window(count);
            const LaneBuild lanes = kLaneBuilds[(first + count) % std::size(kLaneBuilds)];
            envelope_values(env, first, window, scratch, lanes);
            for (std::uint64_t i = 0; i < count; ++i) {
                ASSERT_TRUE(same_bits(window[i].re, whole[first + i].re) &&
                            same_bits(window[i].im, whole[first + i].im))
                    << "window " << first << "+" << count << " sample " << i << ", lanes "
                    << static_cast<int>(lanes);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, EnvelopeWindow,
    ::testing::Values(WindowCase{"one_sample_both_terms", 2, 0.5, 0.0, 1e-1, -3e-2},
                      WindowCase{"two_samples_both_terms", 2, 2.0, 0.0, 1e-1, -3e-2},
                      WindowCase{"three_samples_one_term", 0, 3.0, 0.0, 1e-1, kNaN},
                      WindowCase{"gaussian_no_drag", 2, 9.0, 2.0, kNaN, kNaN},
                      WindowCase{"gaussian_first_term", 2, 9.0, 2.0, 1e-1, kNaN},
                      WindowCase{"gaussian_second_term_only", 2, 9.0, 2.0, kNaN, -3e-2},
                      WindowCase{"gaussian_both_terms", 2, 9.0, 2.0, 1e-1, -3e-2},
                      WindowCase{"cosine_both_terms", 0, 8.0, 5.0, 2e-1, 7e-2},
                      WindowCase{"sech_both_terms", 4, 1.2, 0.4, 2e-1, 7e-2},
                      WindowCase{"square_both_terms", 3, 6.0, 0.0, 2e-1, 7e-2}),
    [](const auto& info) { return std::string(info.param.what); });

// A channel to render: pulses, sample count, settings.
struct SignalCase {
    const char* what;
    std::vector<Pulse> pulses;
    std::optional<std::uint64_t> count;
    const char* settings;  // JSON object
    bool iir;
};

Pulse shaped(double t0, double width, double plateau, std::uint8_t shape, double block1,
             double block2, double frequency, double phase, double delta) {
    auto made = shaped_pulse(0.6, width, plateau, shape, block1, block2, 1.0);
    EXPECT_TRUE(made.has_value() && made->has_value());
    return Pulse{**made, t0, frequency, phase, delta};
}

Settings settings_of(const SignalCase& c) {
    const Json settings = Json::parse(c.settings);
    Settings map;
    for (auto it = settings.begin(); it != settings.end(); ++it) map[it.key()] = it.value();
    return map;
}

ChannelSignal signal_of(const SignalCase& c) {
    ChannelSignal signal;
    signal.pulses = c.pulses;
    signal.sample_rate = 1.0;
    auto length = buffer_length(c.pulses, 1.0, c.count);
    EXPECT_TRUE(length.has_value());
    signal.length = length ? *length : 1;
    signal.settings = sample_settings(settings_of(c), c.iir);
    return signal;
}

// One pass over the whole signal: one buffer, every pulse in turn, then the map
// and the filter over all of it.
std::vector<double> whole_signal(const SignalCase& c) {
    auto samples = render_samples(c.pulses, 1.0, c.count);
    EXPECT_TRUE(samples.has_value());
    if (!samples) return {};
    apply_settings(*samples, settings_of(c), c.iir);
    return *samples;
}

class ChunkBoundaries : public ::testing::TestWithParam<SignalCase> {};

TEST_P(ChunkBoundaries, EveryChunkSizeGivesTheWholeSignal) {
    const SignalCase& c = GetParam();
    const ChannelSignal signal = signal_of(c);
    const std::vector<double> whole = whole_signal(c);
    ASSERT_EQ(whole.size(), signal.length);
    const std::size_t n = whole.size();
    for (std::size_t chunk : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{5},
                              std::size_t{16}, n - 1, n, n + 7, kChunkSamples}) {
        if (chunk == 0) continue;
        for (const LaneBuild lanes : kLaneBuilds) {
            EXPECT_TRUE(same_samples(render_all(signal, chunk, lanes), whole))
                << "chunk " << chunk << ", lanes " << static_cast<int>(lanes);
        }
    }
}

TEST_P(ChunkBoundaries, ChunksComeInOrderAtMostTheChunkSize) {
    const ChannelSignal signal = signal_of(GetParam());
    ChunkRenderer renderer(signal, 4);
    std::uint64_t total = 0;
    for (auto chunk = renderer.next(); !chunk.empty(); chunk = renderer.next()) {
        EXPECT_LE(chunk.size(), 4u);
        total += chunk.size();
        EXPECT_EQ(renderer.position(), total);
    }
    EXPECT_EQ(total, signal.length);
    EXPECT_TRUE(renderer.next().empty());
}

const char* kMapAndFilter = R"({"function": [[-1, -0.2, 0.3, 1], [-0.9, -0.1, 0.4, 0.8]],
                               "sos": [[0.2, 0.3, 0.1, 1, -0.5, 0.2], [1, 0, 0, 0, 0, 0],
                                       [0.5, 0.1, 0, 2, -0.1, 0.05]]})";

INSTANTIATE_TEST_SUITE_P(
    Signals, ChunkBoundaries,
    ::testing::Values(
        SignalCase{"one_pulse_spans_several_chunks",
                   {shaped(3.0, 40.0, 0.0, 2, 1e-1, -3e-2, 0.11, 0.3, 1e-3)},
                   std::nullopt, "{}", false},
        SignalCase{"overlaps_add_in_gathered_order",
                   {shaped(9.0, 12.0, 3.0, 0, 2e-1, kNaN, 0.07, 0.0, 0.0),
                    pulse({{0.5, -0.25}, {1e16, 0.5}, {-1e16, 0.0}, {0.125, 1.0}}, 10.4, 0.2),
                    shaped(1.0, 20.0, 0.0, 4, kNaN, 7e-2, 0.31, 1.0, 2e-3),
                    pulse({{1.0, 0.0}, {-2.0, 3.0}}, 0.0)},
                   30, "{}", false},
        SignalCase{"dropped_and_nan_starts",
                   {pulse({{1.0, 0.0}, {2.0, 0.0}}, -0.5),
                    pulse({{3.0, 0.5}, {4.0, 0.5}, {5.0, 0.5}}, kNaN, 0.1),
                    shaped(2.0, 5.0, 0.0, 3, kNaN, kNaN, 0.2, 0.0, 0.0)},
                   12, "{}", true},
        SignalCase{"map_and_filter_state_cross_chunks",
                   {shaped(0.0, 25.0, 4.0, 2, 1e-1, -3e-2, 0.05, 0.2, 1e-3),
                    shaped(14.0, 9.0, 0.0, 0, kNaN, kNaN, 0.13, 0.0, 0.0)},
                   40, kMapAndFilter, true},
        SignalCase{"filter_disabled_map_only",
                   {shaped(0.0, 25.0, 4.0, 2, 1e-1, -3e-2, 0.05, 0.2, 1e-3)},
                   std::nullopt, kMapAndFilter, false},
        SignalCase{"no_pulses", {}, 9, kMapAndFilter, true},
        // Longer than a few render blocks (kBlockSamples): pulses, envelopes and
        // the filter state cross block boundaries inside a chunk.
        SignalCase{"pulses_cross_blocks",
                   {shaped(700.0, 2500.0, 300.0, 2, 1e-1, -3e-2, 0.05, 0.2, 1e-3),
                    shaped(1500.0, 1800.0, 0.0, 0, 2e-1, kNaN, 0.13, 0.0, 0.0),
                    shaped(0.0, 1100.0, 900.0, 4, kNaN, 7e-2, 0.31, 1.0, 2e-3),
                    pulse(std::vector<Complex>(3000, Complex{0.25, -0.5}), 1023.0, 0.07, 0.4,
                          1e-4)},
                   std::nullopt, kMapAndFilter, true}),
    [](const auto& info) { return std::string(info.param.what); });

// Random channels: every kind of envelope, starts before, inside and past the
// others, random chunk sizes.
TEST(ChunkBoundaries, RandomSignalsMatchTheWholeSignal) {
    std::mt19937_64 rng(12);
    auto uniform = [&](double lo, double hi) {
        return std::uniform_real_distribution<double>(lo, hi)(rng);
    };
    auto pick = [&](std::uint64_t n) { return std::uniform_int_distribution<std::uint64_t>(0, n - 1)(rng); };
    for (int round = 0; round < 200; ++round) {
        SignalCase c{"random", {}, std::nullopt, "{}", pick(2) == 1};
        const std::size_t pulses = pick(6);
        for (std::size_t p = 0; p < pulses; ++p) {
            const double t0 = uniform(-3.0, 60.0);
            const double f = uniform(0.0, 0.5), ph = uniform(-3.0, 3.0), delta = uniform(-0.01, 0.01);
            if (pick(3) == 0) {
                std::vector<Complex> env(1 + pick(30));
                for (Complex& v : env) v = Complex{uniform(-1, 1), pick(2) ? uniform(-1, 1) : 0.0};
                c.pulses.push_back(pulse(std::move(env), t0, f, ph, delta));
            } else {
                const double b1 = pick(2) ? uniform(0.05, 0.5) : kNaN;
                const double b2 = pick(2) ? uniform(-0.5, -0.05) : kNaN;
                c.pulses.push_back(shaped(t0, uniform(0.3, 50.0), pick(2) ? uniform(0.0, 20.0) : 0.0,
                                          static_cast<std::uint8_t>(pick(5)), b1, b2, f, ph, delta));
            }
        }
        if (pick(2)) c.count = pick(80);
        if (pick(2)) c.settings = kMapAndFilter;
        const ChannelSignal signal = signal_of(c);
        const std::size_t chunk = 1 + pick(std::min<std::uint64_t>(signal.length + 3, 70));
        const LaneBuild lanes = kLaneBuilds[pick(std::size(kLaneBuilds))];
        ASSERT_TRUE(same_samples(render_all(signal, chunk, lanes), whole_signal(c)))
            << "round " << round << ", chunk " << chunk << ", lanes " << static_cast<int>(lanes);
    }
}

// Filtering a signal piece by piece: each section's two state values carry over.
TEST(SosCascade, StateCarriesAcrossPieces) {
    const std::vector<SosSection> sections = {{0.2, 0.3, 0.1, 1.0, -0.5, 0.2},
                                              {1.0, 0.0, 0.0, 0.0, 0.0, 0.0},
                                              {0.5, 0.1, 0.0, 2.0, -0.1, 0.05}};
    std::vector<double> signal(23);
    for (std::size_t i = 0; i < signal.size(); ++i) signal[i] = std::sin(0.7 * static_cast<double>(i)) + (i == 4 ? 3.0 : 0.0);
    const std::vector<double> whole = sos_filter(signal, sections);
    for (const std::vector<std::size_t>& pieces :
         {std::vector<std::size_t>{1}, {2}, {5}, {22, 1}, {1, 22}, {3, 0, 7}}) {
        std::vector<double> samples = signal;
        SosCascade cascade(sections);
        std::size_t at = 0, k = 0;
        while (at < samples.size()) {
            const std::size_t n = std::min(pieces[k++ % pieces.size()], samples.size() - at);
            cascade.filter(std::span<double>(samples.data() + at, n));
            at += n;
        }
        EXPECT_TRUE(same_samples(samples, whole)) << pieces.size() << " " << pieces[0];
    }
}

// ---------------------------------------------------------------------------
// Map evaluation: every path of PchipEvaluator (four lanes for a few ascending
// knots, bisection for many, the scan otherwise) against pchip_value, bit for bit

struct MapCase {
    const char* what;
    std::vector<double> xs, ys;
};

void PrintTo(const MapCase& c, std::ostream* os) { *os << c.what; }

// Samples around every knot and the map's ends, every kind of special value, and
// a sweep across the range and beyond it.
std::vector<double> probe_samples(const std::vector<double>& xs) {
    std::vector<double> out = {0.0, -0.0, kInf, -kInf, kNaN, -kNaN,
                               std::bit_cast<double>(std::uint64_t{0x7ff4000000000123}),
                               1e308, -1e308, 5e-324};
    for (double x : xs) {
        out.insert(out.end(), {x, std::nextafter(x, kInf), std::nextafter(x, -kInf), x + 0.25,
                               x - 0.25, -x});
    }
    for (std::size_t k = 0; k + 1 < xs.size(); ++k) out.push_back(0.5 * xs[k] + 0.5 * xs[k + 1]);
    const double lo = xs.front(), hi = xs.back();
    if (std::isfinite(lo) && std::isfinite(hi)) {
        const double span = hi - lo;
        for (int i = -20; i <= 120; ++i) out.push_back(lo + span * (i / 100.0));
    }
    return out;
}

class PchipPaths : public ::testing::TestWithParam<MapCase> {};

TEST_P(PchipPaths, EveryPathGivesPchipValueBitForBit) {
    const MapCase& c = GetParam();
    const auto map = make_pchip_map(c.xs, c.ys);
    ASSERT_TRUE(map);
    const std::vector<double> samples = probe_samples(c.xs);
    std::vector<double> want(samples.size());
    for (std::size_t i = 0; i < samples.size(); ++i) want[i] = pchip_value(*map, samples[i]);
    // Every length up to a few groups of four, then all at once from each offset.
    for (const LaneBuild lanes : kLaneBuilds) {
        const PchipEvaluator evaluator(*map, lanes);
        for (std::size_t n = 1; n <= 9 && n <= samples.size(); ++n) {
            for (std::size_t at = 0; at + n <= samples.size(); at += n) {
                std::vector<double> got(samples.begin() + at, samples.begin() + at + n);
                evaluator.apply(got);
                ASSERT_TRUE(same_samples(got, std::vector<double>(want.begin() + at,
                                                                  want.begin() + at + n)))
                    << n << " samples from " << at << ", lanes " << static_cast<int>(lanes);
            }
        }
    }
    for (std::size_t at = 0; at < 4; ++at) {
        std::vector<double> got(samples.begin() + at, samples.end());
        pchip_eval_in_place(got, *map);
        ASSERT_TRUE(same_samples(got, std::vector<double>(want.begin() + at, want.end())))
            << "from " << at;
    }
}

std::vector<double> sine_knots(std::size_t n, double scale) {
    std::vector<double> out;
    for (std::size_t k = 0; k < n; ++k) out.push_back(std::sin(static_cast<double>(k) * scale));
    return out;
}

std::vector<double> ramp(std::size_t n, double step) {
    std::vector<double> out;
    for (std::size_t k = 0; k < n; ++k) out.push_back(static_cast<double>(k) * step - 1.0);
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Maps, PchipPaths,
    ::testing::Values(
        MapCase{"two_knots", {-1, 1}, {-0.8, 0.8}},
        MapCase{"five_knots", {-1, -0.5, 0, 0.5, 1}, {-0.8, -0.45, 0, 0.45, 0.8}},
        MapCase{"turning_values", {-1, -0.2, 0.3, 1}, {-0.9, 0.4, -0.1, 0.8}},
        MapCase{"sixteen_knots", ramp(16, 0.13), sine_knots(16, 0.7)},
        MapCase{"seventeen_knots", ramp(17, 0.13), sine_knots(17, 0.7)},
        MapCase{"fifty_knots", ramp(50, 0.041), sine_knots(50, 0.3)},
        MapCase{"equal_knots_first", {0, 0, 1, 2}, {3, 4, 5, 4}},
        MapCase{"equal_knots_inside", {0, 1, 2, 2, 3, 4}, {0, 1, 2, 3, 4, 5}},
        MapCase{"equal_knots_last", {0, 1, 1}, {1, 2, 3}},
        MapCase{"all_knots_equal", {1, 1, 1}, {1, 2, 3}},
        MapCase{"signed_zero_knots", {-0.0, 0.0, 1}, {2, -1, 1}},
        MapCase{"width_overflows", {-1.7e308, 1.7e308}, {0, 1}},
        MapCase{"huge_knots", {-1.7e308, 0, 1.7e308}, {-1, 0.5, 1}},
        MapCase{"infinite_knots", {-kInf, 0, kInf}, {1, 2, 3}},
        MapCase{"infinite_value", {0, 1, 2, 3}, {0, kInf, 1, 0}},
        MapCase{"nan_value", {0, 1, 2}, {0, kNaN, 1}},
        MapCase{"unordered_knots", {2, 0, 1}, {7, 8, 9}},
        MapCase{"nan_knot", {0, kNaN, 1}, {1, 2, 3}},
        MapCase{"descending_knots", {1, 0.5, 0, -1}, {1, 2, 3, 4}}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace velk
