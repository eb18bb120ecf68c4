// The in-memory pulse program: what the bytecode reader builds and the virtual
// machine and the driver read. Plain records and tagged variants; every record owns
// its fields. Numbers are held in native byte order.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "json.hpp"

namespace velk {

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

struct ShapedPulse {
    ParamValue<double> delta{0.0};
    ParamValue<double> amp{0.0};
    ParamValue<double> width{0.0};
    std::uint8_t shape = 0;
    ParamValue<double> plateau{0.0};
    ParamValue<double> block1{0.0};
    ParamValue<double> block2{0.0};
};

struct Capture {
    ParamValue<std::string> qubit{std::string()};
    ParamValue<std::string> creg{std::string()};
    ParamValue<std::uint32_t> idx{0u};
    ParamValue<double> duration{0.0};
    ParamValue<double> frequency{0.0};
    ParamValue<double> phi{0.0};
    ParamValue<double> threshold{0.0};
};

struct CaptureIq {
    ParamValue<std::string> qubit{std::string()};
    ParamValue<std::string> creg{std::string()};
    ParamValue<std::uint32_t> idx{0u};
    ParamValue<double> duration{0.0};
    ParamValue<double> frequency{0.0};
};

struct CaptureTrace {
    ParamValue<std::string> creg{std::string()};
    ParamValue<std::uint32_t> idx{0u};
    ParamValue<double> duration{0.0};
};

struct Delay {
    ParamValue<double> value{0.0};
};
struct SetFrequency {
    ParamValue<double> value{0.0};
};
struct ShiftPhase {
    ParamValue<double> value{0.0};
};

struct ResetPhase {};

struct Barrier {
    std::uint32_t id = 0;
};

// Carried in its block, skipped at run time.
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

struct RealWaveform {
    SharedSamples<double> samples;
    ParamValue<double> amplitude{0.0};
};

struct ComplexWaveform {
    SharedSamples<Complex> samples;
    ParamValue<double> amplitude{0.0};
};

// ---------------------------------------------------------------------------
// The instruction set, one line per opcode: the opcode, the record that holds the
// decoded instruction, and what follows the opcode byte in the file (all slots
// may be variable references, see VarRefParam; "plain" fields never are).
// Everything that depends on the set follows from this list: the Instruction
// variant, opcode_of, the decoder's dispatch; the VM and the capture descriptions
// dispatch on the record's type. The fields behind presence bits are listed once
// more, by name, in each record's RecordFields below.
//
#define VELK_INSTRUCTION_SET(X)                                                           \
    X(1, ShapedPulse)     /* presence, fields of RecordFields<ShapedPulse> */              \
    X(2, Capture)         /* presence, fields of RecordFields<Capture> */                  \
    X(3, CaptureIq)       /* presence, fields of RecordFields<CaptureIq> */                \
    X(4, CaptureTrace)    /* presence, fields of RecordFields<CaptureTrace> */             \
    X(5, Delay)           /* number slot: time += value (the only clock step) */           \
    X(6, SetFrequency)    /* number slot: frequency = value */                             \
    X(7, ShiftPhase)      /* number slot: phase += value */                                \
    X(8, ResetPhase)      /* nothing: phase = 0 */                                         \
    X(9, Barrier)         /* u32 id (plain): wait until the id is released */              \
    X(10, Opcode10)       /* u32 string offset (plain), number slot: no effect */          \
    X(11, RealWaveform)   /* u32 data index (plain), number slot (amplitude) */            \
    X(12, ComplexWaveform) /* u32 data index (plain), number slot (amplitude) */

namespace detail {
template <class Ignored, class... Records>
using VariantOf = std::variant<Records...>;
}  // namespace detail

#define VELK_INSTRUCTION_RECORD(opcode, Record) , Record
using Instruction = detail::VariantOf<void VELK_INSTRUCTION_SET(VELK_INSTRUCTION_RECORD)>;
#undef VELK_INSTRUCTION_RECORD

// The opcode of each record.
template <class Record>
inline constexpr std::uint8_t opcode_of = 0;
#define VELK_OPCODE_OF(opcode, Record) \
    template <>                        \
    inline constexpr std::uint8_t opcode_of<Record> = opcode;
VELK_INSTRUCTION_SET(VELK_OPCODE_OF)
#undef VELK_OPCODE_OF

#define VELK_OPCODE(opcode, Record) opcode,
static_assert(
    [] {
        constexpr std::uint8_t opcodes[] = {VELK_INSTRUCTION_SET(VELK_OPCODE)};
        for (std::size_t i = 0; i < std::size(opcodes); ++i) {
            if (opcodes[i] == 0) return false;
            for (std::size_t j = 0; j < i; ++j) {
                if (opcodes[i] == opcodes[j]) return false;
            }
        }
        return true;
    }(),
    "every opcode of the instruction set is non-zero and used once");
#undef VELK_OPCODE

// One field of a record whose fields follow presence bits: its name (the key of
// the module's defaults and of the capture description), the member, and for a
// number the value it takes when neither the instruction nor the defaults give one.
// Bit j of the presence byte stands for field j of the list.
template <class Record, class Value>
struct Field {
    std::string_view name;
    Value Record::*member;
    double fallback = 0.0;
};

// The fields of the records that carry presence bits, in file order; captures
// also name the record they leave in the channel's description. Other records
// have no RecordFields.
template <class Record>
struct RecordFields;

template <>
struct RecordFields<ShapedPulse> {
    using R = ShapedPulse;
    static constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();
    static constexpr auto list = std::tuple{
        Field<R, ParamValue<double>>{"delta", &R::delta},
        Field<R, ParamValue<double>>{"amp", &R::amp},
        Field<R, ParamValue<double>>{"width", &R::width},
        Field<R, std::uint8_t>{"shape", &R::shape},
        Field<R, ParamValue<double>>{"plateau", &R::plateau},
        Field<R, ParamValue<double>>{"block1", &R::block1, kAbsent},
        Field<R, ParamValue<double>>{"block2", &R::block2, kAbsent}};
};

template <>
struct RecordFields<Capture> {
    using R = Capture;
    static constexpr std::string_view capture_name = "capture";
    static constexpr auto list = std::tuple{
        Field<R, ParamValue<std::string>>{"qubit", &R::qubit},
        Field<R, ParamValue<std::string>>{"creg", &R::creg},
        Field<R, ParamValue<std::uint32_t>>{"idx", &R::idx},
        Field<R, ParamValue<double>>{"duration", &R::duration},
        Field<R, ParamValue<double>>{"frequency", &R::frequency},
        Field<R, ParamValue<double>>{"phi", &R::phi},
        Field<R, ParamValue<double>>{"threshold", &R::threshold}};
};

template <>
struct RecordFields<CaptureIq> {
    using R = CaptureIq;
    static constexpr std::string_view capture_name = "capture_iq";
    static constexpr auto list = std::tuple{
        Field<R, ParamValue<std::string>>{"qubit", &R::qubit},
        Field<R, ParamValue<std::string>>{"creg", &R::creg},
        Field<R, ParamValue<std::uint32_t>>{"idx", &R::idx},
        Field<R, ParamValue<double>>{"duration", &R::duration},
        Field<R, ParamValue<double>>{"frequency", &R::frequency}};
};

template <>
struct RecordFields<CaptureTrace> {
    using R = CaptureTrace;
    static constexpr std::string_view capture_name = "capture_trace";
    static constexpr auto list = std::tuple{
        Field<R, ParamValue<std::string>>{"creg", &R::creg},
        Field<R, ParamValue<std::uint32_t>>{"idx", &R::idx},
        Field<R, ParamValue<double>>{"duration", &R::duration}};
};

// Records whose fields follow presence bits, and the captures among them.
template <class Record>
concept HasPresenceBits = requires { RecordFields<Record>::list; };
template <class Record>
concept CaptureRecordType = requires { RecordFields<Record>::capture_name; };

// Calls f(field) for every field of the record's list, in order.
template <HasPresenceBits Record, class F>
constexpr void for_each_field(F&& f) {
    std::apply([&](const auto&... field) { (f(field), ...); }, RecordFields<Record>::list);
}

// A callable built from lambdas, one per type, for std::visit.
template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;  // clang 14 deduces no aggregate's arguments

struct Block {
    std::string name;
    std::vector<Instruction> instructions;
};

// A module's field defaults by field name: numbers and texts only, which drop
// without allocating.
using FieldDefaults = std::unordered_map<std::string, Json>;
// A module's settings by name; a value may be a large tree from a JSON text.
using Settings = std::unordered_map<std::string, JsonTree>;

struct Module {
    Settings settings;
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

// Variable values, one alternative per value type of the file: u32, i32, f32,
// f64, text and JSON (types 0 to 5).
struct VarString {
    std::string text;
    bool operator==(const VarString&) const = default;
};
using VarValue = std::variant<std::uint32_t, std::int32_t, float, double, VarString, JsonTree>;

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
