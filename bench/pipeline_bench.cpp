// Where the time of a whole run goes. Runs the same steps as velk_vm on a program
// and its channels, timing each: reading (configuration and program), running the
// threads (scheduling, instruction interpretation, pulse records), rendering the
// chunks (envelopes, mixing, the sample map and filter) and writing the files,
// the chunk writes told apart from the rendering between them. Then times a plain
// loop of as many std::sin + std::cos calls as the render loop mixed samples.
//
//   pipeline_bench PROGRAM.velk CHANNELS.toml OUTPUT_DIR
//
// One run per process, as velk_vm makes it: prints one "name value" line per step
// (seconds) and per count. bench/velk_bench.py runs it and reads them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "binary.hpp"
#include "config.hpp"
#include "heap.hpp"
#include "output.hpp"
#include "run_error.hpp"
#include "sin_cos_loop.hpp"
#include "vm.hpp"
#include "waveform.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void fail(const velk::RunError& error) {
    std::fprintf(stderr, "Error: %s\n", error.debug().c_str());
    std::exit(1);
}

struct Timings {
    double read = 0, threads = 0, render = 0, write = 0;
    std::uint64_t samples = 0, mixed = 0, pulses = 0;
};

// Samples the render loop mixes: each pulse's envelope, cut at the buffer's end,
// for the pulses that start inside the buffer.
std::uint64_t mixed_samples(const std::vector<velk::Pulse>& pulses, double fs,
                            std::size_t length) {
    std::uint64_t n = 0;
    for (const velk::Pulse& p : pulses) {
        const std::int64_t start = velk::start_index(p.t0, fs);
        if (start < 0 || static_cast<std::uint64_t>(start) >= length) continue;
        n += std::min<std::uint64_t>(velk::envelope_length(p.envelope),
                                     length - static_cast<std::uint64_t>(start));
    }
    return n;
}

Timings run_once(const std::filesystem::path& program_path,
                 const std::filesystem::path& config_path, const std::filesystem::path& output) {
    Timings t;
    auto start = Clock::now();
    auto config = velk::load_config(config_path);
    if (!config) fail(config.error());
    auto program = velk::load_program_file(program_path);
    if (!program) fail(program.error());
    t.read = seconds_since(start);

    std::filesystem::create_directories(output);
    std::ostringstream progress;
    for (const auto& [name, channel] : config->channels) {
        const auto found = program->modules.find(name);
        if (found == program->modules.end()) continue;
        const velk::Module& module = found->second;
        const double fs = static_cast<double>(channel.sample_rate);

        start = Clock::now();
        auto result = velk::run_channel(module, channel, program->variables);
        if (!result) fail(result.error());
        t.threads += seconds_since(start);
        t.mixed += mixed_samples(result->signal.pulses, fs, result->signal.length);
        t.pulses += result->signal.pulses.size();

        // Rendering is timed inside the chunk calls; the rest of the writing is
        // the files' share.
        velk::ChunkRenderer renderer(result->signal);
        double render = 0;
        auto next = [&] {
            const auto chunk_start = Clock::now();
            const auto chunk = renderer.next();
            render += seconds_since(chunk_start);
            return chunk;
        };
        start = Clock::now();
        if (auto written = velk::write_channel_outputs(output, name, module, result->captures,
                                                       next, progress);
            !written)
            fail(written.error());
        const double whole = seconds_since(start);
        t.render += render;
        t.write += whole - render;
        t.samples += result->signal.length;
    }
    return t;
}

// As many sin + cos calls as the render loop made, on angles of the same size.
double sin_cos_seconds(std::uint64_t calls) {
    const auto start = Clock::now();
    volatile double sink = velk::bench::sin_cos_sum(calls, 0.3331);
    (void)sink;
    return seconds_since(start);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PROGRAM.velk CHANNELS.toml OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    velk::configure_heap();  // as velk_vm does
    const Timings t = run_once(argv[1], argv[2], argv[3]);
    const double sin_cos = sin_cos_seconds(t.mixed);
    std::printf("samples %llu\n", static_cast<unsigned long long>(t.samples));
    std::printf("pulses %llu\n", static_cast<unsigned long long>(t.pulses));
    std::printf("mixed_samples %llu\n", static_cast<unsigned long long>(t.mixed));
    std::printf("read %.6f\n", t.read);
    std::printf("threads %.6f\n", t.threads);
    std::printf("render %.6f\n", t.render);
    std::printf("write %.6f\n", t.write);
    std::printf("sin_cos %.6f\n", sin_cos);
    return 0;
}
