// Waveforms of a channel run: shaped envelopes with their DRAG correction, the
// rendering of pulses into samples, and the two optional post-processing settings
// of a module (the "function" sample map and the "sos" filter cascade). The
// whole-signal renderer that the tests compare this one with is in tests/support.
//
// A channel is rendered chunk by chunk (ChunkRenderer): pulses keep the parameters
// of their envelopes, whose values are computed for the samples of the chunk at
// hand, and the filter state carries over from one chunk to the next. Every sample
// gets the arithmetic, in the order, of one pass over the whole signal, so the
// chunk size never changes a bit of the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "expected.hpp"
#include "numeric.hpp"
#include "program.hpp"
#include "run_error.hpp"

namespace velk {

// Limits of one channel run. A request beyond either ends the run with an error
// that names the limit, before the channel's files are created.
//
// Samples of one shaped-pulse envelope: 2^27. An infinite or huge width + plateau
// asks for more and is refused.
inline constexpr std::uint64_t kMaxEnvelopeSamples = std::uint64_t{1} << 27;
// Samples of one channel: 2^28 f64 samples, a 2 GiB file. A huge sample_count, or
// a pulse whose start t0 * sample_rate is huge, asks for more and is refused.
inline constexpr std::uint64_t kMaxBufferSamples = std::uint64_t{1} << 28;

// Samples rendered at a time when a channel is written: 64 Ki (512 KiB).
inline constexpr std::size_t kChunkSamples = std::size_t{1} << 16;
// Samples of a chunk that go through all the rendering steps at a time: 1 Ki, so
// that the samples, their envelope values and carrier angles (32 KiB) stay in
// the first-level cache.
inline constexpr std::size_t kBlockSamples = std::size_t{1} << 10;

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// The build of the lane passes (LaneBuild, numeric.hpp) that the processor runs:
// `wanted`, or the best one below it that the processor has.
LaneBuild runnable_lanes(LaneBuild wanted);

// Shape codes of a ShapedPulse; every code other than 2, 3 and 4 is a cosine edge.
enum class PulseShape : std::uint8_t { Cosine = 0, Gaussian = 2, Square = 3, Sech = 4 };
PulseShape pulse_shape(std::uint8_t code);

// The envelope of a shaped pulse, kept as its parameters and the quantities its
// values are computed from, derived once. Its values are computed on demand for
// any range of its samples (envelope_values).
struct ShapedEnvelope {
    double amp = 0.0;
    PulseShape shape = PulseShape::Cosine;
    std::uint64_t length = 0;  // samples, 1 ..= kMaxEnvelopeSamples
    double dt = 0.0;           // 1 / sample rate
    double half = 0.0;         // half the total length, in seconds
    double hp = 0.0;           // half the plateau (at least 0)
    double hw = 0.0;           // half the width (at least 0)
    double sigma = 0.0;        // the Gaussian's width
    double edge = 0.0;         // hw + hp
    // DRAG terms: with 0 the envelope is real; 1 puts scale * d/dt of the shape
    // into the imaginary part; 2 also subtracts second_scale * d2/dt2 from the
    // real part.
    std::uint8_t drag_terms = 0;
    double scale = 0.0;
    double second_scale = 0.0;
};

// A sampled waveform of the module times its amplitude, its samples the elements
// of a DATA array as the waveform plays them (played_sample): a real sample x
// gives (x * a, 0), a complex one (re * a, im * a). The array is the module's,
// which outlives the pulses of its run.
struct RealSamples {
    DataView samples;
    double amplitude = 0.0;
};
struct ComplexSamples {
    DataView samples;
    double amplitude = 0.0;
};

// Where the baseband envelope of a pulse comes from (never empty).
using Envelope = std::variant<ShapedEnvelope, RealSamples, ComplexSamples>;

std::uint64_t envelope_length(const Envelope& envelope);

// Reused storage for the neighbouring values that the DRAG derivatives need.
struct EnvelopeScratch {
    std::vector<double> shape;
    std::vector<double> slope;
};

// Writes the envelope's samples first .. first + out.size() - 1 (all inside the
// envelope) into `out`: bit for bit the values of the whole envelope at those
// indices, its derivatives one-sided at the envelope's ends and central inside.
void envelope_values(const Envelope& envelope, std::uint64_t first, std::span<Complex> out,
                     EnvelopeScratch& scratch, LaneBuild lanes = LaneBuild::Best);

// One emitted pulse: its baseband envelope (already scaled by the amplitude), the
// start time on the thread's clock, and the carrier frequency, phase and linear
// frequency offset `delta` that mix it into the channel.
struct Pulse {
    Envelope envelope;
    double t0 = 0.0;
    double frequency = 0.0;
    double phase = 0.0;
    double delta = 0.0;
};

// The envelope of a shaped pulse whose fields are resolved. No value (nullopt)
// when the pulse yields nothing: a total length of zero or less, a sample rate of
// zero or less, or an amplitude of zero. `block1` / `block2` are the DRAG
// parameters, NaN when absent. An envelope longer than kMaxEnvelopeSamples is an
// error.
Expected<std::optional<ShapedEnvelope>, RunError> shaped_pulse(double amp, double width,
                                                               double plateau, std::uint8_t shape,
                                                               double block1, double block2,
                                                               double sample_rate);

// Sample index of a start time: t0 * fs rounded half away from zero, saturated to
// the signed 64-bit range; NaN gives 0.
std::int64_t start_index(double t0, double fs);

// The samples of a channel that a pulse covers: [start, end).
struct Placement {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

// Where a pulse lands in a channel of `length` samples: from its start index
// (start_index) for its envelope's length, cut at the channel's end. None when it
// starts before sample 0 or at or after the end: such a pulse is dropped whole.
std::optional<Placement> place_pulse(const Pulse& pulse, double fs, std::uint64_t length);

// Length of the channel's samples: at least 1, at least every pulse's end
// (pulses starting before sample 0 do not count), at least `sample_count`. A
// length beyond kMaxBufferSamples is an error.
Expected<std::size_t, RunError> buffer_length(const std::vector<Pulse>& pulses, double fs,
                                              std::optional<std::uint64_t> sample_count);

// Adds the pulse's samples k0 .. k0 + env.size() - 1, whose envelope values are
// `env`, mixed with the carrier (the real part), into dst[0 .. env.size() - 1].
// `lanes` from runnable_lanes.
void mix_pulse(const Pulse& pulse, std::uint64_t k0, std::span<const Complex> env, double dt,
               double* dst, LaneBuild lanes);

// The numbers of a JSON list as f64 (integers converted to the nearest float);
// every other element is skipped.
std::vector<double> collect_json_numbers(const Json& values);

// Piecewise cubic Hermite map through the knots (xs[k], ys[k]) with
// shape-preserving slopes.
struct PchipMap {
    std::vector<double> xs;
    std::vector<double> ys;
    std::vector<double> slopes;
};

// The map through the knots, with its slopes computed; nullopt unless there are
// at least two knots and as many values as abscissae.
std::optional<PchipMap> make_pchip_map(std::vector<double> xs, std::vector<double> ys);

// The map of a "function" setting: an array of two arrays (abscissae, values);
// nullopt when the setting is malformed.
std::optional<PchipMap> pchip_from_setting(const Json& setting);

// The map's value at one sample: the sample clamped to [xs[0], xs.back()], then
// the Hermite cubic of the first interval [xs[j], xs[j + 1]] that holds it (the
// first interval when none does), or ys[j] for an interval of width zero. Every
// evaluation gives exactly this value; the evaluator below gets it faster.
double pchip_value(const PchipMap& map, double sample);

// A map set up once for many samples (a channel's blocks). When the abscissae
// ascend (no NaN), the interval of a sample is the count of knots below it, so
// the search needs no branches: for a few knots it goes several samples at a
// time, selecting each interval's terms lane by lane; for more a bisection finds
// it. Other knots take the scan of pchip_value. The values are pchip_value's,
// bit for bit. The map must outlive the evaluator.
class PchipEvaluator {
public:
    explicit PchipEvaluator(const PchipMap& map, LaneBuild lanes = LaneBuild::Best);
    void apply(std::span<double> samples) const;

    // The terms of the cubic on one interval [x, x + w]: end values and slopes.
    struct Interval {
        double x, w, y0, y1, m0, m1;
    };

private:
    const PchipMap& map_;
    LaneBuild lanes_;
    bool ascending_ = false;
    std::vector<Interval> intervals_;  // when ascending: interval j at index j
};

// One second-order IIR section: numerator b0, b1, b2, denominator a0, a1, a2.
struct SosSection {
    double b0 = 0.0, b1 = 0.0, b2 = 0.0, a0 = 0.0, a1 = 0.0, a2 = 0.0;
};

// The sections of a "sos" setting. nullopt (no filtering) when the setting is not
// an array, is empty, has an element that is not an array or a six-element
// section with a non-number, or has no six-element section at all. Sections of
// another length are skipped.
std::optional<std::vector<SosSection>> sos_from_setting(const Json& setting);

// The cascade of sections as a running filter (transposed direct form II): each
// section keeps its two state values from one call to the next, so filtering a
// signal piece by piece gives the bits of filtering it whole. A section with
// a0 == 0 passes the signal through.
class SosCascade {
public:
    explicit SosCascade(const std::vector<SosSection>& sections);
    void filter(std::span<double> samples);
    // One sample through every section in turn: the steps filter() takes for it.
    // Defined here so that the loops that take one step at a time inline it.
    double step(double x) {
        for (Stage& st : stages_) {
            x = SectionStep{st.b0, st.b1, st.b2, st.a1, st.a2}(x, st.z1, st.z2);
        }
        return x;
    }

private:
    // One sample through one section, the transposed direct form II step: the
    // section's coefficients (divided by a0), its state in z1 and z2. Every
    // filtering step of the cascade is this one; filter() holds the coefficients
    // and the state in locals while it runs.
    struct SectionStep {
        double b0, b1, b2, a1, a2;
        double operator()(double x, double& z1, double& z2) const {
            const double y = b0 * x + z1;
            z1 = (b1 * x - a1 * y) + z2;
            z2 = b2 * x - a2 * y;
            return y;
        }
    };
    struct Stage {
        double b0, b1, b2, a1, a2;  // divided by a0
        double z1 = 0.0, z2 = 0.0;
    };
    std::vector<Stage> stages_;
};

// What a module's settings do to a channel's samples: the "function" map, then,
// when the channel enables it, the "sos" cascade. Malformed settings do nothing.
struct SampleSettings {
    std::optional<PchipMap> map;
    std::optional<std::vector<SosSection>> sos;
};
SampleSettings sample_settings(const Settings& settings,
                               bool enable_iir);

// What a channel run leaves to render: the pulses in gathered order, the
// channel's length (within kMaxBufferSamples), its sample rate and settings.
struct ChannelSignal {
    std::vector<Pulse> pulses;
    std::uint64_t length = 1;
    double sample_rate = 0.0;
    SampleSettings settings;
};

// Produces a channel's samples chunk by chunk into one reused buffer. A chunk is
// made block by block (kBlockSamples): each block zeroed, the pulses that overlap
// it added in gathered order, then mapped and filtered. The signal must outlive
// the renderer. Allocates only at construction.
class ChunkRenderer {
public:
    explicit ChunkRenderer(const ChannelSignal& signal,
                           std::size_t chunk_samples = kChunkSamples,
                           LaneBuild lanes = LaneBuild::Best);

    // The next chunk (at most chunk_samples samples), valid until the next call;
    // empty once the channel is complete.
    std::span<const double> next();

    // Samples handed out so far.
    std::uint64_t position() const { return position_; }

private:
    void render_block(std::uint64_t first, std::size_t count, double* out);
    void add_pulse(const Pulse& pulse, std::uint64_t k0, std::size_t count, double dt,
                   double* dst);
    void finish_filter();

    const ChannelSignal& signal_;
    std::size_t chunk_;
    LaneBuild lanes_;
    std::uint64_t position_ = 0;
    std::vector<Placement> placements_;     // by pulse; end == start for dropped pulses
    std::vector<std::size_t> by_start_;     // pulses that are kept, by ascending start
    std::size_t next_start_ = 0;            // first of by_start_ not yet active
    std::vector<std::size_t> active_;       // pulses overlapping the chunk, gathered order
    std::optional<PchipEvaluator> map_;
    std::optional<SosCascade> sos_;
    std::vector<double> samples_;
    std::vector<Complex> envelope_;         // one block's envelope values
    // Samples of the last rendered block still to be filtered (see render_block).
    double* unfiltered_ = nullptr;
    double* unfiltered_end_ = nullptr;
    EnvelopeScratch scratch_;
};

}  // namespace velk
