#include "run_error.hpp"

#include <cerrno>
#include <cstring>

namespace velk {
namespace {

const char* kind_of_errno(int err) {
    switch (err) {
        case ENOENT: return "NotFound";
        case EACCES:
        case EPERM: return "PermissionDenied";
        case EEXIST: return "AlreadyExists";
        case ENOTDIR: return "NotADirectory";
        case EISDIR: return "IsADirectory";
        case ENOSPC: return "StorageFull";
        case EROFS: return "ReadOnlyFilesystem";
        case EINVAL: return "InvalidInput";
        case ENAMETOOLONG: return "InvalidFilename";
        case EINTR: return "Interrupted";
        case ENOMEM: return "OutOfMemory";
        case ELOOP: return "FilesystemLoop";
        case EFBIG: return "FileTooLarge";
        case ENOTEMPTY: return "DirectoryNotEmpty";
        case EBUSY: return "ResourceBusy";
        case EXDEV: return "CrossesDevices";
        case EMLINK: return "TooManyLinks";
        case ETXTBSY: return "ExecutableFileBusy";
        case EDQUOT: return "FilesystemQuotaExceeded";
        default: return "Uncategorized";
    }
}

}  // namespace

IoError IoError::from_errno(int err) {
    return IoError{err, kind_of_errno(err), std::strerror(err)};
}

IoError IoError::from_errno(int err, const std::filesystem::path& path) {
    IoError error = from_errno(err);
    error.path = path_text(path);
    return error;
}

IoError IoError::invalid_utf8() {
    return IoError{std::nullopt, "InvalidData", "stream did not contain valid UTF-8"};
}

IoError IoError::out_of_memory() { return IoError{std::nullopt, "OutOfMemory", "out of memory"}; }

std::string IoError::display() const {
    if (!code) return message;
    return message + " (os error " + std::to_string(*code) + ")";
}

std::string IoError::debug() const {
    std::string out = code ? "Os { code: " + std::to_string(*code) + ", kind: " + kind +
                                 ", message: " + debug_quote(message)
                           : "Custom { kind: " + kind + ", error: " + debug_quote(message);
    if (path) out += ", path: " + debug_quote(*path);
    return out + " }";
}

std::string JsonError::debug() const {
    return "Error(" + debug_quote(message) + ")";
}

std::string RunError::display() const {
    switch (kind()) {
        case Kind::Io: return io()->display();
        case Kind::Toml: return toml()->display();
        case Kind::Json: return json()->display();
        case Kind::Message: break;
    }
    return *text();
}

std::string RunError::debug() const {
    switch (kind()) {
        case Kind::Io: return io()->debug();
        case Kind::Toml: return toml()->debug();
        case Kind::Json: return json()->debug();
        case Kind::Message: break;
    }
    return debug_quote(*text());
}

}  // namespace velk
