// JSON text in and out over nlohmann::json: a strict reader of one document with
// the number classes, depth limit and error texts the files require, and the
// pretty writer of the channel descriptions.
#pragma once

#include <concepts>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "expected.hpp"

namespace velk {

using Json = nlohmann::json;

// Tears `value` down to null without allocating, whatever its size and depth.
// The library's own destructor flattens a tree into a vector it allocates, which
// ends the process when memory is exhausted; JsonTree tears its tree down through
// this instead, containers emptied from the leaves up.
void release_json(Json& value) noexcept;

// The owner of a JSON tree that may be large: every tree read from a file or
// built for one is held in one. Its destructor and its assignments drop the tree
// they replace through release_json, so dropping a tree never allocates, on any
// path, while an exception unwinds included. The tree itself is reached through
// * and ->.
class JsonTree {
public:
    JsonTree() noexcept = default;
    JsonTree(Json value) noexcept : value_(std::move(value)) {}
    JsonTree(const JsonTree& other) : value_(other.value_) {}
    JsonTree(JsonTree&& other) noexcept : value_(std::move(other.value_)) {}
    JsonTree& operator=(const JsonTree& other) { return *this = JsonTree(other); }
    JsonTree& operator=(JsonTree&& other) noexcept { return *this = std::move(other.value_); }
    JsonTree& operator=(Json value) noexcept {
        release_json(value_);
        value_ = std::move(value);  // the null it swaps out is dropped without allocating
        return *this;
    }
    ~JsonTree() { release_json(value_); }

    Json& operator*() noexcept { return value_; }
    const Json& operator*() const noexcept { return value_; }
    Json* operator->() noexcept { return &value_; }
    const Json* operator->() const noexcept { return &value_; }
    operator const Json&() const noexcept { return value_; }

    // Hands the tree over, leaving null.
    Json take() noexcept { return std::move(value_); }

    // Between two owners only (a tree and a Json compare as two Json values).
    template <std::same_as<JsonTree> T>
    friend bool operator==(const T& a, const T& b) {
        return a.value_ == b.value_;
    }

private:
    Json value_;
};

// A JSON number as an f64: an integer converted to the nearest double, a float
// as it is; none for any other value.
std::optional<double> json_number(const Json& value);

// A float as a JSON value: a floating-point number, or null for NaN and the
// infinities, which JSON text cannot hold.
Json json_float_or_null(double value);

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
Expected<JsonTree, JsonParseError> parse_json(std::string_view text);

// Whether `text` is one JSON document as parse_json reads it, with the same
// error where it is not, without building the value: the check allocates
// nothing, whatever the text holds.
Expected<void, JsonParseError> check_json(std::string_view text);

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
