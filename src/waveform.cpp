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

// The derivative of n values read through `get(i)`, handed to `put(i, value)`.
// `put` must not change what `get` reads. Shared by gradient() and the in-place
// DRAG correction so both do the same arithmetic.
template <class Get, class Put>
void gradient_into(std::size_t n, double dx, Get get, Put put) {
    if (n == 0) return;
    if (n == 1) {
        put(0, 0.0);
        return;
    }
    const double r = 1.0 / dx;
    const double half_r = 0.5 * r;
    put(0, (get(1) - get(0)) * r);
    for (std::size_t i = 1; i + 1 < n; ++i) put(i, (get(i + 1) - get(i - 1)) * half_r);
    put(n - 1, r * (get(n - 1) - get(n - 2)));
}

RunError buffer_limit_error(std::uint64_t length) {
    return RunError::message("Sample buffer of " + std::to_string(length) +
                             " samples exceeds the limit of " +
                             std::to_string(kMaxBufferSamples) + " samples per channel");
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

Expected<std::optional<std::vector<Complex>>, RunError> shaped_envelope(
    double amp, double width, double plateau, std::uint8_t shape, double block1,
    double block2, double sample_rate) {
    const double total = width + plateau;
    // Skip rules, before anything is allocated. A NaN total or amplitude does not skip.
    if (0.0 >= total) return std::optional<std::vector<Complex>>();
    if (0.0 >= sample_rate) return std::optional<std::vector<Complex>>();
    if (amp == 0.0) return std::optional<std::vector<Complex>>();

    const double dt = 1.0 / sample_rate;
    const double count = nan_max(std::ceil(total * sample_rate), 1.0);
    if (count > static_cast<double>(kMaxEnvelopeSamples)) {
        return Unexpected(RunError::message(
            "Shaped pulse of " + std::to_string(saturating_count(count)) +
            " samples exceeds the limit of " + std::to_string(kMaxEnvelopeSamples) +
            " samples per envelope"));
    }
    const auto n = static_cast<std::size_t>(count);
    const double half = total * 0.5;
    const double hp = nan_max(plateau * 0.5, 0.0);
    const double hw = nan_max(width * 0.5, 0.0);
    const double sigma = nan_max(width / 6.0, 1e-15);
    const double edge = hw + hp;

    // The real part holds the shaped envelope; the imaginary part the DRAG term.
    std::vector<Complex> out(n);
    auto at = [&](std::size_t k) { return std::fabs(static_cast<double>(k) * dt - half); };
    switch (pulse_shape(shape)) {
        case PulseShape::Cosine:
            for (std::size_t k = 0; k < n; ++k) {
                const double u = at(k);
                double s;
                if (hw <= 0.0) s = 1.0;
                else if (u <= hp) s = 1.0;
                else if (u >= edge) s = 0.0;
                else s = (std::cos(((u - hp) / hw) * kPi) + 1.0) * 0.5;
                out[k].re = s * amp;
            }
            break;
        case PulseShape::Gaussian:
            for (std::size_t k = 0; k < n; ++k) {
                const double u = at(k);
                double s;
                if (u <= hp) {
                    s = 1.0;
                } else {
                    const double x = (u - hp) / sigma;
                    s = std::exp((x * x) * -0.5);
                }
                out[k].re = s * amp;
            }
            break;
        case PulseShape::Square:
            for (std::size_t k = 0; k < n; ++k) out[k].re = 1.0 * amp;
            break;
        case PulseShape::Sech:
            for (std::size_t k = 0; k < n; ++k) {
                const double u = at(k);
                double s;
                if (u <= hp) {
                    s = 1.0;
                } else {
                    const double x = (u - hp) * 10.0;
                    s = 2.0 / (std::exp(-x) + std::exp(x));
                }
                out[k].re = s * amp;
            }
            break;
    }

    // DRAG: B holds 2*pi*block1 and/or 2*pi*block2, in that order, when not NaN.
    double b[2];
    std::size_t nb = 0;
    if (!std::isnan(block1)) b[nb++] = kTwoPi * block1;
    if (!std::isnan(block2)) b[nb++] = kTwoPi * block2;
    if (nb == 0) return std::optional<std::vector<Complex>>(std::move(out));

    // d = gradient(env) into the imaginary parts.
    gradient_into(
        n, dt, [&](std::size_t i) { return out[i].re; },
        [&](std::size_t i, double v) { out[i].im = v; });
    double scale = 1.0 / b[0];
    if (nb == 2) {
        scale = scale + 1.0 / b[1];
        // re = env - gradient(d) * f; reads only the imaginary parts (d).
        const double f = 1.0 / (b[0] * b[1]);
        gradient_into(
            n, dt, [&](std::size_t i) { return out[i].im; },
            [&](std::size_t i, double v) { out[i].re = out[i].re - v * f; });
    }
    for (auto& c : out) c.im = c.im * scale;
    return std::optional<std::vector<Complex>>(std::move(out));
}

std::vector<double> gradient(const std::vector<double>& v, double dx) {
    std::vector<double> out(v.size());
    gradient_into(
        v.size(), dx, [&](std::size_t i) { return v[i]; },
        [&](std::size_t i, double x) { out[i] = x; });
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
        const std::uint64_t end = static_cast<std::uint64_t>(s) + p.envelope.size();
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
    double* const out = buffer.data();
    for (const Pulse& p : pulses) {
        const std::int64_t s = start_index(p.t0, fs);
        if (s < 0 || static_cast<std::uint64_t>(s) >= length) continue;
        const std::size_t start = static_cast<std::size_t>(s);
        const std::size_t count = std::min(p.envelope.size(), length - start);
        const Complex* const env = p.envelope.data();
        const double t0 = p.t0;
        const double frequency = p.frequency;
        const double phase = p.phase;
        const double delta = p.delta;
        double* const dst = out + start;
        for (std::size_t i = 0; i < count; ++i) {
            const double tau = static_cast<double>(i) * dt;
            const double theta = (((tau + t0) * frequency) + (delta * tau)) * kTwoPi + phase;
            const double c = std::cos(theta);
            const double sn = std::sin(theta);
            dst[i] += env[i].re * c - env[i].im * sn;
        }
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
            const auto it = std::lower_bound(xs.begin() + 1, xs.end(), e);
            j = static_cast<std::size_t>(it - (xs.begin() + 1));
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

void sos_filter_in_place(std::span<double> samples, const std::vector<SosSection>& sections) {
    for (const SosSection& sec : sections) {
        if (sec.a0 == 0.0) continue;
        const double b0 = sec.b0 / sec.a0, b1 = sec.b1 / sec.a0, b2 = sec.b2 / sec.a0;
        const double a1 = sec.a1 / sec.a0, a2 = sec.a2 / sec.a0;
        double z1 = 0.0, z2 = 0.0;
        for (double& x : samples) {
            const double in = x;
            const double y = b0 * in + z1;
            z1 = (b1 * in - a1 * y) + z2;
            z2 = b2 * in - a2 * y;
            x = y;
        }
    }
}

std::vector<double> sos_filter(const std::vector<double>& samples,
                               const std::vector<SosSection>& sections) {
    std::vector<double> out = samples;
    sos_filter_in_place(out, sections);
    return out;
}

void apply_settings(std::vector<double>& samples,
                    const std::unordered_map<std::string, Json>& settings, bool enable_iir) {
    if (auto it = settings.find("function"); it != settings.end()) {
        if (auto map = pchip_from_setting(it->second)) pchip_eval_in_place(samples, *map);
    }
    if (!enable_iir) return;
    if (auto it = settings.find("sos"); it != settings.end()) {
        if (auto sections = sos_from_setting(it->second)) sos_filter_in_place(samples, *sections);
    }
}

}  // namespace velk
