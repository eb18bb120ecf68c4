// Arbitrary programs through the virtual machine and the chunked renderer. The
// first three bytes choose the channel (sample rate, sample count, filter on or
// off) and the chunk size; the rest is read as a VELK file. Every module runs;
// a run that succeeds is rendered chunk by chunk into a discarding sink and
// compared bit for bit with one pass over the whole signal, and its description
// is built and printed. Runs whose channel or mixed samples exceed a small cap are
// not rendered, so every input finishes quickly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "binary.hpp"
#include "config.hpp"
#include "json.hpp"
#include "output.hpp"
#include "reference_render.hpp"
#include "vm.hpp"
#include "waveform.hpp"

namespace {

constexpr std::uint64_t kMaxLength = std::uint64_t{1} << 15;
constexpr std::uint64_t kMaxMixed = std::uint64_t{1} << 17;
constexpr std::uint64_t kDecodeLimit = std::uint64_t{64} << 20;

// Samples the render loop mixes: each kept pulse up to the channel's end.
std::uint64_t mixed_samples(const velk::ChannelSignal& signal) {
    std::uint64_t n = 0;
    for (const velk::Pulse& p : signal.pulses) {
        if (const auto place = velk::place_pulse(p, signal.sample_rate, signal.length))
            n += place->end - place->start;
    }
    return n;
}

void check_rendering(const velk::Module& module, const velk::ChannelResult& result,
                     std::size_t chunk) {
    const velk::ChannelSignal& signal = result.signal;
    if (signal.length > kMaxLength || mixed_samples(signal) > kMaxMixed) return;

    // One pass over the whole signal, as the reference.
    auto rendered = velk::render_samples(signal.pulses, signal.sample_rate,
                                         std::optional<std::uint64_t>(signal.length));
    if (!rendered || rendered->size() != signal.length) std::abort();
    std::vector<double>& whole = *rendered;
    if (signal.settings.map) velk::pchip_eval_in_place(whole, *signal.settings.map);
    if (signal.settings.sos) velk::sos_filter_in_place(whole, *signal.settings.sos);

    velk::ChunkRenderer renderer(signal, chunk);
    std::uint64_t at = 0;
    for (auto piece = renderer.next(); !piece.empty(); piece = renderer.next()) {
        if (piece.size() > chunk || at + piece.size() > whole.size()) std::abort();
        if (std::memcmp(piece.data(), whole.data() + at, piece.size() * sizeof(double)) != 0) {
            std::abort();
        }
        at += piece.size();
    }
    if (at != signal.length) std::abort();

    try {
        (void)velk::write_pretty_json(velk::channel_description(module, result.captures));
    } catch (const std::exception&) {
        // Reported as a Json error by velk_vm.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    velk::ChannelConfig channel;
    std::uint64_t rate = 1;
    for (int i = 0; i < data[0] % 10; ++i) rate *= 10;  // 1 .. 10^9 samples per second
    channel.sample_rate = rate;
    if (data[1] & 0x80) channel.sample_count = (data[1] & 0x7f) * std::uint64_t{37};
    channel.enable_iir = (data[1] & 0x40) != 0;
    const std::size_t chunk = 1 + data[2] % 64;

    auto file = velk::parse_sections(std::span<const std::uint8_t>(data + 3, size - 3),
                                     kDecodeLimit);
    if (!file) return 0;
    auto modules = velk::parse_modules(*file);
    if (!modules) return 0;
    velk::VariableTable variables;
    variables.variables = std::move(file->variables);
    variables.variable_index = std::move(file->variable_index);

    for (const auto& [name, module] : *modules) {
        auto result = velk::run_channel(module, channel, variables);
        if (!result) continue;
        check_rendering(module, *result, chunk);
    }
    return 0;
}
