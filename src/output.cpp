// The per-channel output files: <channel>.f64 and <channel>.json.
#include "output.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <exception>
#include <span>
#include <utility>
#include <vector>

#include "json.hpp"
#include "text.hpp"

namespace velk {
namespace {

Unexpected<RunError> io_failure(int err) { return Unexpected<RunError>(RunError(IoError::from_errno(err))); }

// One whole-file write: create or truncate, write every byte (continuing short
// writes), close. Any failure is an Io error; a file already created stays.
Expected<void, RunError> write_whole_file(const std::filesystem::path& path,
                                          std::span<const std::byte> bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) return io_failure(errno);
    while (!bytes.empty()) {
        const std::size_t chunk = std::min<std::size_t>(bytes.size(), 1u << 30);
        const ssize_t written = ::write(fd, bytes.data(), chunk);
        if (written < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::close(fd);
            return io_failure(err);
        }
        if (written == 0) {
            ::close(fd);
            return Unexpected<RunError>(
                RunError(IoError{std::nullopt, "WriteZero", "failed to write whole buffer"}));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    // Linux releases the descriptor even when close reports an error, so it is
    // not retried.
    if (::close(fd) != 0) return io_failure(errno);
    return {};
}

void print_written(std::ostream& out, const std::filesystem::path& path) {
    out << "\tWritten: " << path_text(path) << '\n';
    out.flush();
}

// The samples as 8 × n little-endian bytes, written as one file.
Expected<void, RunError> write_samples(const std::filesystem::path& path,
                                       const std::vector<double>& samples) {
    if constexpr (std::endian::native == std::endian::little) {
        // The vector's storage already is the file's byte sequence.
        return write_whole_file(path, std::as_bytes(std::span(samples)));
    } else {
        std::vector<std::byte> buffer(samples.size() * 8);
        for (std::size_t i = 0; i < samples.size(); ++i) {
            const auto bits = std::bit_cast<std::uint64_t>(samples[i]);
            for (int b = 0; b < 8; ++b) buffer[8 * i + b] = static_cast<std::byte>(bits >> (8 * b));
        }
        return write_whole_file(path, buffer);
    }
}

}  // namespace

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

Json channel_description(const Module& module, const ChannelResult& result) {
    Json description = Json::object();
    auto& members = description.get_ref<Json::object_t&>();
    for (const auto& [name, value] : module.settings) members.insert_or_assign(name, value);
    if (!result.captures.empty()) {
        Json::array_t captures;
        captures.reserve(result.captures.size());
        for (const CaptureRecord& record : result.captures) {
            Json::array_t named;
            named.reserve(2);
            named.emplace_back(record.name);
            named.push_back(record.value);
            Json::array_t entry;
            entry.reserve(2);
            entry.push_back(std::isfinite(record.time) ? Json(record.time) : Json(nullptr));
            entry.emplace_back(std::move(named));
            captures.emplace_back(std::move(entry));
        }
        members.insert_or_assign("captures", Json(std::move(captures)));
    }
    return description;
}

Expected<void, RunError> write_channel_outputs(const std::filesystem::path& output,
                                               const std::string& channel, const Module& module,
                                               const ChannelResult& result, std::ostream& out) {
    const std::filesystem::path samples_path = output / (channel + ".f64");
    if (auto written = write_samples(samples_path, result.samples); !written) return written;
    print_written(out, samples_path);

    const std::filesystem::path description_path = output / (channel + ".json");
    std::string text;
    Json description;
    const JsonRelease release(description);
    try {
        description = channel_description(module, result);
        text = write_pretty_json(description);
    } catch (const std::exception& e) {
        return Unexpected<RunError>(RunError(JsonError{e.what()}));
    }
    if (auto written = write_whole_file(description_path, std::as_bytes(std::span(text)));
        !written) {
        return written;
    }
    print_written(out, description_path);
    return {};
}

}  // namespace velk
