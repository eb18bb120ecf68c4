#include "input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <stdexcept>

namespace velk {
namespace {

// Bytes asked of a non-regular file per read.
constexpr std::size_t kStep = std::size_t{1} << 16;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// One read(2) into `dst`, retried on EINTR: the byte count, or -1 with errno set.
ssize_t read_some(int fd, void* dst, std::size_t n) {
    for (;;) {
        const ssize_t got = ::read(fd, dst, n);
        if (got >= 0 || errno != EINTR) return got;
    }
}

// Reads into `out` (a std::string or a byte vector). A regular file gets one
// allocation of its size; bytes beyond that size (a file that grew) and every
// other kind of file are read in steps of at most kStep, asking for no more than
// one byte past the limit. Steps that outgrow the first allocation reserve the
// limit once, so the buffer never grows by copying: at most the limit plus one
// step is held, whatever the input delivers.
template <class Buffer>
Expected<void, IoError> read_into(const std::filesystem::path& path, std::uint64_t limit,
                                  Buffer& out) {
    const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) return Unexpected(IoError::from_errno(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return Unexpected(IoError::from_errno(errno));

    std::size_t used = 0;
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        const auto size = static_cast<std::uint64_t>(st.st_size);
        if (size > limit) return Unexpected(file_too_large(path, limit));
        out.resize(static_cast<std::size_t>(size));
        while (used < out.size()) {
            const ssize_t got = read_some(fd.get(), out.data() + used, out.size() - used);
            if (got < 0) return Unexpected(IoError::from_errno(errno));
            if (got == 0) break;  // the file shrank since fstat
            used += static_cast<std::size_t>(got);
        }
        if (used < out.size()) {
            out.resize(used);
            return {};
        }
    }

    char step[kStep];
    for (;;) {
        const std::uint64_t room = limit + 1 - used;  // used <= limit here
        const std::size_t want = room < kStep ? static_cast<std::size_t>(room) : kStep;
        const ssize_t got = read_some(fd.get(), step, want);
        if (got < 0) return Unexpected(IoError::from_errno(errno));
        if (got == 0) return {};
        if (static_cast<std::uint64_t>(got) > limit - used) {
            return Unexpected(file_too_large(path, limit));
        }
        if (used + static_cast<std::size_t>(got) > out.capacity() && used > 0) {
            out.reserve(static_cast<std::size_t>(limit));
        }
        out.insert(out.end(), step, step + got);
        used += static_cast<std::size_t>(got);
    }
}

template <class Buffer>
Expected<Buffer, IoError> read_whole(const std::filesystem::path& path, std::uint64_t limit) {
    return unless_out_of_memory(
        [&]() -> Expected<Buffer, IoError> {
            Buffer out;
            auto read = read_into(path, limit, out);
            if (!read) return Unexpected(std::move(read).error().with_path(path));
            return out;
        },
        [&] { return Unexpected(IoError::out_of_memory().with_path(path)); });
}

}  // namespace

IoError file_too_large(const std::filesystem::path& path, std::uint64_t limit) {
    return IoError{std::nullopt, "FileTooLarge",
                   "file exceeds the limit of " + std::to_string(limit) + " bytes"}
        .with_path(path);
}

Expected<std::string, IoError> read_input_file(const std::filesystem::path& path,
                                               std::uint64_t limit) {
    return read_whole<std::string>(path, limit);
}

Expected<std::vector<std::uint8_t>, IoError> read_input_bytes(const std::filesystem::path& path,
                                                              std::uint64_t limit) {
    return read_whole<std::vector<std::uint8_t>>(path, limit);
}

}  // namespace velk
