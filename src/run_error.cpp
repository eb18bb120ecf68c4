#include "run_error.hpp"

#include <algorithm>
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

// A key as it would be written in TOML: bare when it can be, otherwise a basic
// string, so that a dotted path stays unambiguous.
std::string key_text(std::string_view key) {
    const bool bare = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
    if (bare) return std::string(key);
    std::string out = "\"";
    for (char c : key) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    static constexpr char hex[] = "0123456789ABCDEF";
                    out += "\\u00";
                    out += hex[(static_cast<unsigned char>(c) >> 4) & 0xF];
                    out += hex[static_cast<unsigned char>(c) & 0xF];
                } else {
                    out += c;
                }
        }
    }
    out += '"';
    return out;
}

std::string key_path_text(const std::vector<std::string>& path) {
    std::string out;
    for (const std::string& key : path) {
        if (!out.empty()) out += '.';
        out += key_text(key);
    }
    return out;
}

}  // namespace

IoError IoError::from_errno(int err) {
    return IoError{err, kind_of_errno(err), std::strerror(err)};
}

IoError IoError::with_path(const std::filesystem::path& at) && {
    path = path_text(at);
    return std::move(*this);
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

std::string TomlError::display() const {
    std::string out = message;
    if (!key_path.empty()) out += " for key " + key_path_text(key_path);
    if (position) {
        out += " at line " + std::to_string(position->line) + " column " +
               std::to_string(position->column);
    }
    return out;
}

std::string TomlError::debug() const {
    std::string out = "TomlError { message: " + debug_quote(message);
    if (!key_path.empty()) out += ", key: " + key_path_text(key_path);
    if (position) {
        out += ", line: " + std::to_string(position->line) + ", column: " +
               std::to_string(position->column) + ", text: " + debug_quote(position->text);
    }
    out += " }";
    return out;
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
