// The variable bindings file (JSON): overwrites variable values by name.
#pragma once

#include <filesystem>
#include <string_view>

#include "expected.hpp"
#include "program.hpp"
#include "run_error.hpp"

namespace velk {

// Reads and parses the file, then binds every member that names a variable.
// Errors are Message errors "Failed to read vars file: {path}: {io error}" (or
// ": stream did not contain valid UTF-8" for text that is not UTF-8) and
// "Failed to parse vars JSON: {}"; on error no variable changes. Prints nothing:
// the driver prints the success line.
Expected<void, RunError> bind_variables(const std::filesystem::path& path, VariableTable& table);

// The same from text already read.
Expected<void, RunError> bind_variables_text(std::string_view text, VariableTable& table);

}  // namespace velk
