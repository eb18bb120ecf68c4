// The "function" sample map: a monotone cubic (PCHIP) through the setting's
// knots, evaluated sample by sample or a few lanes at a time.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "numeric.hpp"
#include "waveform.hpp"

namespace velk {

std::vector<double> collect_json_numbers(const Json& values) {
    std::vector<double> out;
    if (!values.is_array()) return out;
    for (const Json& v : values) {
        if (const std::optional<double> number = json_number(v)) out.push_back(*number);
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

// map_in_lanes for run_in_lanes.
struct MapInLanes {
    template <class V>
    [[gnu::always_inline]] static void run(const Interval* intervals, std::size_t count, double x0,
                                           double xl, double* samples, std::size_t n) {
        map_in_lanes<V>(intervals, count, x0, xl, samples, n);
    }
};

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
        run_in_lanes<MapInLanes>(lanes_, intervals_.data(), count, x0, xl, samples.data(),
                                 samples.size());
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

}  // namespace velk
