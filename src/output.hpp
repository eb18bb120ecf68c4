// The per-channel output files: <channel>.f64 and <channel>.json.
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "expected.hpp"
#include "program.hpp"
#include "run_error.hpp"
#include "vm.hpp"

namespace velk {

// Checks that the files of `channel` stay inside the output directory: the name
// with its ".f64" or ".json" suffix must be a relative path whose ".." components
// never climb above the directory ("a/b" and "a/../b" stay inside; "/tmp/x",
// "../x" and "a/../../x" do not). Otherwise a Message error naming the channel:
// "Channel '{}' would write its files outside the output directory".
Expected<void, RunError> check_channel_file_name(const std::string& channel);

// A channel's samples in order, one chunk per call; an empty chunk ends them.
using SampleChunks = std::function<std::span<const double>()>;

// Writes both files of a channel into `output`, printing "\tWritten: {}\n" on `out`
// after each complete file: the samples as they are handed out, then the
// description.
Expected<void, RunError> write_channel_outputs(const std::filesystem::path& output,
                                               const std::string& channel, const Module& module,
                                               std::vector<CaptureRecord> captures,
                                               const SampleChunks& samples, std::ostream& out);

// The same for a channel run, its signal rendered chunk by chunk. The result is
// used up: its pulse records go once the samples are written.
Expected<void, RunError> write_channel_outputs(const std::filesystem::path& output,
                                               const std::string& channel, const Module& module,
                                               ChannelResult result, std::ostream& out,
                                               std::size_t chunk_samples = kChunkSamples);

// The description object: the settings plus "captures" when there are any.
JsonTree channel_description(const Module& module, std::vector<CaptureRecord> captures);

}  // namespace velk
