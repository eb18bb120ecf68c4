// The floor of a render: a bare loop of N std::sin + std::cos calls, as a process
// of its own so that it can be timed end to end beside velk_vm.
//
//   sin_cos_floor N
#include <cstdio>
#include <cstdlib>

#include "sin_cos_loop.hpp"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CALLS\n", argv[0]);
        return 2;
    }
    const auto calls = std::strtoull(argv[1], nullptr, 10);
    std::printf("%.17g\n", velk::bench::sin_cos_sum(calls, 0.3331));
    return 0;
}
