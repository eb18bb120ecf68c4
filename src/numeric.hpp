// Numeric helpers shared by the renderer and the sample map: NaN-aware min/max
// and lanes, a few doubles side by side in one register. Internal to the signal
// path's source files; everything here has internal linkage.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "waveform.hpp"

namespace velk {
namespace {

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
// the end of the including file, where GCC instantiates the templates).
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
}  // namespace
}  // namespace velk
