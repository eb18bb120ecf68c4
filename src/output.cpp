// The output directory, the per-channel output files and their progress lines.
#include "output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

#include "json.hpp"
#include "text.hpp"

namespace velk {
namespace {

Unexpected<RunError> io_failure(int err, const std::filesystem::path& path) {
    return Unexpected<RunError>(RunError(IoError::from_errno(err).with_path(path)));
}

// An open file that is written in pieces: every byte of each piece (continuing
// short writes), then closed. Any failure, of the close too, is an Io error
// naming the file; a file already created stays.
class OutputFile {
public:
    explicit OutputFile(std::filesystem::path path) : path_(std::move(path)) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile() {
        if (fd_ >= 0) ::close(fd_);
    }

    // Creates or truncates the file.
    Expected<void, RunError> open() {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd_ < 0) return io_failure(errno, path_);
        return {};
    }

    // A file-size limit shows as EFBIG here, since the process ignores SIGXFSZ.
    Expected<void, RunError> write(std::span<const std::byte> bytes) {
        while (!bytes.empty()) {
            const std::size_t piece = std::min<std::size_t>(bytes.size(), 1u << 30);
            const ssize_t written = ::write(fd_, bytes.data(), piece);
            if (written < 0) {
                if (errno == EINTR) continue;
                return io_failure(errno, path_);
            }
            if (written == 0) {
                return Unexpected<RunError>(RunError(
                    IoError{std::nullopt, "WriteZero", "failed to write whole buffer"}.with_path(
                        path_)));
            }
            bytes = bytes.subspan(static_cast<std::size_t>(written));
        }
        return {};
    }

    Expected<void, RunError> close() {
        // Linux releases the descriptor even when close reports an error, so it is
        // not retried.
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) return io_failure(errno, path_);
        return {};
    }

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

// One whole-file write.
Expected<void, RunError> write_whole_file(const std::filesystem::path& path,
                                          std::span<const std::byte> bytes) {
    OutputFile file(path);
    if (auto opened = file.open(); !opened) return opened;
    if (auto written = file.write(bytes); !written) return written;
    return file.close();
}

Expected<void, RunError> print_written(std::ostream& out, const std::filesystem::path& path) {
    return print_progress_line(out, "\tWritten: " + path_text(path));
}

// The samples as 8 x n little-endian bytes, written chunk by chunk as they are
// handed out.
Expected<void, RunError> write_samples(const std::filesystem::path& path,
                                       const SampleChunks& samples) {
    OutputFile file(path);
    if (auto opened = file.open(); !opened) return opened;
    std::vector<std::byte> swapped;
    for (auto chunk = samples(); !chunk.empty(); chunk = samples()) {
        std::span<const std::byte> bytes;
        if constexpr (std::endian::native == std::endian::little) {
            // The samples' storage already is the file's byte sequence.
            bytes = std::as_bytes(chunk);
        } else {
            swapped.resize(chunk.size() * 8);
            for (std::size_t i = 0; i < chunk.size(); ++i) {
                const auto bits = std::bit_cast<std::uint64_t>(chunk[i]);
                for (int b = 0; b < 8; ++b) {
                    swapped[8 * i + b] = static_cast<std::byte>(bits >> (8 * b));
                }
            }
            bytes = swapped;
        }
        if (auto written = file.write(bytes); !written) return written;
    }
    return file.close();
}

}  // namespace

Expected<void, RunError> create_output_directory(const std::filesystem::path& dir) {
    // Each level is made in turn, so that a failure names the level it is about.
    // mkdir reports a level that exists before any permission or read-only
    // check, so the levels above an existing directory cost one call each.
    std::filesystem::path level;
    bool other_kind = false;  // `level` exists and is not a directory
    for (const auto& part : dir) {
        if (part.empty()) continue;  // after a trailing separator
        level /= part;
        if (::mkdir(level.c_str(), 0777) == 0) {
            other_kind = false;
            continue;
        }
        const int err = errno;
        if (err != EEXIST) return io_failure(err, level);
        // Below something that is not a directory the next level fails with
        // NotADirectory; only the last level is reported for itself.
        std::error_code ec;
        other_kind = !std::filesystem::is_directory(level, ec);
    }
    if (other_kind) return io_failure(EEXIST, level);
    return {};
}

Expected<void, RunError> print_progress_line(std::ostream& out, std::string_view line) {
    // The stream reports only that it failed; the reason is the errno of the
    // write that failed under it.
    errno = 0;
    out << line << '\n';
    out.flush();
    if (out) return {};
    const int err = errno != 0 ? errno : EIO;
    return Unexpected<RunError>(RunError::message("Failed to write standard output: " +
                                                  IoError::from_errno(err).display()));
}

Expected<void, RunError> check_channel_file_name(const std::string& channel) {
    // The suffix keeps the last component from being "." or "..", and is the
    // same for both files, so one name stands for both.
    const std::filesystem::path name(channel + ".f64");
    bool inside = !name.has_root_name() && !name.has_root_directory();
    std::size_t depth = 0;
    for (auto part = name.begin(); inside && part != name.end(); ++part) {
        if (part->empty() || *part == ".") continue;
        if (*part != "..") {
            ++depth;
        } else if (depth == 0) {
            inside = false;
        } else {
            --depth;
        }
    }
    if (inside) return {};
    return Unexpected<RunError>(RunError::message(
        "Channel '" + channel + "' would write its files outside the output directory"));
}

// Built inside its owner, so that a description cut short by running out of
// memory drops without allocating.
JsonTree channel_description(const Module& module, std::vector<CaptureRecord> captures) {
    JsonTree description(Json::object());
    auto& members = description->get_ref<Json::object_t&>();
    for (const auto& [name, value] : module.settings) members.insert_or_assign(name, *value);
    if (!captures.empty()) {
        auto& entries = members.insert_or_assign("captures", Json::array())
                            .first->second.get_ref<Json::array_t&>();
        entries.reserve(captures.size());
        for (CaptureRecord& record : captures) {
            auto& entry = entries.emplace_back(Json::array()).get_ref<Json::array_t&>();
            entry.reserve(2);
            entry.push_back(json_float_or_null(record.time));
            auto& named = entry.emplace_back(Json::array()).get_ref<Json::array_t&>();
            named.reserve(2);
            named.emplace_back(std::move(record.name));
            named.push_back(std::move(*record.value));
        }
    }
    return description;
}

namespace {

Expected<void, RunError> write_sample_file(const std::filesystem::path& output,
                                           const std::string& channel,
                                           const SampleChunks& samples, std::ostream& out) {
    const std::filesystem::path samples_path = output / (channel + ".f64");
    if (auto written = write_samples(samples_path, samples); !written) return written;
    return print_written(out, samples_path);
}

Expected<void, RunError> write_description_file(const std::filesystem::path& output,
                                                const std::string& channel, const Module& module,
                                                std::vector<CaptureRecord> captures,
                                                std::ostream& out) {
    const std::filesystem::path description_path = output / (channel + ".json");
    // Running out of memory here is a Json error that tells the exception.
    auto text = unless_out_of_memory(
        [&]() -> Expected<std::string, RunError> {
            const JsonTree description = channel_description(module, std::move(captures));
            return write_pretty_json(*description);
        },
        [](const std::exception& e) {
            return Unexpected<RunError>(RunError(JsonError{e.what()}));
        });
    if (!text) return Unexpected(std::move(text).error());
    if (auto written = write_whole_file(description_path, std::as_bytes(std::span(*text)));
        !written) {
        return written;
    }
    return print_written(out, description_path);
}

}  // namespace

Expected<void, RunError> write_channel_outputs(const std::filesystem::path& output,
                                               const std::string& channel, const Module& module,
                                               std::vector<CaptureRecord> captures,
                                               const SampleChunks& samples, std::ostream& out) {
    if (auto written = write_sample_file(output, channel, samples, out); !written) return written;
    return write_description_file(output, channel, module, std::move(captures), out);
}

Expected<void, RunError> write_channel_outputs(const std::filesystem::path& output,
                                               const std::string& channel, const Module& module,
                                               ChannelResult result, std::ostream& out,
                                               std::size_t chunk_samples) {
    {
        // The renderer's buffers and the pulse records are released before the
        // description is built; the capture records move into it.
        ChunkRenderer renderer(result.signal, chunk_samples);
        auto written = write_sample_file(output, channel, [&renderer] { return renderer.next(); },
                                         out);
        if (!written) return written;
    }
    result.signal = ChannelSignal();
    return write_description_file(output, channel, module, std::move(result.captures), out);
}

}  // namespace velk
