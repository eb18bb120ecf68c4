// RunError: the one error value of a velk_vm run. It is created where a step
// fails, carried back unchanged, and printed once by the process entry as
// "Error: " + debug().
#pragma once

#include <cstddef>
#include <filesystem>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "text.hpp"

namespace velk {

// An operating-system or stream error.
struct IoError {
    std::optional<int> code;  // errno, when the error came from the system
    std::string kind;         // "NotFound", "PermissionDenied", "InvalidData", ...
    std::string message;      // the system's message, or our own text
    std::optional<std::string> path = std::nullopt;  // the file concerned, when known

    // "No such file or directory (os error 2)"; a message without code as it is.
    // The path is not part of it.
    std::string display() const;
    // Os { code: 2, kind: NotFound, message: "No such file or directory" }
    // or Custom { kind: InvalidData, error: "stream did not contain valid UTF-8" },
    // with `, path: "prog.velk"` before the closing brace when the path is known.
    std::string debug() const;

    // The error of the system error number `err` (an errno value).
    static IoError from_errno(int err);
    static IoError invalid_utf8();
    static IoError out_of_memory();

    // The same error, about the file or directory at `path`.
    IoError with_path(const std::filesystem::path& path) &&;
};

// A TOML syntax or shaping error, with where it happened. The reader fills in
// everything its printed forms need when it makes the error; the document is not
// kept.
struct TomlError {
    // The 1-based line and code-point column where the span begins, and the text
    // of that line as it is shown (cut to a window around the column when long).
    struct Position {
        std::size_t line = 1;
        std::size_t column = 1;
        std::string text;
    };

    std::string message;
    std::vector<std::string> key_path;  // outermost first; empty for the root
    std::optional<std::pair<std::size_t, std::size_t>> span;  // byte range [begin, end)
    std::optional<Position> position;                         // of span->first

    // "{message} for key {path} at line {l} column {c}", the parts that are known.
    std::string display() const;
    // TomlError { message: "...", key: a.b, line: 3, column: 15, text: "..." }
    std::string debug() const;
};

// A JSON serialisation error.
struct JsonError {
    std::string message;
    std::string display() const { return message; }
    std::string debug() const;
};

class RunError {
public:
    enum class Kind { Io, Toml, Json, Message };

    RunError() : value_(std::string()) {}
    RunError(IoError e) : value_(std::move(e)) {}
    RunError(TomlError e) : value_(std::move(e)) {}
    RunError(JsonError e) : value_(std::move(e)) {}
    static RunError message(std::string text) { return RunError(std::move(text)); }

    Kind kind() const {
        if (io()) return Kind::Io;
        if (toml()) return Kind::Toml;
        if (json()) return Kind::Json;
        return Kind::Message;
    }
    const IoError* io() const { return std::get_if<IoError>(&value_); }
    const TomlError* toml() const { return std::get_if<TomlError>(&value_); }
    const JsonError* json() const { return std::get_if<JsonError>(&value_); }
    const std::string* text() const { return std::get_if<std::string>(&value_); }

    std::string display() const;
    std::string debug() const;

private:
    explicit RunError(std::string text) : value_(std::move(text)) {}
    std::variant<IoError, TomlError, JsonError, std::string> value_;
};

// Runs `step` and gives its result; running out of memory in it (std::bad_alloc,
// or std::length_error for a size no container can hold) gives what
// `out_of_memory()` returns instead, or `out_of_memory(e)` with the exception
// where it takes one. The one way a run turns exhausted memory into an orderly
// error; each caller's error text says where the run was.
template <class Step, class OutOfMemory>
auto unless_out_of_memory(Step&& step, OutOfMemory&& out_of_memory) -> decltype(step()) {
    const auto fail = [&](const std::exception& e) -> decltype(step()) {
        if constexpr (std::is_invocable_v<OutOfMemory&, const std::exception&>) {
            return out_of_memory(e);
        } else {
            (void)e;
            return out_of_memory();
        }
    };
    try {
        return step();
    } catch (const std::bad_alloc& e) {
        return fail(e);
    } catch (const std::length_error& e) {
        return fail(e);
    }
}

}  // namespace velk
