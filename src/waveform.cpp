#include "waveform.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace velk {

namespace {

// max / min that return the other operand when one is NaN.
double nan_max(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a < b ? b : a;
}
double nan_min(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}

// An f64 count saturated to the u64 range (NaN and negatives give 0).
std::uint64_t saturating_count(double n) {
    if (!(n > 0.0)) return 0;
    if (n >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(n);
}

// The derivative at index k of n values read through `get(i)`, spacing 1 / r:
// one-sided at the ends, central inside, 0 for a single value. gradient() and the
// DRAG terms share it so both do the same arithmetic.
template <class Get>
double slope_at(std::uint64_t k, std::uint64_t n, double r, double half_r, Get get) {
    if (n == 1) return 0.0;
    if (k == 0) return (get(1) - get(0)) * r;
    if (k == n - 1) return r * (get(n - 1) - get(n - 2));
    return (get(k + 1) - get(k - 1)) * half_r;
}

RunError buffer_limit_error(std::uint64_t length) {
    return RunError::message("Sample buffer of " + std::to_string(length) +
                             " samples exceeds the limit of " +
                             std::to_string(kMaxBufferSamples) + " samples per channel");
}

// The shape times the amplitude at the envelope's samples lo .. hi - 1, into dst.
void shape_values(const ShapedEnvelope& e, std::uint64_t lo, std::uint64_t hi, double* dst) {
    const double dt = e.dt, half = e.half, amp = e.amp;
    const double hp = e.hp, hw = e.hw, sigma = e.sigma, edge = e.edge;
    auto at = [&](std::uint64_t k) { return std::fabs(static_cast<double>(k) * dt - half); };
    switch (e.shape) {
        case PulseShape::Cosine:
            for (std::uint64_t k = lo; k < hi; ++k) {
                const double u = at(k);
                double s;
                if (hw <= 0.0) s = 1.0;
                else if (u <= hp) s = 1.0;
                else if (u >= edge) s = 0.0;
                else s = (std::cos(((u - hp) / hw) * kPi) + 1.0) * 0.5;
                dst[k - lo] = s * amp;
            }
            break;
        case PulseShape::Gaussian:
            for (std::uint64_t k = lo; k < hi; ++k) {
                const double u = at(k);
                double s;
                if (u <= hp) {
                    s = 1.0;
                } else {
                    const double x = (u - hp) / sigma;
                    s = std::exp((x * x) * -0.5);
                }
                dst[k - lo] = s * amp;
            }
            break;
        case PulseShape::Square:
            for (std::uint64_t k = lo; k < hi; ++k) dst[k - lo] = 1.0 * amp;
            break;
        case PulseShape::Sech:
            for (std::uint64_t k = lo; k < hi; ++k) {
                const double u = at(k);
                double s;
                if (u <= hp) {
                    s = 1.0;
                } else {
                    const double x = (u - hp) * 10.0;
                    s = 2.0 / (std::exp(-x) + std::exp(x));
                }
                dst[k - lo] = s * amp;
            }
            break;
    }
}

// The shaped envelope's samples first .. first + out.size() - 1. The DRAG terms
// need the shape one sample (first derivative) or two samples (second) beyond
// the range on each side, where the envelope has them.
void shaped_values(const ShapedEnvelope& e, std::uint64_t first, std::span<Complex> out,
                   EnvelopeScratch& scratch) {
    const std::uint64_t n = e.length;
    const std::uint64_t last = first + out.size();
    const std::uint64_t margin = e.drag_terms;
    const std::uint64_t lo = first - std::min(first, margin);
    const std::uint64_t hi = std::min(n, last + margin);
    scratch.shape.resize(static_cast<std::size_t>(hi - lo));
    shape_values(e, lo, hi, scratch.shape.data());
    const double* const shape = scratch.shape.data();
    auto base = [shape, lo](std::uint64_t k) { return shape[k - lo]; };

    if (e.drag_terms == 0) {
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = Complex{base(first + i), 0.0};
        return;
    }
    const double r = 1.0 / e.dt;
    const double half_r = 0.5 * r;
    if (e.drag_terms == 1) {
        for (std::size_t i = 0; i < out.size(); ++i) {
            const std::uint64_t k = first + i;
            out[i] = Complex{base(k), slope_at(k, n, r, half_r, base) * e.scale};
        }
        return;
    }
    const std::uint64_t slo = first - std::min<std::uint64_t>(first, 1);
    const std::uint64_t shi = std::min(n, last + 1);
    scratch.slope.resize(static_cast<std::size_t>(shi - slo));
    for (std::uint64_t k = slo; k < shi; ++k) {
        scratch.slope[k - slo] = slope_at(k, n, r, half_r, base);
    }
    const double* const slope = scratch.slope.data();
    auto d = [slope, slo](std::uint64_t k) { return slope[k - slo]; };
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::uint64_t k = first + i;
        out[i] = Complex{base(k) - slope_at(k, n, r, half_r, d) * e.second_scale, d(k) * e.scale};
    }
}

// Adds the pulse's samples k0 .. k0 + count - 1, their envelope values given in
// `env`, mixed with the carrier, into dst[0 .. count - 1].
void mix_pulse(const Pulse& p, std::uint64_t k0, const Complex* env, std::size_t count,
               double dt, double* dst) {
    const double t0 = p.t0;
    const double frequency = p.frequency;
    const double phase = p.phase;
    const double delta = p.delta;
    for (std::size_t i = 0; i < count; ++i) {
        const double tau = static_cast<double>(k0 + i) * dt;
        const double theta = (((tau + t0) * frequency) + (delta * tau)) * kTwoPi + phase;
        const double c = std::cos(theta);
        const double sn = std::sin(theta);
        dst[i] += env[i].re * c - env[i].im * sn;
    }
}

}  // namespace

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
    if (const auto* real = std::get_if<RealSamples>(&envelope)) return real->samples.size();
    return std::get<ComplexSamples>(envelope).samples.size();
}

void envelope_values(const Envelope& envelope, std::uint64_t first, std::span<Complex> out,
                     EnvelopeScratch& scratch) {
    if (const auto* shaped = std::get_if<ShapedEnvelope>(&envelope)) {
        shaped_values(*shaped, first, out, scratch);
    } else if (const auto* real = std::get_if<RealSamples>(&envelope)) {
        const double a = real->amplitude;
        const double* const x = real->samples.data() + first;
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = Complex{x[i] * a, 0.0};
    } else {
        const auto& samples = std::get<ComplexSamples>(envelope);
        const double a = samples.amplitude;
        const Complex* const x = samples.samples.data() + first;
        for (std::size_t i = 0; i < out.size(); ++i) out[i] = Complex{x[i].re * a, x[i].im * a};
    }
}

std::vector<Complex> envelope_samples(const Envelope& envelope) {
    std::vector<Complex> out(static_cast<std::size_t>(envelope_length(envelope)));
    EnvelopeScratch scratch;
    envelope_values(envelope, 0, out, scratch);
    return out;
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

std::int64_t start_index(double t0, double fs) {
    const double x = std::round(t0 * fs);
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (x < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

Expected<std::size_t, RunError> buffer_length(const std::vector<Pulse>& pulses, double fs,
                                              std::optional<std::uint64_t> sample_count) {
    std::uint64_t needed = 1;
    for (const Pulse& p : pulses) {
        const std::int64_t s = start_index(p.t0, fs);
        if (s < 0) continue;
        // s < 2^63 and the envelope length is far below 2^63: no overflow.
        const std::uint64_t end = static_cast<std::uint64_t>(s) + envelope_length(p.envelope);
        needed = std::max(needed, end);
    }
    const std::uint64_t length = sample_count ? std::max(*sample_count, needed) : needed;
    if (length > kMaxBufferSamples) return Unexpected(buffer_limit_error(length));
    return static_cast<std::size_t>(length);
}

Expected<std::vector<double>, RunError> zero_buffer(std::uint64_t length) {
    if (length > kMaxBufferSamples) return Unexpected(buffer_limit_error(length));
    try {
        return std::vector<double>(static_cast<std::size_t>(length), 0.0);
    } catch (const std::bad_alloc&) {
        return Unexpected(RunError::message("Out of memory allocating a sample buffer of " +
                                            std::to_string(length) + " samples"));
    }
}

void render_pulses(std::vector<double>& buffer, const std::vector<Pulse>& pulses, double fs) {
    const double dt = 1.0 / fs;
    const std::size_t length = buffer.size();
    std::vector<Complex> env;
    EnvelopeScratch scratch;
    for (const Pulse& p : pulses) {
        const std::int64_t s = start_index(p.t0, fs);
        if (s < 0 || static_cast<std::uint64_t>(s) >= length) continue;
        const std::size_t start = static_cast<std::size_t>(s);
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(envelope_length(p.envelope), length - start));
        env.resize(count);
        envelope_values(p.envelope, 0, env, scratch);
        mix_pulse(p, 0, env.data(), count, dt, buffer.data() + start);
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

// ---------------------------------------------------------------------------
// Chunked rendering

ChunkRenderer::ChunkRenderer(const ChannelSignal& signal, std::size_t chunk_samples)
    : signal_(signal), chunk_(std::max<std::size_t>(chunk_samples, 1)) {
    const double fs = signal.sample_rate;
    const std::uint64_t length = signal.length;
    placements_.reserve(signal.pulses.size());
    for (std::size_t i = 0; i < signal.pulses.size(); ++i) {
        const Pulse& p = signal.pulses[i];
        const std::int64_t s = start_index(p.t0, fs);
        if (s < 0 || static_cast<std::uint64_t>(s) >= length) {
            placements_.push_back(Placement{0, 0});  // dropped whole
            continue;
        }
        const auto start = static_cast<std::uint64_t>(s);
        placements_.push_back(
            Placement{start, start + std::min(envelope_length(p.envelope), length - start)});
        by_start_.push_back(i);
    }
    std::stable_sort(by_start_.begin(), by_start_.end(), [this](std::size_t a, std::size_t b) {
        return placements_[a].start < placements_[b].start;
    });
    active_.reserve(by_start_.size());
    if (signal.settings.sos) sos_.emplace(*signal.settings.sos);
    const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, length));
    samples_.resize(size);
    envelope_.resize(size);
    scratch_.shape.reserve(size + 4);
    scratch_.slope.reserve(size + 2);
}

std::span<const double> ChunkRenderer::next() {
    const std::uint64_t length = signal_.length;
    if (position_ >= length) return {};
    const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(chunk_, length - position_));
    const std::uint64_t first = position_;
    const std::uint64_t end = first + count;
    double* const out = samples_.data();
    std::fill(out, out + count, 0.0);

    // The pulses that overlap [first, end), in gathered order.
    std::erase_if(active_, [&](std::size_t i) { return placements_[i].end <= first; });
    bool added = false;
    while (next_start_ < by_start_.size() && placements_[by_start_[next_start_]].start < end) {
        active_.push_back(by_start_[next_start_++]);
        added = true;
    }
    if (added) std::sort(active_.begin(), active_.end());

    const double dt = 1.0 / signal_.sample_rate;
    for (const std::size_t i : active_) {
        const Placement& place = placements_[i];
        const std::uint64_t k0 = std::max(place.start, first) - place.start;
        const std::uint64_t k1 = std::min(place.end, end) - place.start;
        const auto n = static_cast<std::size_t>(k1 - k0);
        const std::span<Complex> env(envelope_.data(), n);
        envelope_values(signal_.pulses[i].envelope, k0, env, scratch_);
        mix_pulse(signal_.pulses[i], k0, env.data(), n, dt, out + (place.start + k0 - first));
    }

    const std::span<double> chunk(out, count);
    if (signal_.settings.map) pchip_eval_in_place(chunk, *signal_.settings.map);
    if (sos_) sos_->filter(chunk);
    position_ = end;
    return chunk;
}

std::vector<double> render_all(const ChannelSignal& signal, std::size_t chunk_samples) {
    std::vector<double> out;
    out.reserve(static_cast<std::size_t>(signal.length));
    ChunkRenderer renderer(signal, chunk_samples);
    for (auto chunk = renderer.next(); !chunk.empty(); chunk = renderer.next()) {
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

std::vector<double> collect_json_numbers(const Json& values) {
    std::vector<double> out;
    if (!values.is_array()) return out;
    for (const Json& v : values) {
        if (v.is_number_unsigned()) out.push_back(static_cast<double>(v.get<std::uint64_t>()));
        else if (v.is_number_integer()) out.push_back(static_cast<double>(v.get<std::int64_t>()));
        else if (v.is_number_float()) out.push_back(v.get<double>());
    }
    return out;
}

std::optional<PchipMap> make_pchip_map(std::vector<double> xs, std::vector<double> ys) {
    const std::size_t n = xs.size();
    if (n < 2 || ys.size() != n) return std::nullopt;
    std::vector<double> h(n - 1), delta(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        h[k] = xs[k + 1] - xs[k];
        delta[k] = (ys[k + 1] - ys[k]) / h[k];
    }
    std::vector<double> m(n, 0.0);
    if (n == 2) {
        m[0] = delta[0];
        m[1] = delta[0];
    } else {
        for (std::size_t j = 1; j + 1 < n; ++j) {
            const double d0 = delta[j - 1], d1 = delta[j];
            if (d0 * d1 <= 0.0) {
                m[j] = 0.0;
            } else {
                const double w1 = 2.0 * h[j] + h[j - 1];
                const double w2 = 2.0 * h[j - 1] + h[j];
                m[j] = (w1 + w2) / (w1 / d0 + w2 / d1);
            }
        }
        // End knots: harmonic mean of the two nearest secants.
        auto end_slope = [](double a, double b) {
            if (a * b <= 0.0 || std::fabs(a) + std::fabs(b) == 0.0) return 0.0;
            return ((a + a) * b) / (a + b);
        };
        m[0] = end_slope(delta[0], delta[1]);
        m[n - 1] = end_slope(delta[n - 3], delta[n - 2]);
    }
    return PchipMap{std::move(xs), std::move(ys), std::move(m)};
}

std::optional<PchipMap> pchip_from_setting(const Json& setting) {
    if (!setting.is_array() || setting.size() != 2) return std::nullopt;
    if (!setting[0].is_array() || !setting[1].is_array()) return std::nullopt;
    return make_pchip_map(collect_json_numbers(setting[0]), collect_json_numbers(setting[1]));
}

void pchip_eval_in_place(std::span<double> samples, const PchipMap& map) {
    constexpr std::size_t kCountedKnots = 16;
    const std::vector<double>& xs = map.xs;
    const std::vector<double>& ys = map.ys;
    const std::vector<double>& m = map.slopes;
    const std::size_t n = xs.size();
    if (n < 2 || ys.size() != n || m.size() != n) return;
    const double x0 = xs[0], xl = xs[n - 1];
    // For non-decreasing knots a bisection finds the first matching interval;
    // otherwise (unordered knots, NaN) search linearly.
    bool ordered = true;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        if (!(xs[k] <= xs[k + 1])) {
            ordered = false;
            break;
        }
    }
    auto linear = [&](double e) -> std::size_t {
        for (std::size_t j = 0; j + 1 < n; ++j) {
            if (xs[j] <= e && e <= xs[j + 1]) return j;
        }
        return 0;
    };
    for (double& v : samples) {
        const double e = nan_min(nan_max(v, x0), xl);
        std::size_t j;
        if (ordered) {
            // The first j with e <= xs[j + 1]; it also has xs[j] <= e unless none matches.
            // Ordered knots hold no NaN, and then neither does e: for a few knots,
            // counting those below e finds the same j without branches.
            if (n <= kCountedKnots) {
                j = 0;
                for (std::size_t k = 1; k < n; ++k) j += static_cast<std::size_t>(xs[k] < e);
            } else {
                const auto it = std::lower_bound(xs.begin() + 1, xs.end(), e);
                j = static_cast<std::size_t>(it - (xs.begin() + 1));
            }
            if (j + 1 >= n || !(xs[j] <= e && e <= xs[j + 1])) j = linear(e);
        } else {
            j = linear(e);
        }
        double value;
        if (x0 > e) {
            value = ys[0];
        } else if (e > xl) {
            value = ys[n - 1];
        } else if (xs[j + 1] - xs[j] == 0.0) {
            value = ys[j];
        } else {
            const double w = xs[j + 1] - xs[j];
            const double t = (e - xs[j]) / w;
            const double t2 = t * t;
            const double t3 = t * t2;
            const double h00 = ((t3 + t3) - t2 * 3.0) + 1.0;
            const double h01 = t2 * 3.0 - (t3 + t3);
            const double h10 = (t3 - (t2 + t2)) + t;
            const double h11 = t3 - t2;
            value = ((h11 * w) * m[j + 1]) +
                    ((ys[j + 1] * h01) + (((h10 * w) * m[j]) + (ys[j] * h00)));
        }
        v = value;
    }
}

std::vector<double> pchip_eval(const std::vector<double>& samples, const PchipMap& map) {
    std::vector<double> out = samples;
    pchip_eval_in_place(out, map);
    return out;
}

std::optional<std::vector<SosSection>> sos_from_setting(const Json& setting) {
    if (!setting.is_array() || setting.empty()) return std::nullopt;
    std::vector<SosSection> sections;
    for (const Json& element : setting) {
        if (!element.is_array()) return std::nullopt;
        if (element.size() != 6) continue;
        double c[6];
        for (std::size_t i = 0; i < 6; ++i) {
            const Json& v = element[i];
            if (v.is_number_unsigned()) c[i] = static_cast<double>(v.get<std::uint64_t>());
            else if (v.is_number_integer()) c[i] = static_cast<double>(v.get<std::int64_t>());
            else if (v.is_number_float()) c[i] = v.get<double>();
            else return std::nullopt;
        }
        sections.push_back(SosSection{c[0], c[1], c[2], c[3], c[4], c[5]});
    }
    if (sections.empty()) return std::nullopt;
    return sections;
}

SosCascade::SosCascade(const std::vector<SosSection>& sections) {
    stages_.reserve(sections.size());
    for (const SosSection& sec : sections) {
        if (sec.a0 == 0.0) continue;
        stages_.push_back(Stage{sec.b0 / sec.a0, sec.b1 / sec.a0, sec.b2 / sec.a0,
                                sec.a1 / sec.a0, sec.a2 / sec.a0});
    }
}

namespace {

// One sample through one section: the transposed direct form II step.
struct SectionStep {
    double b0, b1, b2, a1, a2;
    double operator()(double in, double& z1, double& z2) const {
        const double y = b0 * in + z1;
        z1 = (b1 * in - a1 * y) + z2;
        z2 = b2 * in - a2 * y;
        return y;
    }
};

}  // namespace

// Sections go through the samples two at a time: the second takes each sample
// from the first as soon as it is out, so the two dependency chains overlap.
// Each section still sees the same input sequence, step for step.
void SosCascade::filter(std::span<double> samples) {
    std::size_t s = 0;
    for (; s + 1 < stages_.size(); s += 2) {
        Stage& first = stages_[s];
        Stage& second = stages_[s + 1];
        const SectionStep one{first.b0, first.b1, first.b2, first.a1, first.a2};
        const SectionStep two{second.b0, second.b1, second.b2, second.a1, second.a2};
        double z1 = first.z1, z2 = first.z2, w1 = second.z1, w2 = second.z2;
        for (double& x : samples) x = two(one(x, z1, z2), w1, w2);
        first.z1 = z1;
        first.z2 = z2;
        second.z1 = w1;
        second.z2 = w2;
    }
    if (s < stages_.size()) {
        Stage& last = stages_[s];
        const SectionStep one{last.b0, last.b1, last.b2, last.a1, last.a2};
        double z1 = last.z1, z2 = last.z2;
        for (double& x : samples) x = one(x, z1, z2);
        last.z1 = z1;
        last.z2 = z2;
    }
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

SampleSettings sample_settings(const std::unordered_map<std::string, Json>& settings,
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

void apply_settings(std::vector<double>& samples,
                    const std::unordered_map<std::string, Json>& settings, bool enable_iir) {
    const SampleSettings applied = sample_settings(settings, enable_iir);
    if (applied.map) pchip_eval_in_place(samples, *applied.map);
    if (applied.sos) sos_filter_in_place(samples, *applied.sos);
}

}  // namespace velk
