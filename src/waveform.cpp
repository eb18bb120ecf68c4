#include "waveform.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace velk {

namespace {

// ---------------------------------------------------------------------------
// Lanes: a few values side by side in one register, two with SSE2 (which every
// x86-64 processor has), four with AVX2, eight with AVX-512. The elementwise
// passes of the renderer are written once, for vectors of any width, and built
// for each; the widest build the processor runs is used (see LaneBuild). They
// use IEEE operations only, which give the same bits in any width, and
// -ffp-contract=off keeps them from being fused into multiply-adds, so every
// build gives the bits of the scalar code.
using Pair = double __attribute__((vector_size(16)));
using Quad = double __attribute__((vector_size(32)));
using Octet = double __attribute__((vector_size(64)));

// The lane helpers are always inlined, so no vector is ever passed by the calling
// convention whose change for wide vectors the compilers warn of (from here to
// the end of the file, where GCC instantiates the templates).
#pragma GCC diagnostic ignored "-Wpsabi"

// Hides a vector's value from GCC's optimiser. On vectors GCC turns a - b * 3.0
// into a + b * -3.0 and gets b * 3.0 for its other use by negating that, which
// flips the sign of a NaN; a pinned product is used as it is. Scalars need no pin.
template <class V>
[[gnu::always_inline]] inline void pin(V& v) {
#if defined(__x86_64__) && !defined(__clang__)
    asm("" : "+x"(v));
#else
    (void)v;
#endif
}
[[gnu::always_inline]] inline void pin(double&) {}

template <class V>
constexpr std::size_t kLanes = sizeof(V) / sizeof(double);

template <class V>
[[gnu::always_inline]] inline V broadcast(double v) {
    V out;
    for (std::size_t i = 0; i < kLanes<V>; ++i) out[i] = v;
    return out;
}

// |v| in every lane, as std::fabs gives it: the sign bit cleared.
template <class V>
[[gnu::always_inline]] inline V magnitude(const V& v) {
    using Bits = decltype(v < v);  // the 64-bit integer vector of V's width
    Bits bits;
    std::memcpy(&bits, &v, sizeof v);
    bits &= std::numeric_limits<std::int64_t>::max();
    V out;
    std::memcpy(&out, &bits, sizeof v);
    return out;
}

// out[i] = f(first + i) for i < n, kLanes<V> at a time; `first` is a whole
// number below 2^53, so the lanes' indices are exact. The last group is padded
// with the indices that follow.
template <class V, class F>
[[gnu::always_inline]] inline void fill_lanes(double first, std::size_t n, double* out,
                                              const F& f) {
    constexpr std::size_t width = kLanes<V>;
    V k;
    for (std::size_t i = 0; i < width; ++i) k[i] = first + static_cast<double>(i);
    const V step = broadcast<V>(static_cast<double>(width));
    std::size_t i = 0;
    for (; i + width <= n; i += width, k += step) {
        const V v = f(k);
        std::memcpy(out + i, &v, sizeof v);
    }
    if (i == n) return;
    const V v = f(k);
    std::memcpy(out + i, &v, (n - i) * sizeof(double));
}

template <class F>
void fill_baseline(double first, std::size_t n, double* out, const F& f) {
    fill_lanes<Pair>(first, n, out, f);
}
#if defined(__x86_64__)
template <class F>
__attribute__((target("avx2"))) void fill_avx2(double first, std::size_t n, double* out,
                                               const F& f) {
    fill_lanes<Quad>(first, n, out, f);
}
template <class F>
__attribute__((target("avx512f"))) void fill_avx512(double first, std::size_t n, double* out,
                                                   const F& f) {
    fill_lanes<Octet>(first, n, out, f);
}
#endif

// out[i] = f(k0 + i) for i < n (k0 + n <= 2^53) through a build of fill_lanes
// that the processor runs (`lanes` from runnable_lanes). f is a callable with a
// templated operator() that takes lanes of indices.
template <class F>
void fill_indexed(LaneBuild lanes, std::uint64_t k0, std::size_t n, double* out, const F& f) {
    const auto first = static_cast<double>(static_cast<std::int64_t>(k0));
#if defined(__x86_64__)
    if (lanes == LaneBuild::Avx512) return fill_avx512(first, n, out, f);
    if (lanes == LaneBuild::Avx2) return fill_avx2(first, n, out, f);
#endif
    fill_baseline(first, n, out, f);
}

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
// (see mix_pulse): each call then starts from a loaded value instead of waiting
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
void mix_pulse(const Pulse& p, std::uint64_t k0, const Complex* env, std::size_t count,
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
    if (const auto* real = std::get_if<RealSamples>(&envelope)) return real->samples.size();
    return std::get<ComplexSamples>(envelope).samples.size();
}

void envelope_values(const Envelope& envelope, std::uint64_t first, std::span<Complex> out,
                     EnvelopeScratch& scratch, LaneBuild lanes) {
    if (const auto* shaped = std::get_if<ShapedEnvelope>(&envelope)) {
        shaped_values(*shaped, first, out, scratch, runnable_lanes(lanes));
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
    const LaneBuild lanes = runnable_lanes(LaneBuild::Best);
    std::vector<Complex> env;
    EnvelopeScratch scratch;
    for (const Pulse& p : pulses) {
        const std::int64_t s = start_index(p.t0, fs);
        if (s < 0 || static_cast<std::uint64_t>(s) >= length) continue;
        const std::size_t start = static_cast<std::size_t>(s);
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>(envelope_length(p.envelope), length - start));
        env.resize(count);
        envelope_values(p.envelope, 0, env, scratch, lanes);
        mix_pulse(p, 0, env.data(), count, dt, buffer.data() + start, lanes, [] {});
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

ChunkRenderer::ChunkRenderer(const ChannelSignal& signal, std::size_t chunk_samples,
                             LaneBuild lanes)
    : signal_(signal), chunk_(std::max<std::size_t>(chunk_samples, 1)),
      lanes_(runnable_lanes(lanes)) {
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
    mix_pulse(p, k0, env.data(), count, dt, dst, lanes_, [this] {
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

namespace {

// The cubic Hermite value at e on the interval [x, x + w] with end values y0, y1
// and end slopes m0, m1, in the written order of operations. T is a double or a
// vector: the same operations, one sample or a few at a time.
template <class T>
[[gnu::always_inline]] inline T hermite(const T& e, const T& x, const T& w, const T& y0,
                                        const T& y1, const T& m0, const T& m1) {
    const T t = (e - x) / w;
    const T t2 = t * t;
    const T t3 = t * t2;
    T three_t2 = t2 * 3.0;
    pin(three_t2);
    const T h00 = ((t3 + t3) - three_t2) + 1.0;
    const T h01 = three_t2 - (t3 + t3);
    const T h10 = (t3 - (t2 + t2)) + t;
    const T h11 = t3 - t2;
    return ((h11 * w) * m1) + ((y1 * h01) + (((h10 * w) * m0) + (y0 * h00)));
}

using Interval = PchipEvaluator::Interval;

// Knots up to which the lane path selects the interval by comparing with every
// knot; beyond, a bisection per sample costs less.
constexpr std::size_t kLaneKnots = 16;

// The terms of one interval, each repeated in every lane.
template <class V>
struct LaneInterval {
    V x, w, y0, y1, m0, m1;
};

// kLanes<V> samples, in place, through a map of ascending knots lo =
// intervals[0].x .. hi (in every lane). The clamp is pchip_value's for knots
// without NaN (a NaN sample becomes lo); each lane then takes the terms of the
// last interval whose left knot is below its sample, the interval whose index
// counts those knots.
template <class V>
[[gnu::always_inline]] inline void map_lanes(double* samples, const LaneInterval<V>* intervals,
                                             std::size_t count, const V& lo, const V& hi) {
    V v;
    std::memcpy(&v, samples, sizeof v);
    V e = v >= lo ? v : lo;
    e = hi < e ? hi : e;
    LaneInterval<V> at = intervals[0];
    for (std::size_t j = 1; j < count; ++j) {
        const LaneInterval<V>& iv = intervals[j];
        const auto above = iv.x < e;
        at.x = above ? iv.x : at.x;
        at.w = above ? iv.w : at.w;
        at.y0 = above ? iv.y0 : at.y0;
        at.y1 = above ? iv.y1 : at.y1;
        at.m0 = above ? iv.m0 : at.m0;
        at.m1 = above ? iv.m1 : at.m1;
    }
    const V value = hermite(e, at.x, at.w, at.y0, at.y1, at.m0, at.m1);
    v = at.w == V{} ? at.y0 : value;
    std::memcpy(samples, &v, sizeof v);
}

// Every sample through map_lanes, with the intervals' terms set out in lanes
// once for all of them; the last few samples go in a padded group.
template <class V>
[[gnu::always_inline]] inline void map_in_lanes(const Interval* intervals, std::size_t count,
                                                double x0, double xl, double* samples,
                                                std::size_t n) {
    constexpr std::size_t width = kLanes<V>;
    LaneInterval<V> table[kLaneKnots - 1];
    for (std::size_t j = 0; j < count; ++j) {
        const Interval& iv = intervals[j];
        table[j] = LaneInterval<V>{broadcast<V>(iv.x),  broadcast<V>(iv.w),
                                   broadcast<V>(iv.y0), broadcast<V>(iv.y1),
                                   broadcast<V>(iv.m0), broadcast<V>(iv.m1)};
    }
    const V lo = broadcast<V>(x0);
    const V hi = broadcast<V>(xl);
    std::size_t i = 0;
    for (; i + width <= n; i += width) map_lanes(samples + i, table, count, lo, hi);
    if (i == n) return;
    double rest[width];
    std::fill(rest, rest + width, x0);
    std::memcpy(rest, samples + i, (n - i) * sizeof(double));
    map_lanes(rest, table, count, lo, hi);
    std::memcpy(samples + i, rest, (n - i) * sizeof(double));
}

// The lane path built for any x86-64 (SSE2, two lanes) and, picked at run time
// where the processor has them, for AVX2 (four lanes) and AVX-512 (eight). The
// operations are the same IEEE ones in every build, and -ffp-contract=off keeps
// them from being fused into multiply-adds, so all give the same bits.
void map_in_lanes_baseline(const Interval* intervals, std::size_t count, double x0, double xl,
                           double* samples, std::size_t n) {
    map_in_lanes<Pair>(intervals, count, x0, xl, samples, n);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void map_in_lanes_avx2(const Interval* intervals,
                                                       std::size_t count, double x0, double xl,
                                                       double* samples, std::size_t n) {
    map_in_lanes<Quad>(intervals, count, x0, xl, samples, n);
}

__attribute__((target("avx512f"))) void map_in_lanes_avx512(const Interval* intervals,
                                                           std::size_t count, double x0,
                                                           double xl, double* samples,
                                                           std::size_t n) {
    map_in_lanes<Octet>(intervals, count, x0, xl, samples, n);
}
#endif

}  // namespace

double pchip_value(const PchipMap& map, double sample) {
    const std::vector<double>& xs = map.xs;
    const std::vector<double>& ys = map.ys;
    const std::vector<double>& m = map.slopes;
    const std::size_t n = xs.size();
    if (n < 2 || ys.size() != n || m.size() != n) return sample;
    const double x0 = xs[0], xl = xs[n - 1];
    const double e = nan_min(nan_max(sample, x0), xl);
    std::size_t j = 0;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        if (xs[k] <= e && e <= xs[k + 1]) {
            j = k;
            break;
        }
    }
    if (x0 > e) return ys[0];
    if (e > xl) return ys[n - 1];
    const double w = xs[j + 1] - xs[j];
    if (w == 0.0) return ys[j];
    return hermite(e, xs[j], w, ys[j], ys[j + 1], m[j], m[j + 1]);
}

PchipEvaluator::PchipEvaluator(const PchipMap& map, LaneBuild lanes)
    : map_(map), lanes_(runnable_lanes(lanes)) {
    const std::size_t n = map.xs.size();
    if (n < 2 || map.ys.size() != n || map.slopes.size() != n) return;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        if (!(map.xs[k] <= map.xs[k + 1])) return;
    }
    ascending_ = true;
    intervals_.reserve(n - 1);
    for (std::size_t j = 0; j + 1 < n; ++j) {
        intervals_.push_back(Interval{map.xs[j], map.xs[j + 1] - map.xs[j], map.ys[j],
                                      map.ys[j + 1], map.slopes[j], map.slopes[j + 1]});
    }
}

// With ascending knots (no NaN) the clamped sample e lies in [x0, xl]; the
// interval with index j = (knots xs[1..] below e) is the first that holds it, so
// pchip_value's scan and its checks against x0 and xl are not needed.
void PchipEvaluator::apply(std::span<double> samples) const {
    if (!ascending_) {
        for (double& v : samples) v = pchip_value(map_, v);
        return;
    }
    const std::vector<double>& xs = map_.xs;
    const double x0 = xs.front(), xl = xs.back();
    const std::size_t count = intervals_.size();
    if (count + 1 <= kLaneKnots) {
#if defined(__x86_64__)
        switch (lanes_) {
            case LaneBuild::Avx512:
                map_in_lanes_avx512(intervals_.data(), count, x0, xl, samples.data(),
                                    samples.size());
                return;
            case LaneBuild::Avx2:
                map_in_lanes_avx2(intervals_.data(), count, x0, xl, samples.data(),
                                  samples.size());
                return;
            default:
                break;
        }
#endif
        map_in_lanes_baseline(intervals_.data(), count, x0, xl, samples.data(), samples.size());
        return;
    }
    for (double& v : samples) {
        double e = v >= x0 ? v : x0;
        e = xl < e ? xl : e;
        const auto j = static_cast<std::size_t>(std::lower_bound(xs.begin() + 1, xs.end(), e) -
                                                (xs.begin() + 1));
        const Interval& iv = intervals_[j];
        v = iv.w == 0.0 ? iv.y0 : hermite(e, iv.x, iv.w, iv.y0, iv.y1, iv.m0, iv.m1);
    }
}

void pchip_eval_in_place(std::span<double> samples, const PchipMap& map) {
    PchipEvaluator(map).apply(samples);
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

SosCascade::SosCascade(const std::vector<SosSection>& sections) {
    stages_.reserve(sections.size());
    for (const SosSection& sec : sections) {
        if (sec.a0 == 0.0) continue;
        stages_.push_back(Stage{sec.b0 / sec.a0, sec.b1 / sec.a0, sec.b2 / sec.a0,
                                sec.a1 / sec.a0, sec.a2 / sec.a0});
    }
}

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
