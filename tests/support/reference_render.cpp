#include "reference_render.hpp"

#include <string>
#include <utility>

#include "numeric.hpp"

namespace velk {

std::vector<Complex> envelope_samples(const Envelope& envelope) {
    std::vector<Complex> out(static_cast<std::size_t>(envelope_length(envelope)));
    EnvelopeScratch scratch;
    envelope_values(envelope, 0, out, scratch);
    return out;
}

Expected<std::optional<std::vector<Complex>>, RunError> shaped_envelope(
    double amp, double width, double plateau, std::uint8_t shape, double block1,
    double block2, double sample_rate) {
    auto pulse = shaped_pulse(amp, width, plateau, shape, block1, block2, sample_rate);
    if (!pulse) return Unexpected(std::move(pulse).error());
    if (!*pulse) return std::optional<std::vector<Complex>>();
    return std::optional<std::vector<Complex>>(envelope_samples(Envelope(**pulse)));
}

std::vector<double> gradient(const std::vector<double>& v, double dx) {
    const std::uint64_t n = v.size();
    std::vector<double> out(v.size());
    const double r = 1.0 / dx;
    const double half_r = 0.5 * r;
    auto get = [&v](std::uint64_t i) { return v[static_cast<std::size_t>(i)]; };
    for (std::uint64_t k = 0; k < n; ++k) out[k] = slope_at(k, n, r, half_r, get);
    return out;
}

Expected<std::vector<double>, RunError> zero_buffer(std::uint64_t length) {
    if (length > kMaxBufferSamples) {
        // The limit's error, as buffer_length gives it.
        return Unexpected(buffer_length({}, 1.0, length).error());
    }
    return unless_out_of_memory(
        [&]() -> Expected<std::vector<double>, RunError> {
            return std::vector<double>(static_cast<std::size_t>(length), 0.0);
        },
        [&] {
            return Unexpected(RunError::message("Out of memory allocating a sample buffer of " +
                                                std::to_string(length) + " samples"));
        });
}

void render_pulses(std::vector<double>& buffer, const std::vector<Pulse>& pulses, double fs) {
    const double dt = 1.0 / fs;
    const LaneBuild lanes = runnable_lanes(LaneBuild::Best);
    std::vector<Complex> env;
    EnvelopeScratch scratch;
    for (const Pulse& p : pulses) {
        const auto place = place_pulse(p, fs, buffer.size());
        if (!place) continue;
        env.resize(static_cast<std::size_t>(place->end - place->start));
        envelope_values(p.envelope, 0, env, scratch, lanes);
        mix_pulse(p, 0, env, dt, buffer.data() + place->start, lanes);
    }
}

Expected<std::vector<double>, RunError> render_samples(std::vector<Pulse> pulses, double fs,
                                                       std::optional<std::uint64_t> sample_count) {
    auto length = buffer_length(pulses, fs, sample_count);
    if (!length) return Unexpected(std::move(length).error());
    auto buffer = zero_buffer(*length);
    if (!buffer) return buffer;
    render_pulses(*buffer, pulses, fs);
    return buffer;
}

void pchip_eval_in_place(std::span<double> samples, const PchipMap& map) {
    PchipEvaluator(map).apply(samples);
}

std::vector<double> pchip_eval(const std::vector<double>& samples, const PchipMap& map) {
    std::vector<double> out = samples;
    pchip_eval_in_place(out, map);
    return out;
}

void sos_filter_in_place(std::span<double> samples, const std::vector<SosSection>& sections) {
    SosCascade(sections).filter(samples);
}

std::vector<double> sos_filter(const std::vector<double>& samples,
                               const std::vector<SosSection>& sections) {
    std::vector<double> out = samples;
    sos_filter_in_place(out, sections);
    return out;
}

void apply_settings(std::vector<double>& samples, const Settings& settings, bool enable_iir) {
    const SampleSettings applied = sample_settings(settings, enable_iir);
    if (applied.map) pchip_eval_in_place(samples, *applied.map);
    if (applied.sos) sos_filter_in_place(samples, *applied.sos);
}

std::vector<double> render_all(const ChannelSignal& signal, std::size_t chunk_samples,
                               LaneBuild lanes) {
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(signal.length));
    ChunkRenderer renderer(signal, chunk_samples, lanes);
    for (auto chunk = renderer.next(); !chunk.empty(); chunk = renderer.next()) {
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

}  // namespace velk
