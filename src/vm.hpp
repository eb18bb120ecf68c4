// The virtual machine: runs one module for one channel.
//
// The module's operand lists and blocks become logical threads with private
// clocks. The scheduler runs them in sweeps: every thread that is neither
// finished nor waiting runs until it ends or reaches a barrier; then each barrier
// id at which as many arrivals wait as the id has mentions in the module is
// released, all its arrivals continuing at the latest of their times. When every
// thread has ended, the pulses of the block threads are gathered with the
// channel's length and the module's settings for rendering (ChunkRenderer), and
// the captures are sorted by time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include "config.hpp"
#include "expected.hpp"
#include "instruction.hpp"
#include "program.hpp"
#include "run_error.hpp"
#include "waveform.hpp"

namespace velk {

struct ChannelResult {
    ChannelSignal signal;                // what to render; its length is at least 1
    std::vector<CaptureRecord> captures; // ascending time, stable
};

// Runs `module` for `channel`. The only errors are the orderly stops of the
// limits: a barrier wait that can never complete, an envelope or a channel length
// beyond its limit (or memory exhausted). Rendering the signal cannot fail. The
// pulses of sampled waveforms read the module's data: `module` must outlive the
// result.
Expected<ChannelResult, RunError> run_channel(const Module& module, const ChannelConfig& channel,
                                              const VariableTable& variables);

// The two kinds of thread. Each reads what it runs from the module, which
// outlives its threads, and is handed the run's variables when it runs; all run
// state is the thread's own. A thread waits at a barrier while `waiting` is true.

// A thread built from one operand list: durations advance its clock, barrier ids
// make it wait.
struct OperandThread {
    std::span<const Operand> operands;
    bool waiting = false;
    std::uint32_t barrier_id = 0;  // meaningful while waiting
    std::uint64_t position = 0;    // next operand
    double time = 0.0;
};

// A thread built from one block: runs the block's instructions.
struct BlockThread {
    std::span<const Instruction> instructions;
    std::vector<Pulse> pulses;
    std::vector<CaptureRecord> captures;
    bool waiting = false;
    std::uint32_t barrier_id = 0;  // meaningful while waiting
    std::uint64_t pc = 0;
    double time = 0.0;
    double frequency = 0.0;
    double phase = 0.0;
};

using Thread = std::variant<OperandThread, BlockThread>;

// Runs the thread from `pc` to the end of its instructions or to a Barrier, where
// it waits (waiting, barrier_id set, pc left on the Barrier). The only error is
// an envelope beyond kMaxEnvelopeSamples.
Expected<void, RunError> run_block_thread(BlockThread& thread, const VariableTable& variables,
                                          double sample_rate);

// Consumes operands from `position` to the end or to a barrier id, where it waits.
void run_operand_thread(OperandThread& thread, const VariableTable& variables);

// All operand threads (one per operand list, empty ones included), then one block
// thread per block that has instructions.
std::vector<Thread> build_threads(const Module& module);

// Barrier id -> number of arrivals it needs: one per mention (a U32 operand or a
// Barrier instruction), counted over all threads.
using Participants = std::unordered_map<std::uint32_t, std::size_t>;
Participants count_participants(const std::vector<Thread>& threads);

// One scheduler sweep: false (and nothing done) when every thread has ended;
// otherwise runs every thread that is neither finished nor waiting, then releases
// each barrier id with enough arrivals at their latest time (NaN ignored; all
// NaN gives -inf), and returns true. A sweep that releases nothing while threads
// are unfinished could only repeat forever: it is a deadlock error naming the
// waiting ids.
Expected<bool, RunError> run_sweep(std::vector<Thread>& threads, const Participants& participants,
                                   const VariableTable& variables, double sample_rate);

// Runs sweeps until every thread has ended, or to the deadlock error.
Expected<void, RunError> run_scheduler(std::vector<Thread>& threads,
                                       const VariableTable& variables, double sample_rate);

// The pulses and captures of every block thread, moved out block by block in
// thread order.
struct ThreadOutputs {
    std::vector<Pulse> pulses;
    std::vector<CaptureRecord> captures;
};
ThreadOutputs gather_thread_outputs(std::vector<Thread>& threads);

// Sorts by ascending time, stable: a record goes before another only when its
// time is less. Records whose time is NaN go after all others, in their given
// order.
void sort_captures(std::vector<CaptureRecord>& captures);

}  // namespace velk
