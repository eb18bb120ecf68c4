// The channel configuration file (TOML).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "expected.hpp"
#include "run_error.hpp"

namespace velk {

struct ChannelConfig {
    std::uint64_t sample_rate = 0;
    std::optional<std::uint64_t> sample_count;
    bool enable_iir = false;
};

struct Config {
    // Iteration order is not promised.
    std::unordered_map<std::string, ChannelConfig> channels;
};

// Reads the file (Io errors, also for text that is not UTF-8) and shapes it.
Expected<Config, RunError> load_config(const std::filesystem::path& path);

// Parses and shapes a configuration text.
Expected<Config, TomlError> parse_config(std::string_view text);

// The whole content of a file, or the system's error (also used for the
// variables file). Running out of memory is an "OutOfMemory" error, not a throw.
Expected<std::string, IoError> read_file_bytes(const std::filesystem::path& path);

}  // namespace velk
