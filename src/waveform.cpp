#include "waveform.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "numeric.hpp"

namespace velk {

namespace {

// An f64 count saturated to the u64 range (NaN and negatives give 0).
std::uint64_t saturating_count(double n) {
    if (!(n > 0.0)) return 0;
    if (n >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(n);
}

// put(k, slope_at(k, n, r, half_r, get)) for k = first .. last - 1 in order: the
// ends of the n values through slope_at, the run between them in a loop without
// its branches, with the arithmetic of its central case.
template <class Get, class Put>
void for_each_slope(std::uint64_t first, std::uint64_t last, std::uint64_t n, double r,
                    double half_r, Get get, Put put) {
    const std::uint64_t inner = std::min(std::max<std::uint64_t>(first, 1), last);
    const std::uint64_t outer = std::max(inner, std::min(last, n - 1));
    for (std::uint64_t k = first; k < inner; ++k) put(k, slope_at(k, n, r, half_r, get));
    for (std::uint64_t k = inner; k < outer; ++k) put(k, (get(k + 1) - get(k - 1)) * half_r);
    for (std::uint64_t k = outer; k < last; ++k) put(k, slope_at(k, n, r, half_r, get));
}

RunError buffer_limit_error(std::uint64_t length) {
    return RunError::message("Sample buffer of " + std::to_string(length) +
                             " samples exceeds the limit of " +
                             std::to_string(kMaxBufferSamples) + " samples per channel");
}

// The arguments of the std::cos and std::exp calls of the shapes at samples k
// (lanes of whole numbers), at u = |k dt - half| from the envelope's middle: one
// kernel per shape, for fill_indexed.
struct CosineArgument {
    double dt, half, hp, hw;
    template <class T>
    [[gnu::always_inline]] T operator()(const T& k) const {
        return ((magnitude(k * dt - half) - hp) / hw) * kPi;
    }
};
struct GaussianArgument {
    double dt, half, hp, sigma;
    template <class T>
    [[gnu::always_inline]] T operator()(const T& k) const {
        const T x = (magnitude(k * dt - half) - hp) / sigma;
        return (x * x) * -0.5;
    }
};
struct SechArgument {
    double dt, half, hp;
    template <class T>
    [[gnu::always_inline]] T operator()(const T& k) const {
        return (magnitude(k * dt - half) - hp) * 10.0;
    }
};

// The shape times the amplitude at the envelope's samples lo .. hi - 1, into dst.
//
// Where a shape calls std::cos or std::exp, the calls' arguments are computed
// first, into dst, several at a time (fill_indexed), as the carrier angles are
// (see mix_pulse_beside): each call then starts from a loaded value instead of waiting
// for the division and the other operations that make it. The second loop takes
// the same branch per sample as one loop would.
void shape_values(const ShapedEnvelope& e, std::uint64_t lo, std::uint64_t hi, double* dst,
                  LaneBuild lanes) {
    const double dt = e.dt, half = e.half, amp = e.amp;
    const double hp = e.hp, hw = e.hw, sigma = e.sigma, edge = e.edge;
    // k < 2^53: the signed conversion gives the same double.
    auto at = [&](std::uint64_t k) {
        return std::fabs(static_cast<double>(static_cast<std::int64_t>(k)) * dt - half);
    };
    const std::size_t n = static_cast<std::size_t>(hi - lo);
    switch (e.shape) {
        case PulseShape::Cosine:
            if (hw <= 0.0) {
                for (std::size_t i = 0; i < n; ++i) dst[i] = 1.0 * amp;
                break;
            }
            fill_indexed(lanes, lo, n, dst, CosineArgument{dt, half, hp, hw});
            for (std::size_t i = 0; i < n; ++i) {
                const double u = at(lo + i);
                double s;
                if (u <= hp) s = 1.0;
                else if (u >= edge) s = 0.0;
                else s = (std::cos(dst[i]) + 1.0) * 0.5;
                dst[i] = s * amp;
            }
            break;
        case PulseShape::Gaussian:
            fill_indexed(lanes, lo, n, dst, GaussianArgument{dt, half, hp, sigma});
            for (std::size_t i = 0; i < n; ++i) {
                const double s = at(lo + i) <= hp ? 1.0 : std::exp(dst[i]);
                dst[i] = s * amp;
            }
            break;
        case PulseShape::Square:
            for (std::size_t i = 0; i < n; ++i) dst[i] = 1.0 * amp;
            break;
        case PulseShape::Sech:
            fill_indexed(lanes, lo, n, dst, SechArgument{dt, half, hp});
            for (std::size_t i = 0; i < n; ++i) {
                const double x = dst[i];
                const double s = at(lo + i) <= hp ? 1.0 : 2.0 / (std::exp(-x) + std::exp(x));
                dst[i] = s * amp;
            }
            break;
    }
}

// The shaped envelope's samples first .. first + out.size() - 1. The DRAG terms
// need the shape one sample (first derivative) or two samples (second) beyond
// the range on each side, where the envelope has them.
void shaped_values(const ShapedEnvelope& e, std::uint64_t first, std::span<Complex> out,
                   EnvelopeScratch& scratch, LaneBuild lanes) {
    const std::uint64_t n = e.length;
    const std::uint64_t last = first + out.size();
    const std::uint64_t margin = e.drag_terms;
    const std::uint64_t lo = first - std::min(first, margin);
    const std::uint64_t hi = std::min(n, last + margin);
    scratch.shape.resize(static_cast<std::size_t>(hi - lo));
    shape_values(e, lo, hi, scratch.shape.data(), lanes);
    const double* const shape = scratch.shape.data();
    auto base = [shape, lo](std::uint64_t k) { return shape[k - lo]; };

    if (e.drag_terms == 0) {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = Complex{base(first + i), 0.0};
        return;
    }
    const double r = 1.0 / e.dt;
    const double half_r = 0.5 * r;
    if (e.drag_terms == 1) {
        for_each_slope(first, last, n, r, half_r, base, [&](std::uint64_t k, double d) {
            out[k - first] = Complex{base(k), d * e.scale};
        });
        return;
    }
    const std::uint64_t slo = first - std::min<std::uint64_t>(first, 1);
    const std::uint64_t shi = std::min(n, last + 1);
    scratch.slope.resize(static_cast<std::size_t>(shi - slo));
    double* const slope = scratch.slope.data();
    for_each_slope(slo, shi, n, r, half_r, base,
                   [slope, slo](std::uint64_t k, double d) { slope[k - slo] = d; });
    auto d = [slope, slo](std::uint64_t k) { return slope[k - slo]; };
    for_each_slope(first, last, n, r, half_r, d, [&](std::uint64_t k, double dd) {
        out[k - first] = Complex{base(k) - dd * e.second_scale, d(k) * e.scale};
    });
}

// The carrier angles of a pulse's samples k (lanes of whole numbers).
struct CarrierAngle {
    double dt, t0, frequency, delta, phase;
    template <class T>
    [[gnu::always_inline]] T operator()(const T& k) const {
        const T tau = k * dt;
        return (((tau + t0) * frequency) + (delta * tau)) * kTwoPi + phase;
    }
};

// Adds the pulse's samples k0 .. k0 + count - 1, their envelope values given in
// `env`, mixed with the carrier, into dst[0 .. count - 1]. `beside()` is called
// once per sample, after its sin and cos calls: work that does not depend on
// them (the chunk renderer's filter steps) runs while the calls occupy the
// processor.
//
// The carrier angles of a piece of samples are computed first, in a loop of
// their own: each sin and cos call then starts from a loaded angle instead of
// waiting for the chain of seven operations that makes it, and the calls, which
// dominate the cost, follow each other more closely.
template <class Beside>
void mix_pulse_beside(const Pulse& p, std::uint64_t k0, const Complex* env, std::size_t count,
                      double dt, double* dst, LaneBuild lanes, Beside beside) {
    const CarrierAngle angle{dt, p.t0, p.frequency, p.delta, p.phase};
    double theta[kBlockSamples];
    for (std::size_t at = 0; at < count; at += kBlockSamples) {
        const std::size_t n = std::min(kBlockSamples, count - at);
        fill_indexed(lanes, k0 + at, n, theta, angle);
        for (std::size_t i = 0; i < n; ++i) {
            const double c = std::cos(theta[i]);
            const double sn = std::sin(theta[i]);
            dst[at + i] += env[at + i].re * c - env[at + i].im * sn;
            beside();
        }
    }
}

}  // namespace

LaneBuild runnable_lanes(LaneBuild wanted) {
#if defined(__x86_64__)
    const bool avx2 = __builtin_cpu_supports("avx2");
    const bool avx512 = __builtin_cpu_supports("avx512f");
    if (wanted == LaneBuild::Best) wanted = LaneBuild::Avx512;
    if (wanted == LaneBuild::Avx512 && !avx512) wanted = LaneBuild::Avx2;
    if (wanted == LaneBuild::Avx2 && !avx2) wanted = LaneBuild::Baseline;
    return wanted;
#else
    (void)wanted;
    return LaneBuild::Baseline;
#endif
}

PulseShape pulse_shape(std::uint8_t code) {
    switch (code) {
        case 2: return PulseShape::Gaussian;
        case 3: return PulseShape::Square;
        case 4: return PulseShape::Sech;
        default: return PulseShape::Cosine;
    }
}

std::uint64_t envelope_length(const Envelope& envelope) {
    if (const auto* shaped = std::get_if<ShapedEnvelope>(&envelope)) return shaped->length;
    const DataView& samples = std::holds_alternative<RealSamples>(envelope)
                                  ? std::get<RealSamples>(envelope).samples
                                  : std::get<ComplexSamples>(envelope).samples;
    return std::visit([](const auto& values) { return values.size(); }, samples);
}

void envelope_values(const Envelope& envelope, std::uint64_t first, std::span<Complex> out,
                     EnvelopeScratch& scratch, LaneBuild lanes) {
    if (const auto* shaped = std::get_if<ShapedEnvelope>(&envelope)) {
        shaped_values(*shaped, first, out, scratch, runnable_lanes(lanes));
    } else if (const auto* real = std::get_if<RealSamples>(&envelope)) {
        const double a = real->amplitude;
        std::visit(
            [&](const auto& values) {
                const auto* const x = values.data() + first;
                for (std::size_t i = 0; i < out.size(); ++i)
                    out[i] = Complex{played_sample<double>(x[i]) * a, 0.0};
            },
            real->samples);
    } else {
        const auto& samples = std::get<ComplexSamples>(envelope);
        const double a = samples.amplitude;
        std::visit(
            [&](const auto& values) {
                const auto* const x = values.data() + first;
                for (std::size_t i = 0; i < out.size(); ++i) {
                    const Complex c = played_sample<Complex>(x[i]);
                    out[i] = Complex{c.re * a, c.im * a};
                }
            },
            samples.samples);
    }
}

Expected<std::optional<ShapedEnvelope>, RunError> shaped_pulse(double amp, double width,
                                                               double plateau, std::uint8_t shape,
                                                               double block1, double block2,
                                                               double sample_rate) {
    const double total = width + plateau;
    // Skip rules. A NaN total or amplitude does not skip.
    if (0.0 >= total) return std::optional<ShapedEnvelope>();
    if (0.0 >= sample_rate) return std::optional<ShapedEnvelope>();
    if (amp == 0.0) return std::optional<ShapedEnvelope>();

    const double count = nan_max(std::ceil(total * sample_rate), 1.0);
    if (count > static_cast<double>(kMaxEnvelopeSamples)) {
        return Unexpected(RunError::message(
            "Shaped pulse of " + std::to_string(saturating_count(count)) +
            " samples exceeds the limit of " + std::to_string(kMaxEnvelopeSamples) +
            " samples per envelope"));
    }
    ShapedEnvelope e;
    e.amp = amp;
    e.shape = pulse_shape(shape);
    e.length = static_cast<std::uint64_t>(count);
    e.dt = 1.0 / sample_rate;
    e.half = total * 0.5;
    e.hp = nan_max(plateau * 0.5, 0.0);
    e.hw = nan_max(width * 0.5, 0.0);
    e.sigma = nan_max(width / 6.0, 1e-15);
    e.edge = e.hw + e.hp;

    // DRAG: B holds 2*pi*block1 and/or 2*pi*block2, in that order, when not NaN.
    double b[2];
    std::uint8_t nb = 0;
    if (!std::isnan(block1)) b[nb++] = kTwoPi * block1;
    if (!std::isnan(block2)) b[nb++] = kTwoPi * block2;
    e.drag_terms = nb;
    if (nb >= 1) e.scale = 1.0 / b[0];
    if (nb == 2) {
        e.scale = e.scale + 1.0 / b[1];
        e.second_scale = 1.0 / (b[0] * b[1]);
    }
    return std::optional<ShapedEnvelope>(e);
}

std::int64_t start_index(double t0, double fs) {
    const double x = std::round(t0 * fs);
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

std::optional<Placement> place_pulse(const Pulse& pulse, double fs, std::uint64_t length) {
    const std::int64_t s = start_index(pulse.t0, fs);
    if (s < 0 || static_cast<std::uint64_t>(s) >= length) return std::nullopt;
    const auto start = static_cast<std::uint64_t>(s);
    return Placement{start, start + std::min(envelope_length(pulse.envelope), length - start)};
}

Expected<std::size_t, RunError> buffer_length(const std::vector<Pulse>& pulses, double fs,
                                              std::optional<std::uint64_t> sample_count) {
    // In a channel without end no pulse is cut: s < 2^63 and the envelope length
    // is far below 2^63, so its end needs no cut either.
    constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t needed = 1;
    for (const Pulse& p : pulses) {
        if (const auto place = place_pulse(p, fs, kNoEnd)) needed = std::max(needed, place->end);
    }
    const std::uint64_t length = sample_count ? std::max(*sample_count, needed) : needed;
    if (length > kMaxBufferSamples) return Unexpected(buffer_limit_error(length));
    return static_cast<std::size_t>(length);
}

void mix_pulse(const Pulse& pulse, std::uint64_t k0, std::span<const Complex> env, double dt,
               double* dst, LaneBuild lanes) {
    mix_pulse_beside(pulse, k0, env.data(), env.size(), dt, dst, lanes, [] {});
}

// ---------------------------------------------------------------------------
// Chunked rendering

ChunkRenderer::ChunkRenderer(const ChannelSignal& signal, std::size_t chunk_samples,
                             LaneBuild lanes)
    : signal_(signal), chunk_(std::max<std::size_t>(chunk_samples, 1)),
      lanes_(runnable_lanes(lanes)) {
    const double fs = signal.sample_rate;
    const std::uint64_t length = signal.length;
    placements_.reserve(signal.pulses.size());
    for (std::size_t i = 0; i < signal.pulses.size(); ++i) {
        const auto place = place_pulse(signal.pulses[i], fs, length);
        placements_.push_back(place.value_or(Placement{0, 0}));  // {0, 0}: dropped whole
        if (place) by_start_.push_back(i);
    }
    std::stable_sort(by_start_.begin(), by_start_.end(), [this](std::size_t a, std::size_t b) {
        return placements_[a].start < placements_[b].start;
    });
    active_.reserve(by_start_.size());
    if (signal.settings.sos) sos_.emplace(*signal.settings.sos);
    if (signal.settings.map) map_.emplace(*signal.settings.map, lanes_);
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, length));
    samples_.resize(size);
    const std::size_t block = std::min(size, kBlockSamples);
    envelope_.resize(block);
    scratch_.shape.reserve(block + 4);
    scratch_.slope.reserve(block + 2);
}

std::span<const double> ChunkRenderer::next() {
    const std::uint64_t length = signal_.length;
    if (position_ >= length) return {};
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, length - position_));
    const std::uint64_t first = position_;
    const std::uint64_t end = first + count;

    // The pulses that overlap [first, end), in gathered order.
    std::erase_if(active_, [&](std::size_t i) { return placements_[i].end <= first; });
    bool added = false;
    while (next_start_ < by_start_.size() && placements_[by_start_[next_start_]].start < end) {
        active_.push_back(by_start_[next_start_++]);
        added = true;
    }
    if (added) std::sort(active_.begin(), active_.end());

    double* const out = samples_.data();
    for (std::size_t at = 0; at < count; at += kBlockSamples) {
        render_block(first + at, std::min(kBlockSamples, count - at), out + at);
    }
    finish_filter();
    position_ = end;
    return {out, count};
}

// One block goes through every step (pulses, map, filter) while it is in the
// first-level cache, instead of each step streaming the whole chunk through
// memory. The filter is a chain of dependent operations, slow for its few
// instructions: a block's filter steps are taken one per carrier sample while
// the next block's pulses are mixed, and the rest before that block is mapped.
// Each sample sees the same operations in the same order either way.
void ChunkRenderer::render_block(std::uint64_t first, std::size_t count, double* out) {
    const std::uint64_t end = first + count;
    std::fill(out, out + count, 0.0);
    const double dt = 1.0 / signal_.sample_rate;
    for (const std::size_t i : active_) {
        const Placement& place = placements_[i];
        const std::uint64_t from = std::max(place.start, first);
        const std::uint64_t to = std::min(place.end, end);
        if (from >= to) continue;
        add_pulse(signal_.pulses[i], from - place.start, static_cast<std::size_t>(to - from), dt,
                  out + (from - first));
    }
    finish_filter();
    if (map_) map_->apply({out, count});
    if (sos_) {
        unfiltered_ = out;
        unfiltered_end_ = out + count;
    }
}

// The envelope's values for the samples at hand go into the block's envelope
// buffer, then the carrier mixes them in.
void ChunkRenderer::add_pulse(const Pulse& p, std::uint64_t k0, std::size_t count, double dt,
                              double* dst) {
    const std::span<Complex> env(envelope_.data(), count);
    envelope_values(p.envelope, k0, env, scratch_, lanes_);
    mix_pulse_beside(p, k0, env.data(), count, dt, dst, lanes_, [this] {
        if (unfiltered_ != unfiltered_end_) {
            *unfiltered_ = sos_->step(*unfiltered_);
            ++unfiltered_;
        }
    });
}

void ChunkRenderer::finish_filter() {
    if (unfiltered_ != unfiltered_end_) sos_->filter({unfiltered_, unfiltered_end_});
    unfiltered_ = unfiltered_end_ = nullptr;
}

SampleSettings sample_settings(const Settings& settings,
                               bool enable_iir) {
    SampleSettings out;
    if (auto it = settings.find("function"); it != settings.end()) {
        out.map = pchip_from_setting(it->second);
    }
    if (!enable_iir) return out;
    if (auto it = settings.find("sos"); it != settings.end()) {
        out.sos = sos_from_setting(it->second);
    }
    return out;
}

}  // namespace velk
