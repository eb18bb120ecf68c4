// The whole-signal renderer that the tests, the fuzz targets and the render
// benchmark compare the chunked renderer (ChunkRenderer) with: one buffer for the
// whole channel, every pulse mixed into it in turn over all its samples, then the
// "function" map and the "sos" cascade over all of it. It places, mixes, maps and
// filters through the product's own rules (place_pulse, mix_pulse, PchipEvaluator,
// SosCascade); only the order in which it walks the signal is its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "expected.hpp"
#include "program.hpp"
#include "run_error.hpp"
#include "waveform.hpp"

namespace velk {

// Every sample of the envelope.
std::vector<Complex> envelope_samples(const Envelope& envelope);

// The envelope of a shaped pulse (shaped_pulse) with all its samples.
Expected<std::optional<std::vector<Complex>>, RunError> shaped_envelope(
    double amp, double width, double plateau, std::uint8_t shape, double block1,
    double block2, double sample_rate);

// Numerical derivative with spacing dx: one-sided at the ends, central inside.
std::vector<double> gradient(const std::vector<double>& v, double dx);

// A zero-filled buffer of `length` samples, or the buffer limit's error.
Expected<std::vector<double>, RunError> zero_buffer(std::uint64_t length);

// Mixes every pulse with its carrier and adds its real part into `buffer`, in
// the given order. A pulse that starts before sample 0 or at/after the end of the
// buffer is dropped whole; one that runs past the end is cut there (place_pulse).
void render_pulses(std::vector<double>& buffer, const std::vector<Pulse>& pulses, double fs);

// Sizes one buffer for the whole channel and renders the pulses into it.
Expected<std::vector<double>, RunError> render_samples(std::vector<Pulse> pulses, double fs,
                                                       std::optional<std::uint64_t> sample_count);

// The map's value at every sample (a NaN sample maps like xs[0]).
std::vector<double> pchip_eval(const std::vector<double>& samples, const PchipMap& map);
void pchip_eval_in_place(std::span<double> samples, const PchipMap& map);

// The samples through the cascade, section by section, from a zero state.
std::vector<double> sos_filter(const std::vector<double>& samples,
                               const std::vector<SosSection>& sections);
void sos_filter_in_place(std::span<double> samples, const std::vector<SosSection>& sections);

// Applies the module's "function" map and, when `enable_iir`, its "sos" cascade
// to the whole signal.
void apply_settings(std::vector<double>& samples, const Settings& settings, bool enable_iir);

// Every sample of the signal, rendered by ChunkRenderer in chunks of
// `chunk_samples` and gathered in one vector.
std::vector<double> render_all(const ChannelSignal& signal,
                               std::size_t chunk_samples = kChunkSamples,
                               LaneBuild lanes = LaneBuild::Best);

}  // namespace velk
