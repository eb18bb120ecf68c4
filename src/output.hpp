// The output side of a run: the output directory, the per-channel files
// <channel>.f64 and <channel>.json, and the progress lines about them.
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "expected.hpp"
#include "program.hpp"
#include "run_error.hpp"
#include "vm.hpp"

namespace velk {

// Creates the output directory `dir` with every missing parent, level by level.
// An existing directory is accepted. A level that cannot be made is an Io error
// naming that level ("file/sub" below a regular file "file": NotADirectory); a
// last level that exists as something else is AlreadyExists naming it.
Expected<void, RunError> create_output_directory(const std::filesystem::path& dir);

// Prints one progress line on `out` (standard output in a run), followed by a line
// end, and writes it out at once. A line that cannot be written is the Message
// error "Failed to write standard output: {}" with the system's reason, e.g.
// "Broken pipe (os error 32)".
Expected<void, RunError> print_progress_line(std::ostream& out, std::string_view line);

// Checks that the files of `channel` stay inside the output directory: the name
// with its ".f64" or ".json" suffix must be a relative path whose ".." components
// never climb above the directory ("a/b" and "a/../b" stay inside; "/tmp/x",
// "../x" and "a/../../x" do not). Otherwise a Message error naming the channel:
// "Channel '{}' would write its files outside the output directory".
Expected<void, RunError> check_channel_file_name(const std::string& channel);

// A channel's samples in order, one chunk per call; an empty chunk ends them.
using SampleChunks = std::function<std::span<const double>()>;

// Writes both files of a channel into `output`, printing "\tWritten: {}" on `out`
// after each complete file: the samples as they are handed out, then the
// description. Every I/O error names its file; a file is complete once it is
// closed.
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
