// Where the time of a whole run goes. Runs the same steps as velk_vm on a program
// and its channels, timing each: reading (configuration and program), running the
// threads (scheduling, instruction interpretation and envelope synthesis), the
// zeroed sample buffer, rendering, the sample map and filter, and writing the
// files. Then times a plain loop of as many std::sin + std::cos calls as the
// render loop mixed samples.
//
//   pipeline_bench PROGRAM.velk CHANNELS.toml OUTPUT_DIR [REPEATS]
//
// Prints one "name value" line per step (seconds) and per count; the best of
// REPEATS (default 3) runs counts for each step. bench/velk_bench.py reads them.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "binary.hpp"
#include "config.hpp"
#include "heap.hpp"
#include "output.hpp"
#include "run_error.hpp"
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
    double read = 0, threads = 0, buffer = 0, render = 0, settings = 0, write = 0;
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
        n += std::min<std::uint64_t>(p.envelope.size(), length - static_cast<std::uint64_t>(start));
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
        std::vector<velk::Thread> threads = velk::build_threads(module, program->variables);
        if (auto ran = velk::run_scheduler(threads, program->variables, fs); !ran)
            fail(ran.error());
        velk::ThreadOutputs outputs = velk::gather_thread_outputs(threads);
        threads.clear();
        velk::ChannelResult result;
        result.captures = std::move(outputs.captures);
        velk::sort_captures(result.captures);
        auto length = velk::buffer_length(outputs.pulses, fs, channel.sample_count);
        if (!length) fail(length.error());
        t.threads += seconds_since(start);

        start = Clock::now();
        auto samples = velk::zero_buffer(*length);
        if (!samples) fail(samples.error());
        t.buffer += seconds_since(start);

        start = Clock::now();
        velk::render_pulses(*samples, outputs.pulses, fs);
        t.render += seconds_since(start);
        t.mixed += mixed_samples(outputs.pulses, fs, *length);
        t.pulses += outputs.pulses.size();
        outputs.pulses = {};
        result.samples = std::move(*samples);

        start = Clock::now();
        velk::apply_settings(result.samples, module.settings, channel.enable_iir);
        t.settings += seconds_since(start);

        start = Clock::now();
        if (auto written = velk::write_channel_outputs(output, name, module, result, progress);
            !written)
            fail(written.error());
        t.write += seconds_since(start);
        t.samples += result.samples.size();
    }
    return t;
}

// As many sin + cos calls as the render loop makes, on angles of the same kind.
double sin_cos_seconds(std::uint64_t calls) {
    const auto start = Clock::now();
    double acc = 0.0;
    const double step = 0.3331;
    for (std::uint64_t i = 0; i < calls; ++i) {
        const double theta = static_cast<double>(i) * step + 0.3;
        acc += std::cos(theta) - std::sin(theta);
    }
    const double elapsed = seconds_since(start);
    volatile double sink = acc;
    (void)sink;
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s PROGRAM.velk CHANNELS.toml OUTPUT_DIR [REPEATS]\n",
                     argv[0]);
        return 2;
    }
    velk::configure_heap();  // as velk_vm does
    const int repeats = argc > 4 ? std::max(1, std::atoi(argv[4])) : 3;
    Timings best;
    best.read = best.threads = best.buffer = best.render = best.settings = best.write =
        std::numeric_limits<double>::infinity();
    double sincos = std::numeric_limits<double>::infinity();
    for (int r = 0; r < repeats; ++r) {
        const Timings t = run_once(argv[1], argv[2], argv[3]);
        best.read = std::min(best.read, t.read);
        best.threads = std::min(best.threads, t.threads);
        best.buffer = std::min(best.buffer, t.buffer);
        best.render = std::min(best.render, t.render);
        best.settings = std::min(best.settings, t.settings);
        best.write = std::min(best.write, t.write);
        best.samples = t.samples;
        best.mixed = t.mixed;
        best.pulses = t.pulses;
        sincos = std::min(sincos, sin_cos_seconds(t.mixed));
    }
    std::printf("samples %llu\n", static_cast<unsigned long long>(best.samples));
    std::printf("pulses %llu\n", static_cast<unsigned long long>(best.pulses));
    std::printf("mixed_samples %llu\n", static_cast<unsigned long long>(best.mixed));
    std::printf("read %.6f\n", best.read);
    std::printf("threads %.6f\n", best.threads);
    std::printf("buffer %.6f\n", best.buffer);
    std::printf("render %.6f\n", best.render);
    std::printf("settings %.6f\n", best.settings);
    std::printf("write %.6f\n", best.write);
    std::printf("sin_cos %.6f\n", sincos);
    return 0;
}
