// The in-memory pulse program: what the bytecode reader builds and the virtual
// machine and the driver read. Plain records and tagged variants; every record owns
// its fields. Numbers are held in native byte order.
#pragma once

#include <complex>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace velk {

using Json = nlohmann::json;

// A complex sample: (real, imaginary), both f64.
struct Complex {
    double re = 0.0;
    double im = 0.0;
    bool operator==(const Complex&) const = default;
};

// An immutable text that many records may carry: copies share one string.
class SharedText {
public:
    SharedText() = default;
    SharedText(std::string text) : text_(std::make_shared<const std::string>(std::move(text))) {}
    SharedText(const char* text) : SharedText(std::string(text)) {}

    const std::string& str() const { return text_ ? *text_ : empty(); }
    operator const std::string&() const { return str(); }
    bool operator==(const SharedText& other) const { return str() == other.str(); }

private:
    static const std::string& empty() {
        static const std::string none;
        return none;
    }
    std::shared_ptr<const std::string> text_;
};

// An instruction field stored either as a constant or as a reference to the
// variable at `index` of the VariableTable. `name` is the variable's name when
// the file was read ("var_{index}" when the index lies beyond the table), shared
// by every reference to that variable; lookups use the index only.
struct VarRefParam {
    SharedText name;
    std::uint32_t index = 0;
    bool operator==(const VarRefParam&) const = default;
};

template <class T>
using ParamValue = std::variant<T, VarRefParam>;

// Operand list elements: a constant duration, a barrier id, or a duration taken
// from a variable.
struct OperandConst {
    double value = 0.0;
};
struct OperandBarrier {
    std::uint32_t id = 0;
};
using OperandVar = VarRefParam;
using Operand = std::variant<OperandConst, OperandBarrier, OperandVar>;

// Opcode 1.
struct ShapedPulse {
    ParamValue<double> delta{0.0};
    ParamValue<double> amp{0.0};
    ParamValue<double> width{0.0};
    std::uint8_t shape = 0;
    ParamValue<double> plateau{0.0};
    ParamValue<double> block1{0.0};
    ParamValue<double> block2{0.0};
};

// Opcode 2.
struct Capture {
    ParamValue<std::string> qubit{std::string()};
    ParamValue<std::string> creg{std::string()};
    ParamValue<std::uint32_t> idx{0u};
    ParamValue<double> duration{0.0};
    ParamValue<double> frequency{0.0};
    ParamValue<double> phi{0.0};
    ParamValue<double> threshold{0.0};
};

// Opcode 3.
struct CaptureIq {
    ParamValue<std::string> qubit{std::string()};
    ParamValue<std::string> creg{std::string()};
    ParamValue<std::uint32_t> idx{0u};
    ParamValue<double> duration{0.0};
    ParamValue<double> frequency{0.0};
};

// Opcode 4.
struct CaptureTrace {
    ParamValue<std::string> creg{std::string()};
    ParamValue<std::uint32_t> idx{0u};
    ParamValue<double> duration{0.0};
};

// Opcodes 5 to 7.
struct Delay {
    ParamValue<double> value{0.0};
};
struct SetFrequency {
    ParamValue<double> value{0.0};
};
struct ShiftPhase {
    ParamValue<double> value{0.0};
};

// Opcode 8.
struct ResetPhase {};

// Opcode 9.
struct Barrier {
    std::uint32_t id = 0;
};

// Opcode 10: carried in its block, skipped at run time.
struct Opcode10 {
    std::string text;
    ParamValue<double> value{0.0};
};

// A waveform's sample values, immutable once read. Every waveform instruction that
// names one DATA array with one element type refers to the same values, so a
// program with many such instructions holds each converted array once.
template <class T>
class SharedSamples {
public:
    SharedSamples() = default;
    SharedSamples(std::vector<T> values)
        : values_(values.empty() ? nullptr
                                 : std::make_shared<const std::vector<T>>(std::move(values))) {}
    SharedSamples(std::initializer_list<T> values)
        : values_(values.size() == 0 ? nullptr : std::make_shared<const std::vector<T>>(values)) {}

    const T* data() const { return values_ ? values_->data() : nullptr; }
    std::size_t size() const { return values_ ? values_->size() : 0; }
    bool empty() const { return size() == 0; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size(); }
    const T& operator[](std::size_t i) const { return (*values_)[i]; }
    operator std::span<const T>() const { return {data(), size()}; }

private:
    std::shared_ptr<const std::vector<T>> values_;
};

// Opcode 11.
struct RealWaveform {
    SharedSamples<double> samples;
    ParamValue<double> amplitude{0.0};
};

// Opcode 12.
struct ComplexWaveform {
    SharedSamples<Complex> samples;
    ParamValue<double> amplitude{0.0};
};

// Alternative index + 1 is the opcode.
using Instruction = std::variant<ShapedPulse, Capture, CaptureIq, CaptureTrace, Delay,
                                 SetFrequency, ShiftPhase, ResetPhase, Barrier, Opcode10,
                                 RealWaveform, ComplexWaveform>;

struct Block {
    std::string name;
    std::vector<Instruction> instructions;
};

using FieldDefaults = std::unordered_map<std::string, Json>;

struct Module {
    std::unordered_map<std::string, Json> settings;
    std::unordered_map<std::uint8_t, FieldDefaults> defaults;
    std::vector<std::vector<Operand>> operand_lists;
    std::vector<Block> blocks;
};

using ModuleMap = std::unordered_map<std::string, Module>;

// DATA section element kinds.
enum class DataKind : std::uint8_t { F32 = 0, F64 = 1, Complex64 = 2, Complex128 = 3 };

struct DataArray {
    DataKind kind = DataKind::F64;
    // F32 arrays use `f32`, F64 arrays `f64`, complex arrays `complex` (both parts
    // widened to f64 for Complex64).
    std::vector<float> f32;
    std::vector<double> f64;
    std::vector<Complex> complex;
};

// Variable values, in the order of the file's value types 0 to 5.
struct VarString {
    std::string text;
    bool operator==(const VarString&) const = default;
};
using VarValue = std::variant<std::uint32_t, std::int32_t, float, double, VarString, Json>;

struct VarDef {
    std::string name;
    std::uint8_t kind = 0;
    std::optional<VarValue> value;
};

struct VariableTable {
    std::vector<VarDef> variables;
    // Position of the last entry of each name in `variables`.
    std::unordered_map<std::string, std::size_t> variable_index;

    // The value of the variable at `index`; null when the index lies beyond the
    // table or the variable has no value.
    const VarValue* value_at(std::uint64_t index) const {
        if (index >= variables.size() || !variables[index].value) return nullptr;
        return &*variables[index].value;
    }
};

}  // namespace velk
