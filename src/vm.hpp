// The virtual machine: runs one module for one channel.
#pragma once

#include <vector>

#include "config.hpp"
#include "expected.hpp"
#include "instruction.hpp"
#include "program.hpp"
#include "run_error.hpp"

namespace velk {

struct ChannelResult {
    std::vector<double> samples;         // never empty
    std::vector<CaptureRecord> captures; // ascending time, stable
};

// Runs `module` for `channel`. The only errors are the orderly stops of the
// limits: a barrier wait that can never complete, an envelope or a sample buffer
// beyond its limit.
Expected<ChannelResult, RunError> run_channel(const Module& module, const ChannelConfig& channel,
                                              const VariableTable& variables);

}  // namespace velk
