// The baseline of the render benchmarks: the std::sin + std::cos calls that mixing
// `calls` samples with a carrier cannot avoid, on angles i * step + 0.3.
#pragma once

#include <cmath>
#include <cstdint>

namespace velk::bench {

inline double sin_cos_sum(std::uint64_t calls, double step) {
    double acc = 0.0;
    for (std::uint64_t i = 0; i < calls; ++i) {
        const double theta = static_cast<double>(i) * step + 0.3;
        acc += std::cos(theta) - std::sin(theta);
    }
    return acc;
}

}  // namespace velk::bench
