// The in-memory pulse program: what the bytecode reader builds and the virtual
// machine and the driver read. Plain records and tagged variants; every record owns
// its fields, except that immutable texts and DATA arrays are shared by the
// records that carry them. Numbers are held in native byte order.
#pragma once

#include <complex>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
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

// ---------------------------------------------------------------------------
// Sampled data

// A complex element of the DATA kind Complex64 as the file stores it.
struct ComplexF32 {
    float re = 0.0f;
    float im = 0.0f;
    bool operator==(const ComplexF32&) const = default;
};

// DATA section element kinds, by their codes in the file.
enum class DataKind : std::uint8_t { F32 = 0, F64 = 1, Complex64 = 2, Complex128 = 3 };

// Something of each DATA kind's element type, in the order of the kinds' codes:
// f32, f64, a complex of two f32, a complex of two f64. Each element type is as
// large as the kind's element in the file.
template <template <class> class Of>
using ByDataKind = std::variant<Of<float>, Of<double>, Of<ComplexF32>, Of<Complex>>;
template <class E>
using ElementVector = std::vector<E>;
template <class E>
using ElementSpan = std::span<const E>;
// The elements of a DATA array, and a view of them.
using DataElements = ByDataKind<ElementVector>;
using DataView = ByDataKind<ElementSpan>;
static_assert(sizeof(ComplexF32) == 8 && sizeof(Complex) == 16);

// An element as a waveform plays it: a complex sample with both parts widened to
// f64, a real element with the imaginary part 0.0.
inline Complex complex_sample(float v) { return Complex{static_cast<double>(v), 0.0}; }
inline Complex complex_sample(double v) { return Complex{v, 0.0}; }
inline Complex complex_sample(ComplexF32 c) {
    return Complex{static_cast<double>(c.re), static_cast<double>(c.im)};
}
inline Complex complex_sample(Complex c) { return c; }

// An element as a waveform of T samples plays it: complex_sample, or for f64
// samples its real part.
template <class T, class E>
T played_sample(E element) {
    if constexpr (std::is_same_v<T, double>) return complex_sample(element).re;
    else return complex_sample(element);
}

// One DATA array, immutable once read: its elements in its kind's element type.
// Copies share the elements: every waveform instruction that names an array
// plays the one copy that the reader decoded.
class DataArray {
public:
    DataArray() = default;  // no array: no elements (a view of no f64)
    template <class E>
        requires std::is_constructible_v<DataElements, std::vector<E>>
    explicit DataArray(std::vector<E> elements)
        : elements_(std::make_shared<const DataElements>(std::move(elements))) {}

    DataKind kind() const {
        return elements_ ? static_cast<DataKind>(elements_->index()) : DataKind::F64;
    }
    DataView view() const {
        if (!elements_) return std::span<const double>();
        return std::visit([](const auto& values) { return DataView(std::span(values)); },
                          *elements_);
    }
    std::size_t size() const {
        return std::visit([](const auto& values) { return values.size(); }, view());
    }
    // The shared elements; null for no array.
    const DataElements* elements() const { return elements_.get(); }

private:
    std::shared_ptr<const DataElements> elements_;
};

// The samples of a waveform instruction: the DATA array it names, each element
// played as a T (played_sample): f64 for a RealWaveform, Complex for a
// ComplexWaveform. An instruction whose index names no array has none.
template <class T>
class WaveformSamples {
public:
    WaveformSamples() = default;
    explicit WaveformSamples(DataArray array) : array_(std::move(array)) {}

    const DataArray& array() const { return array_; }
    DataView view() const { return array_.view(); }
    std::size_t size() const { return array_.size(); }
    bool empty() const { return size() == 0; }

private:
    DataArray array_;
};

struct RealWaveform {
    WaveformSamples<double> samples;
    ParamValue<double> amplitude{0.0};
};

struct ComplexWaveform {
    WaveformSamples<Complex> samples;
    ParamValue<double> amplitude{0.0};
};

// ---------------------------------------------------------------------------
// The instruction set, one line per opcode: the opcode, the record that holds the
// decoded instruction, and what follows the opcode byte in the file (all slots
// may be variable references, see VarRefParam; "plain" fields never are).
// Everything that depends on the set follows from this list and from each
// record's field list (RecordFields below): the Instruction variant, opcode_of,
// the decoder; the VM and the capture descriptions dispatch on the record's type.
// How a field is stored follows from its member's type: ParamValue<double> a
// number slot, ParamValue<std::string> a string slot, ParamValue<std::uint32_t>
// an index slot; std::uint8_t a plain byte, std::uint32_t a plain u32,
// std::string a plain string offset, WaveformSamples a plain u32 data index.
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

// How one field of a record is read: its name and, for a number behind presence
// bits, the value it takes when neither the instruction nor the defaults give
// one. The name is the key of the module's defaults and of the capture
// description, and what an end-of-file error names for a field that is not a
// slot. The member's type decides how the field is stored (see
// VELK_INSTRUCTION_SET).
template <class Value>
struct FieldRule {
    std::string_view name;
    double fallback = 0.0;
};

// A field of a record: how it is read, and the member that holds it.
template <class Record, class Value>
struct Field : FieldRule<Value> {
    Value Record::*member;
    constexpr Field(std::string_view name, Value Record::*field_member, double fallback = 0.0)
        : FieldRule<Value>{name, fallback}, member(field_member) {}
};

// Every record's fields, in file order: what follows its opcode byte. A record
// with presence bits has a presence byte first, bit j standing for field j of
// its list; a field whose bit is clear takes no bytes and takes its default.
// Captures also name the record they leave in the channel's description.
template <class Record>
struct RecordFields;

template <>
struct RecordFields<ShapedPulse> {
    using R = ShapedPulse;
    static constexpr bool presence_bits = true;
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
    static constexpr bool presence_bits = true;
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
    static constexpr bool presence_bits = true;
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
    static constexpr bool presence_bits = true;
    static constexpr std::string_view capture_name = "capture_trace";
    static constexpr auto list = std::tuple{
        Field<R, ParamValue<std::string>>{"creg", &R::creg},
        Field<R, ParamValue<std::uint32_t>>{"idx", &R::idx},
        Field<R, ParamValue<double>>{"duration", &R::duration}};
};

template <>
struct RecordFields<Delay> {
    using R = Delay;
    static constexpr auto list = std::tuple{Field<R, ParamValue<double>>{"value", &R::value}};
};

template <>
struct RecordFields<SetFrequency> {
    using R = SetFrequency;
    static constexpr auto list = std::tuple{Field<R, ParamValue<double>>{"value", &R::value}};
};

template <>
struct RecordFields<ShiftPhase> {
    using R = ShiftPhase;
    static constexpr auto list = std::tuple{Field<R, ParamValue<double>>{"value", &R::value}};
};

template <>
struct RecordFields<ResetPhase> {
    static constexpr auto list = std::tuple{};
};

template <>
struct RecordFields<Barrier> {
    using R = Barrier;
    static constexpr auto list = std::tuple{Field<R, std::uint32_t>{"barrier id", &R::id}};
};

template <>
struct RecordFields<Opcode10> {
    using R = Opcode10;
    static constexpr auto list = std::tuple{Field<R, std::string>{"opcode 10 text", &R::text},
                                            Field<R, ParamValue<double>>{"value", &R::value}};
};

template <>
struct RecordFields<RealWaveform> {
    using R = RealWaveform;
    static constexpr auto list =
        std::tuple{Field<R, WaveformSamples<double>>{"data index", &R::samples},
                   Field<R, ParamValue<double>>{"amplitude", &R::amplitude}};
};

template <>
struct RecordFields<ComplexWaveform> {
    using R = ComplexWaveform;
    static constexpr auto list =
        std::tuple{Field<R, WaveformSamples<Complex>>{"data index", &R::samples},
                   Field<R, ParamValue<double>>{"amplitude", &R::amplitude}};
};

// Records whose fields follow presence bits, and the captures among them.
template <class Record>
concept HasPresenceBits = RecordFields<Record>::presence_bits;
template <class Record>
concept CaptureRecordType = requires { RecordFields<Record>::capture_name; };

// Calls f(field) for every field of the record's list, in order.
template <class Record, class F>
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

// Variable values, one alternative per value type of the file: u32, i32, f32,
// f64, text and JSON (types 0 to 5).
struct VarString {
    std::string text;
    bool operator==(const VarString&) const = default;
};
using VarValue = std::variant<std::uint32_t, std::int32_t, float, double, VarString, JsonTree>;

// A declared variable. The kind byte that the file stores with it is read and
// never used.
struct VarDef {
    std::string name;
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
