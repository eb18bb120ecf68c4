// Capture records and their JSON descriptions.
#pragma once

#include <string>
#include <utility>

#include "program.hpp"

namespace velk {

struct CaptureRecord {
    std::string name;  // "capture", "capture_iq" or "capture_trace"
    Json value;        // object of the capture's fields
    double time = 0.0;
};

// The name and JSON object of a capture instruction whose fields are constants;
// ("unknown", null) for any other instruction.
std::pair<std::string, Json> capture_to_json(const Instruction& instruction);

// A capture's number member: a finite value as a floating-point number (0 is
// written as 0.0), NaN and the infinities as null.
Json capture_number(double value);

}  // namespace velk
