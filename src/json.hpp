// JSON text in and out over nlohmann::json: a strict reader of one document with
// the number classes, depth limit and error texts the files require, and the
// pretty writer of the channel descriptions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "expected.hpp"
#include "program.hpp"

namespace velk {

// A parse failure: a description ("EOF while parsing a value", "trailing
// characters", "recursion limit exceeded", "number out of range", ...) and the
// 1-based line and the column where parsing stopped. The column counts bytes
// from the start of the line: an error at a byte gives that byte's 1-based
// column, an error at the end of the text the number of bytes on its last line
// (the empty text: line 1 column 0).
struct JsonParseError {
    std::string description;
    std::size_t line = 1;
    std::size_t column = 0;
    // "{description} at line {line} column {column}"
    std::string display() const;
};

// Parses `text` as exactly one JSON document (whitespace around it allowed).
// Integer literals become unsigned 64-bit when they are not negative and fit,
// signed 64-bit when negative and fit, floats otherwise; "-0" is the float -0.0.
// Arrays and objects nest at most 127 levels (the 128th fails with "recursion
// limit exceeded"; the reader never recurses deeper); a float too large for a
// double fails with "number out of range", one too small becomes zero; strings
// must be valid UTF-8 without raw control characters, escapes are decoded and a
// lone surrogate escape fails; a repeated key keeps its last value.
Expected<Json, JsonParseError> parse_json(std::string_view text);

// Whether `text` is one JSON document as parse_json reads it, with the same
// error where it is not, without building the value: the check allocates
// nothing, whatever the text holds.
Expected<void, JsonParseError> check_json(std::string_view text);

// Tears `value` down to null without allocating, whatever its size and depth.
// The library's own destructor flattens a tree into a vector it allocates, which
// ends the process when memory is exhausted; trees that may be large are dropped
// through this instead, containers emptied from the leaves up.
void release_json(Json& value) noexcept;

// Releases the tree it watches (release_json) when it goes out of scope, so that
// a tree dropped on an error path or while an exception unwinds never allocates.
class JsonRelease {
public:
    explicit JsonRelease(Json& value) : value_(value) {}
    JsonRelease(const JsonRelease&) = delete;
    JsonRelease& operator=(const JsonRelease&) = delete;
    ~JsonRelease() { release_json(value_); }

private:
    Json& value_;
};

// The pretty form of a value: two-space indentation, "{}" and "[]" for empty
// containers, the string escapes and the float format of the channel
// descriptions, no line end after the outermost value.
std::string write_pretty_json(const Json& value);

// The float format of the pretty writer on its own: the shortest round-trip
// digits, plain notation for 1e-5 <= |x| < 1e16 (with ".0" when integral),
// d.ddde+X / d.ddde-X outside it, 0.0 for zero (-0.0 for negative zero). A
// non-finite `x` (never held by a built value) gives "null", as in the writer.
std::string format_json_float(double x);

}  // namespace velk
