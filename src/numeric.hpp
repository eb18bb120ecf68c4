// Numeric helpers shared by the renderer and the sample map: NaN-aware min/max,
// the derivative of sampled values, and lanes, a few doubles side by side in one
// register, with the one dispatch to the build of a lane pass that the processor
// runs. waveform.hpp takes LaneBuild from here for its interface; the rest is
// for the signal path's source files (and the reference renderer of the tests).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

namespace velk {

// The build of the renderer's elementwise passes (carrier angles, shape
// arguments, the sample map) to run: the one for every x86-64 processor (two
// values at a time), one for AVX2 (four) or AVX-512 (eight), or the best the
// processor has. All give the same bits; a build the processor lacks falls back
// to the best one below it (runnable_lanes, waveform.hpp).
enum class LaneBuild { Baseline, Avx2, Avx512, Best };

// max / min that return the other operand when one is NaN.
inline double nan_max(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return a < b ? b : a;
}
inline double nan_min(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}

// The derivative at index k of n values read through `get(i)`, spacing 1 / r:
// one-sided at the ends, central inside, 0 for a single value. The DRAG terms and
// the tests' whole-envelope gradient share it so both do the same arithmetic.
template <class Get>
double slope_at(std::uint64_t k, std::uint64_t n, double r, double half_r, Get get) {
    if (n == 1) return 0.0;
    if (k == 0) return (get(1) - get(0)) * r;
    if (k == n - 1) return r * (get(n - 1) - get(n - 2));
    return (get(k + 1) - get(k - 1)) * half_r;
}

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

// FillLanes::run<V> is fill_lanes<V>, for run_in_lanes.
struct FillLanes {
    template <class V, class F>
    [[gnu::always_inline]] static void run(double first, std::size_t n, double* out, const F* f) {
        fill_lanes<V>(first, n, out, *f);
    }
};

// Kernel::run<V>(args...) built for the lanes of each instruction set: two (SSE2,
// any x86-64), four (AVX2) or eight (AVX-512). The lane kernels are always
// inlined into these, so they are compiled for the instruction set at hand and
// no vector crosses a call.
template <class Kernel, class... Args>
void lanes_baseline(Args... args) {
    Kernel::template run<Pair>(args...);
}
#if defined(__x86_64__)
template <class Kernel, class... Args>
__attribute__((target("avx2"))) void lanes_avx2(Args... args) {
    Kernel::template run<Quad>(args...);
}
template <class Kernel, class... Args>
__attribute__((target("avx512f"))) void lanes_avx512(Args... args) {
    Kernel::template run<Octet>(args...);
}
#endif

// The one dispatch of a lane pass: Kernel::run<V>(args...) through the build that
// `lanes` (from runnable_lanes) names.
template <class Kernel, class... Args>
void run_in_lanes(LaneBuild lanes, Args... args) {
#if defined(__x86_64__)
    if (lanes == LaneBuild::Avx512) return lanes_avx512<Kernel>(args...);
    if (lanes == LaneBuild::Avx2) return lanes_avx2<Kernel>(args...);
#endif
    lanes_baseline<Kernel>(args...);
}

// out[i] = f(k0 + i) for i < n (k0 + n <= 2^53) through a build of fill_lanes
// that the processor runs (`lanes` from runnable_lanes). f is a callable with a
// templated operator() that takes lanes of indices.
template <class F>
void fill_indexed(LaneBuild lanes, std::uint64_t k0, std::size_t n, double* out, const F& f) {
    const auto first = static_cast<double>(static_cast<std::int64_t>(k0));
    run_in_lanes<FillLanes>(lanes, first, n, out, &f);
}
}  // namespace velk
