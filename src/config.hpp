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

// Reads the file (at most kMaxConfigFileBytes; Io errors naming the path, also
// for text that is not UTF-8) and shapes it.
Expected<Config, RunError> load_config(const std::filesystem::path& path);

// Parses and shapes a configuration text.
Expected<Config, TomlError> parse_config(std::string_view text);

}  // namespace velk
