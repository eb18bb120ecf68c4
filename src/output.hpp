// The per-channel output files: <channel>.f64 and <channel>.json.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>

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

// Writes both files of a channel into `output`, printing "\tWritten: {}\n" on `out`
// after each file.
Expected<void, RunError> write_channel_outputs(const std::filesystem::path& output,
                                               const std::string& channel, const Module& module,
                                               const ChannelResult& result, std::ostream& out);

// The description object: the settings plus "captures" when there are any.
Json channel_description(const Module& module, const ChannelResult& result);

}  // namespace velk
