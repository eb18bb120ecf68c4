// Reading an input file whole, with a size limit per kind of file.
//
// A regular file is read into one buffer of exactly its size; anything else (a
// FIFO, a character device such as /dev/zero) is read in bounded steps and
// stopped once it has delivered one byte more than its limit, into a buffer that
// is never larger than the limit (beyond its first step, the limit is reserved
// at once: address space, whose pages are used only as bytes arrive). A file
// larger than its limit is an error that names the limit, and every error
// carries the path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "expected.hpp"
#include "run_error.hpp"

namespace velk {

// The largest VELK program file: 1 GiB. Offsets in the file are 32-bit, and the
// program's decoded form is bounded separately (kMaxDecodedBytes).
inline constexpr std::uint64_t kMaxProgramFileBytes = std::uint64_t{1} << 30;
// The largest channel configuration file: 16 MiB.
inline constexpr std::uint64_t kMaxConfigFileBytes = std::uint64_t{16} << 20;
// The largest variables file: 64 MiB. Its parsed tree can be tens of times the
// size of the text.
inline constexpr std::uint64_t kMaxVarsFileBytes = std::uint64_t{64} << 20;

// The error of a file beyond its limit:
// Custom { kind: FileTooLarge, error: "file exceeds the limit of {limit} bytes", path: "{path}" }
IoError file_too_large(const std::filesystem::path& path, std::uint64_t limit);

// Reads the file at `path` whole. Errors are the system's (open, stat, read),
// FileTooLarge, or OutOfMemory; each carries `path`.
Expected<std::string, IoError> read_input_file(const std::filesystem::path& path,
                                               std::uint64_t limit);
Expected<std::vector<std::uint8_t>, IoError> read_input_bytes(const std::filesystem::path& path,
                                                              std::uint64_t limit);

}  // namespace velk
