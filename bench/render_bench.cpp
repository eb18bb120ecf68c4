// Cost of render_pulses (one buffer) and of the chunked renderer beside a plain
// loop of the same number of std::sin and std::cos calls: 10^4 sampled pulses of
// 1000 samples each tile a channel of 10^7 samples. Prints the timings and the
// ratios (goal: at most 1.3). Also the cost per sample of the "function" map.
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "reference_render.hpp"
#include "sin_cos_loop.hpp"
#include "waveform.hpp"

namespace {

constexpr std::size_t kPulses = 10000;
constexpr std::size_t kPulseSamples = 1000;
constexpr std::size_t kSamples = kPulses * kPulseSamples;
constexpr double kRate = 1e9;
constexpr double kFrequency = 5.3e7;

// One sampled envelope shared by every pulse, as a module's waveform data is.
const std::vector<velk::Complex>& envelope() {
    static const std::vector<velk::Complex> samples = [] {
        std::vector<velk::Complex> out(kPulseSamples);
        for (std::size_t i = 0; i < kPulseSamples; ++i) {
            const double x = static_cast<double>(i) / kPulseSamples;
            out[i] = velk::Complex{0.5 - 0.5 * std::cos(x * velk::kTwoPi), 0.01 * x};
        }
        return out;
    }();
    return samples;
}

std::vector<velk::Pulse> make_pulses() {
    std::vector<velk::Pulse> pulses;
    pulses.reserve(kPulses);
    for (std::size_t p = 0; p < kPulses; ++p) {
        velk::Pulse pulse;
        pulse.envelope = velk::ComplexSamples{envelope(), 1.0};
        pulse.t0 = static_cast<double>(p * kPulseSamples) / kRate;
        pulse.frequency = kFrequency;
        pulse.phase = 0.1 * static_cast<double>(p % 7);
        pulse.delta = 1e5;
        pulses.push_back(std::move(pulse));
    }
    return pulses;
}

void BM_RenderPulses(benchmark::State& state) {
    const std::vector<velk::Pulse> pulses = make_pulses();
    std::vector<double> buffer(kSamples, 0.0);
    for (auto _ : state) {
        velk::render_pulses(buffer, pulses, kRate);
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}
BENCHMARK(BM_RenderPulses)->Unit(benchmark::kMillisecond);

// The same pulses through the chunked renderer, as velk_vm renders a channel.
void BM_ChunkRenderer(benchmark::State& state) {
    velk::ChannelSignal signal;
    signal.pulses = make_pulses();
    signal.length = kSamples;
    signal.sample_rate = kRate;
    for (auto _ : state) {
        velk::ChunkRenderer renderer(signal);
        for (auto chunk = renderer.next(); !chunk.empty(); chunk = renderer.next()) {
            benchmark::DoNotOptimize(chunk.data());
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}
BENCHMARK(BM_ChunkRenderer)->Unit(benchmark::kMillisecond);

// The same number of sin and cos calls on angles of the same magnitude.
void BM_SinCosLoop(benchmark::State& state) {
    const double step = (kFrequency / kRate) * velk::kTwoPi;
    for (auto _ : state) benchmark::DoNotOptimize(velk::bench::sin_cos_sum(kSamples, step));
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSamples));
}
BENCHMARK(BM_SinCosLoop)->Unit(benchmark::kMillisecond);

// The "function" map of the large benchmark program (five ascending knots) over
// one chunk of a sine that swings past both ends, per sample.
void BM_SampleMap(benchmark::State& state) {
    const auto map = velk::make_pchip_map({-1, -0.5, 0, 0.5, 1}, {-0.8, -0.45, 0, 0.45, 0.8});
    const velk::PchipEvaluator evaluator(*map);
    std::vector<double> source(velk::kChunkSamples);
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] = 1.2 * std::sin(0.001 * static_cast<double>(i));
    }
    std::vector<double> samples(source.size());
    for (auto _ : state) {
        state.PauseTiming();
        samples = source;
        state.ResumeTiming();
        evaluator.apply(samples);
        benchmark::DoNotOptimize(samples.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * source.size()));
}
BENCHMARK(BM_SampleMap)->Unit(benchmark::kMicrosecond);

// The display that the command line chooses (--benchmark_format, --benchmark_color),
// noting the best real time per iteration of each benchmark on the way.
class RecordingReporter : public benchmark::BenchmarkReporter {
public:
    RecordingReporter() : display_(benchmark::CreateDefaultDisplayReporter()) {}
    bool ReportContext(const Context& context) override { return display_->ReportContext(context); }
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
            const std::string name = run.run_name.function_name;
            const double t = run.GetAdjustedRealTime();
            auto it = best_.find(name);
            if (it == best_.end() || t < it->second) best_[name] = t;
        }
        display_->ReportRuns(runs);
    }
    void Finalize() override { display_->Finalize(); }
    const std::map<std::string, double>& best() const { return best_; }
    // The ratios follow the console table on standard output; after JSON or CSV
    // they go to standard error, so that standard output stays one document.
    std::FILE* ratio_stream() const {
        return dynamic_cast<benchmark::ConsoleReporter*>(display_) ? stdout : stderr;
    }

private:
    benchmark::BenchmarkReporter* display_;  // the library's, for the whole process
    std::map<std::string, double> best_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const auto& best = reporter.best();
    const auto sincos = best.find("BM_SinCosLoop");
    for (const char* name : {"BM_RenderPulses", "BM_ChunkRenderer"}) {
        const auto render = best.find(name);
        if (render != best.end() && sincos != best.end() && sincos->second > 0.0) {
            std::fprintf(reporter.ratio_stream(), "%s / sin+cos ratio: %.3f (goal <= 1.3)\n", name,
                         render->second / sincos->second);
        }
    }
    return 0;
}
