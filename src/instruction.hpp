// Instruction fields as the run sees them, and capture records with their JSON
// descriptions.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "program.hpp"

namespace velk {

// Instruction fields. Variables are looked up by index only; a variable that is
// missing, unset or of an unusable kind gives NaN, 0 or the empty text.
double resolve_f64(const ParamValue<double>& param, const VariableTable& variables);
std::int32_t resolve_i32(const ParamValue<std::uint32_t>& param, const VariableTable& variables);
std::string resolve_string(const ParamValue<std::string>& param, const VariableTable& variables);
// The resolve_f64 rule for the variable at `index`.
double variable_f64(const VariableTable& variables, std::uint64_t index);

struct CaptureRecord {
    std::string name;  // the capture's name (RecordFields<...>::capture_name)
    JsonTree value;    // object of the capture's fields
    double time = 0.0;
};

// The name and JSON object of a capture instruction, each field resolved against
// `variables`: texts as strings, the index as a signed 32-bit integer, numbers as
// floating-point numbers (0 is written as 0.0), NaN and the infinities as null
// (json_float_or_null). Without a table, a field naming a variable is the empty
// text, 0 or null.
template <CaptureRecordType Record>
std::pair<std::string, Json> capture_to_json(const Record& capture,
                                             const VariableTable& variables = VariableTable());

}  // namespace velk
