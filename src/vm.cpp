#include "vm.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace velk {

// ---------------------------------------------------------------------------
// Block interpreter

namespace {

void emit_pulse(BlockThread& t, Envelope envelope, double delta) {
    t.pulses.push_back(Pulse{envelope, t.time, t.frequency, t.phase, delta});
}

// What the thread does after an instruction.
enum class Flow { Next, Wait, Fail };

}  // namespace

// Each instruction's effect on the thread, by its record. Pulses and captures
// take the time, frequency and phase current before the instruction.
Expected<void, RunError> run_block_thread(BlockThread& t, const VariableTable& vars,
                                          double sample_rate) {
    t.waiting = false;
    std::optional<RunError> error;
    const auto step = Overloaded{
        [&](const ShapedPulse& p) {
            const double delta = resolve_f64(p.delta, vars);
            auto envelope = shaped_pulse(resolve_f64(p.amp, vars), resolve_f64(p.width, vars),
                                         resolve_f64(p.plateau, vars), p.shape,
                                         resolve_f64(p.block1, vars), resolve_f64(p.block2, vars),
                                         sample_rate);
            if (!envelope) {
                error = std::move(envelope).error();
                return Flow::Fail;
            }
            if (*envelope) emit_pulse(t, **envelope, delta);  // none when skipped
            return Flow::Next;
        },
        [&]<CaptureRecordType C>(const C& capture) {
            auto [name, value] = capture_to_json(capture, vars);
            t.captures.push_back(CaptureRecord{std::move(name), JsonTree(std::move(value)), t.time});
            return Flow::Next;
        },
        [&](const Delay& d) {
            t.time = t.time + resolve_f64(d.value, vars);  // the only step of the clock
            return Flow::Next;
        },
        [&](const SetFrequency& f) {
            t.frequency = resolve_f64(f.value, vars);
            return Flow::Next;
        },
        [&](const ShiftPhase& p) {
            t.phase = t.phase + resolve_f64(p.value, vars);
            return Flow::Next;
        },
        [&](const ResetPhase&) {
            t.phase = 0.0;
            return Flow::Next;
        },
        [&](const Barrier& b) {
            // pc stays on the Barrier until the release.
            t.waiting = true;
            t.barrier_id = b.id;
            return Flow::Wait;
        },
        [](const Opcode10&) { return Flow::Next; },  // carried in the block, no effect
        [&](const RealWaveform& w) {
            const double a = resolve_f64(w.amplitude, vars);
            if (!w.samples.empty()) emit_pulse(t, RealSamples{w.samples.view(), a}, 0.0);
            return Flow::Next;
        },
        [&](const ComplexWaveform& w) {
            const double a = resolve_f64(w.amplitude, vars);
            if (!w.samples.empty()) emit_pulse(t, ComplexSamples{w.samples.view(), a}, 0.0);
            return Flow::Next;
        },
    };
    const std::size_t end = t.instructions.size();
    while (t.pc < end) {
        switch (std::visit(step, t.instructions[t.pc])) {
            case Flow::Next: ++t.pc; break;
            case Flow::Wait: return {};
            case Flow::Fail: return Unexpected(std::move(*error));
        }
    }
    return {};
}

void run_operand_thread(OperandThread& t, const VariableTable& variables) {
    const std::size_t end = t.operands.size();
    while (t.position < end) {
        const Operand& op = t.operands[t.position];
        if (const auto* c = std::get_if<OperandConst>(&op)) {
            t.time = t.time + c->value;
        } else if (const auto* v = std::get_if<OperandVar>(&op)) {
            t.time = t.time + variable_f64(variables, v->index);
        } else {
            t.waiting = true;
            t.barrier_id = std::get<OperandBarrier>(op).id;
            return;
        }
        ++t.position;
    }
}

// ---------------------------------------------------------------------------
// Scheduler

std::vector<Thread> build_threads(const Module& module) {
    std::vector<Thread> threads;
    threads.reserve(module.operand_lists.size() + module.blocks.size());
    for (const auto& list : module.operand_lists) {
        OperandThread t;
        t.operands = list;
        threads.emplace_back(std::move(t));
    }
    for (const Block& block : module.blocks) {
        if (block.instructions.empty()) continue;
        BlockThread t;
        t.instructions = block.instructions;
        threads.emplace_back(std::move(t));
    }
    return threads;
}

namespace {

bool unfinished(const Thread& thread) {
    if (const auto* o = std::get_if<OperandThread>(&thread)) return o->position < o->operands.size();
    const auto& b = std::get<BlockThread>(thread);
    return b.pc < b.instructions.size();
}

bool waiting(const Thread& thread) {
    return std::visit([](const auto& t) { return t.waiting; }, thread);
}

// The barrier id a waiting thread waits at, and its clock.
std::uint32_t waiting_id(const Thread& thread) {
    return std::visit([](const auto& t) { return t.barrier_id; }, thread);
}
double clock(const Thread& thread) {
    return std::visit([](const auto& t) { return t.time; }, thread);
}

void release(Thread& thread, double time) {
    if (auto* o = std::get_if<OperandThread>(&thread)) {
        o->time = time;
        o->waiting = false;
        ++o->position;
    } else {
        auto& b = std::get<BlockThread>(thread);
        b.time = time;
        b.waiting = false;
        ++b.pc;
    }
}

RunError deadlock_error(const std::map<std::uint32_t, std::vector<std::size_t>>& groups) {
    std::string ids;
    for (const auto& [id, arrivals] : groups) {
        if (!ids.empty()) ids += ", ";
        ids += std::to_string(id);
    }
    return RunError::message(std::string("Barrier deadlock: threads wait at barrier ") +
                             (groups.size() == 1 ? "id " : "ids ") + ids +
                             " that can never be released");
}

}  // namespace

Participants count_participants(const std::vector<Thread>& threads) {
    Participants participants;
    for (const Thread& thread : threads) {
        if (const auto* o = std::get_if<OperandThread>(&thread)) {
            for (const Operand& op : o->operands) {
                if (const auto* b = std::get_if<OperandBarrier>(&op)) ++participants[b->id];
            }
        } else {
            for (const Instruction& ins : std::get<BlockThread>(thread).instructions) {
                if (const auto* b = std::get_if<Barrier>(&ins)) ++participants[b->id];
            }
        }
    }
    return participants;
}

Expected<bool, RunError> run_sweep(std::vector<Thread>& threads, const Participants& participants,
                                   const VariableTable& variables, double sample_rate) {
    if (std::none_of(threads.begin(), threads.end(), unfinished)) return false;

    // Run phase: every thread that can run, runs to its next barrier or its end.
    // Threads released in the previous sweep run here, not earlier.
    for (Thread& thread : threads) {
        if (!unfinished(thread) || waiting(thread)) continue;
        if (auto* o = std::get_if<OperandThread>(&thread)) {
            run_operand_thread(*o, variables);
        } else {
            auto ran = run_block_thread(std::get<BlockThread>(thread), variables, sample_rate);
            if (!ran) return Unexpected(std::move(ran).error());
        }
    }

    // Arrivals by barrier id, in thread-list order; every unfinished thread waits now.
    std::map<std::uint32_t, std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        if (unfinished(threads[i]) && waiting(threads[i])) {
            groups[waiting_id(threads[i])].push_back(i);
        }
    }

    bool released = false;
    for (const auto& [id, arrivals] : groups) {
        const auto need = participants.find(id);
        if (need == participants.end() || arrivals.size() < need->second) continue;
        double latest = -std::numeric_limits<double>::infinity();
        for (std::size_t i : arrivals) {
            const double t = clock(threads[i]);
            if (t > latest) latest = t;  // false for NaN
        }
        for (std::size_t i : arrivals) release(threads[i], latest);
        released = true;
    }
    if (!released && !groups.empty()) return Unexpected(deadlock_error(groups));
    return true;
}

Expected<void, RunError> run_scheduler(std::vector<Thread>& threads,
                                       const VariableTable& variables, double sample_rate) {
    const Participants participants = count_participants(threads);
    for (;;) {
        auto more = run_sweep(threads, participants, variables, sample_rate);
        if (!more) return Unexpected(std::move(more).error());
        if (!*more) return {};
    }
}

void sort_captures(std::vector<CaptureRecord>& captures) {
    if (captures.size() < 2) return;
    // NaN times compare with nothing; keep them out of the ordering and put them
    // last, in gathered order, so the comparison below is a strict weak order.
    const auto nan_begin = std::stable_partition(
        captures.begin(), captures.end(),
        [](const CaptureRecord& r) { return !std::isnan(r.time); });
    std::stable_sort(captures.begin(), nan_begin,
                     [](const CaptureRecord& a, const CaptureRecord& b) { return a.time < b.time; });
}

// ---------------------------------------------------------------------------
// Channel run

ThreadOutputs gather_thread_outputs(std::vector<Thread>& threads) {
    ThreadOutputs out;
    std::size_t pulse_count = 0, capture_count = 0;
    for (const Thread& thread : threads) {
        if (const auto* b = std::get_if<BlockThread>(&thread)) {
            pulse_count += b->pulses.size();
            capture_count += b->captures.size();
        }
    }
    out.pulses.reserve(pulse_count);
    out.captures.reserve(capture_count);
    for (Thread& thread : threads) {
        if (auto* b = std::get_if<BlockThread>(&thread)) {
            std::move(b->pulses.begin(), b->pulses.end(), std::back_inserter(out.pulses));
            std::move(b->captures.begin(), b->captures.end(), std::back_inserter(out.captures));
            b->pulses.clear();
            b->captures.clear();
        }
    }
    return out;
}

namespace {

Expected<ChannelResult, RunError> run_channel_unguarded(const Module& module,
                                                        const ChannelConfig& channel,
                                                        const VariableTable& variables) {
    const double fs = static_cast<double>(channel.sample_rate);
    std::vector<Thread> threads = build_threads(module);

    ChannelResult result;
    result.signal.sample_rate = fs;
    if (threads.empty()) {
        // Nothing runs: zeros, and the settings are not applied.
        auto length = buffer_length({}, fs, channel.sample_count);
        if (!length) return Unexpected(std::move(length).error());
        result.signal.length = *length;
        return result;
    }

    if (auto ran = run_scheduler(threads, variables, fs); !ran) {
        return Unexpected(std::move(ran).error());
    }

    ThreadOutputs outputs = gather_thread_outputs(threads);
    threads.clear();
    threads.shrink_to_fit();
    result.captures = std::move(outputs.captures);
    sort_captures(result.captures);

    auto length = buffer_length(outputs.pulses, fs, channel.sample_count);
    if (!length) return Unexpected(std::move(length).error());
    result.signal.length = *length;
    result.signal.pulses = std::move(outputs.pulses);
    result.signal.settings = sample_settings(module.settings, channel.enable_iir);
    return result;
}

}  // namespace

Expected<ChannelResult, RunError> run_channel(const Module& module, const ChannelConfig& channel,
                                              const VariableTable& variables) {
    // Allocations that sizes from the file can reach end the run in order.
    return unless_out_of_memory(
        [&] { return run_channel_unguarded(module, channel, variables); },
        [] { return Unexpected(RunError::message("Out of memory during the channel run")); });
}

}  // namespace velk
