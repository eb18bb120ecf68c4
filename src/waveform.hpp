// Waveforms of a channel run: shaped envelopes with their DRAG correction, the
// rendering of pulses into the sample buffer, and the two optional post-processing
// settings of a module (the "function" sample map and the "sos" filter cascade).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "expected.hpp"
#include "program.hpp"
#include "run_error.hpp"

namespace velk {

// Limits of one channel run. A request beyond either ends the run with an error
// that names the limit; the check comes before anything is allocated.
//
// Samples of one shaped-pulse envelope: 2^27 complex samples, 2 GiB. An infinite
// or huge width + plateau asks for more and is refused.
inline constexpr std::uint64_t kMaxEnvelopeSamples = std::uint64_t{1} << 27;
// Samples of one channel's buffer: 2^28 f64 samples, 2 GiB. A huge sample_count,
// or a pulse whose start t0 * sample_rate is huge, asks for more and is refused.
inline constexpr std::uint64_t kMaxBufferSamples = std::uint64_t{1} << 28;

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kTwoPi = 6.283185307179586;

// One emitted pulse: its baseband envelope (already scaled by the amplitude,
// never empty), the start time on the thread's clock, and the carrier frequency,
// phase and linear frequency offset `delta` that mix it into the channel.
struct Pulse {
    std::vector<Complex> envelope;
    double t0 = 0.0;
    double frequency = 0.0;
    double phase = 0.0;
    double delta = 0.0;
};

// Shape codes of a ShapedPulse; every code other than 2, 3 and 4 is a cosine edge.
enum class PulseShape : std::uint8_t { Cosine = 0, Gaussian = 2, Square = 3, Sech = 4 };
PulseShape pulse_shape(std::uint8_t code);

// The envelope of a shaped pulse whose fields are resolved. No value (nullopt)
// when the pulse yields nothing: a total length of zero or less, a sample rate of
// zero or less, or an amplitude of zero. `block1` / `block2` are the DRAG
// parameters, NaN when absent. An envelope longer than kMaxEnvelopeSamples is an
// error.
Expected<std::optional<std::vector<Complex>>, RunError> shaped_envelope(
    double amp, double width, double plateau, std::uint8_t shape, double block1,
    double block2, double sample_rate);

// Numerical derivative with spacing dx: one-sided at the ends, central inside.
std::vector<double> gradient(const std::vector<double>& v, double dx);

// Sample index of a start time: t0 * fs rounded half away from zero, saturated to
// the signed 64-bit range; NaN gives 0.
std::int64_t start_index(double t0, double fs);

// Length of the sample buffer for the pulses: at least 1, at least every pulse's
// end (pulses starting before sample 0 do not count), at least `sample_count`.
// A length beyond kMaxBufferSamples is an error.
Expected<std::size_t, RunError> buffer_length(const std::vector<Pulse>& pulses, double fs,
                                              std::optional<std::uint64_t> sample_count);

// A zero-filled buffer of `length` samples, or the buffer limit's error.
Expected<std::vector<double>, RunError> zero_buffer(std::uint64_t length);

// Mixes every pulse with its carrier and adds its real part into `buffer`, in
// the given order. A pulse that starts before sample 0 or at/after the end of the
// buffer is dropped whole; one that runs past the end is cut there.
void render_pulses(std::vector<double>& buffer, const std::vector<Pulse>& pulses, double fs);

// Sizes the buffer for the pulses, renders them and releases them.
Expected<std::vector<double>, RunError> render_samples(std::vector<Pulse> pulses, double fs,
                                                       std::optional<std::uint64_t> sample_count);

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

// The map's value at every sample (a NaN sample maps like xs[0]).
std::vector<double> pchip_eval(const std::vector<double>& samples, const PchipMap& map);
void pchip_eval_in_place(std::span<double> samples, const PchipMap& map);

// One second-order IIR section: numerator b0, b1, b2, denominator a0, a1, a2.
struct SosSection {
    double b0 = 0.0, b1 = 0.0, b2 = 0.0, a0 = 0.0, a1 = 0.0, a2 = 0.0;
};

// The sections of a "sos" setting. nullopt (no filtering) when the setting is not
// an array, is empty, has an element that is not an array or a six-element
// section with a non-number, or has no six-element section at all. Sections of
// another length are skipped.
std::optional<std::vector<SosSection>> sos_from_setting(const Json& setting);

// The samples through the cascade, section by section (transposed direct form
// II). A section with a0 == 0 passes the signal through.
std::vector<double> sos_filter(const std::vector<double>& samples,
                               const std::vector<SosSection>& sections);
void sos_filter_in_place(std::span<double> samples, const std::vector<SosSection>& sections);

// Applies the module's "function" map and, when `enable_iir`, its "sos" cascade;
// malformed settings are ignored.
void apply_settings(std::vector<double>& samples,
                    const std::unordered_map<std::string, Json>& settings, bool enable_iir);

}  // namespace velk
