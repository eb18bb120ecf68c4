// Reader of VELK bytecode files, version 3.
//
// Layout (all integers and floats big-endian, DATA payloads little-endian, all
// offsets absolute u32; strings are NUL-terminated bytes at a u32 offset):
//
//   header    "VELK", u16 version 3, 2 reserved bytes, then four (offset, length)
//             ranges: first section (kept, unused), DATA, VARIABLES, CODE
//   DATA      entries: kind u8, ndims u8, payload_bytes u32, ndims x u32 dims,
//             elements from the payload start (count = product of dims, 0 if none)
//   VARIABLES count u32, entries (name, kind u8, has_default u8 [, type u8, value]),
//             then, if the section has room left, ref_count u32 and 9-byte
//             relocation entries (slot offset u32, variable index u32, kind u8)
//   CODE      module records: length u32, name, counts of settings, defaults,
//             operand lists and blocks, then those records back to back
//
// Every read goes through Cursor, which checks the end of the file; the code above
// it reads straight through and passes the first error up unchanged.
#include "binary.hpp"

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <variant>

#include "input_file.hpp"
#include "json.hpp"
#include "text.hpp"

namespace velk {
namespace {

// Evaluates `expr` (an Expected); on error returns the error from the enclosing
// function, else assigns or declares `decl` with the value.
#define VELK_CAT2(a, b) a##b
#define VELK_CAT(a, b) VELK_CAT2(a, b)
#define VELK_TRY_AT(tmp, decl, expr)                              \
    auto tmp = (expr);                                            \
    if (!tmp) return ::velk::Unexpected(std::move(tmp).error()); \
    decl = std::move(*tmp)
#define TRY(decl, expr) VELK_TRY_AT(VELK_CAT(try_, __LINE__), decl, expr)
#define TRY_VOID(expr)                                                      \
    do {                                                                    \
        auto try_void_ = (expr);                                            \
        if (!try_void_) return ::velk::Unexpected(std::move(try_void_).error()); \
    } while (0)

using Error = std::string;

// Memory charged for one map entry beyond its key and value (node and bucket).
constexpr std::uint64_t kMapEntryBytes = 48;
// Memory charged for one relocation entry's value.
constexpr std::uint64_t kVarRefBytes = 8;
// Memory charged for one variable's record beside its name and map entry: what
// the record took when the limit was set (with the kind byte it no longer keeps),
// so that the limit stays where it is.
constexpr std::uint64_t kVarDefBytes = 88;
static_assert(sizeof(VarDef) <= kVarDefBytes);
// Memory charged per byte of a JSON text that parses, for its tree, on top of
// the copy of the text (so 41 bytes per byte in all): a parsed tree is larger
// than its text. The most measured per byte is "[{},{},...]": a 16-byte
// element (48 bytes while its array grows) and a 64-byte empty map per three
// bytes, 37 bytes per byte at its peak.
constexpr std::uint64_t kJsonBytesPerChar = 40;

std::uint32_t be_u32(std::span<const std::uint8_t> b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
           (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
}

std::uint64_t be_u64(std::span<const std::uint8_t> b) {
    return (std::uint64_t{be_u32(b.first(4))} << 32) | be_u32(b.subspan(4, 4));
}

std::uint32_t le_u32(const std::uint8_t* b) {
    return std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16) |
           (std::uint32_t{b[3]} << 24);
}

std::uint64_t le_u64(const std::uint8_t* b) {
    return std::uint64_t{le_u32(b)} | (std::uint64_t{le_u32(b + 4)} << 32);
}

float le_f32(const std::uint8_t* b) { return std::bit_cast<float>(le_u32(b)); }
double le_f64(const std::uint8_t* b) { return std::bit_cast<double>(le_u64(b)); }

std::string eof_error(std::string_view what, std::uint64_t offset) {
    std::string msg = "Unexpected end of file reading ";
    msg += what;
    msg += " at offset ";
    msg += std::to_string(offset);
    return msg;
}

// A JSON integer from a signed 32-bit value: unsigned when not negative.
Json json_from_i32(std::int32_t v) {
    if (v >= 0) return Json(static_cast<std::uint64_t>(v));
    return Json(static_cast<std::int64_t>(v));
}

// Text holding one JSON document becomes that value; any other text (the empty
// text included) becomes a JSON string of itself. The tree is charged before
// it is built: where the budget cannot pay for it, the text is only checked
// (check_json builds nothing), so that refusing a large document costs no more
// than its text.
Expected<JsonTree, Error> json_from_text(std::string text, Cursor& cur) {
    const std::uint64_t tree_bytes = kJsonBytesPerChar * text.size();
    if (tree_bytes > cur.budget_left()) {
        if (!check_json(text)) return JsonTree(Json(std::move(text)));
        return Unexpected(cur.charge(tree_bytes).error());
    }
    auto parsed = parse_json(text);
    if (parsed) {
        TRY_VOID(cur.charge(tree_bytes));
        return Expected<JsonTree, Error>(std::move(*parsed));
    }
    return JsonTree(Json(std::move(text)));
}

Expected<std::string, Error> text_copy(const std::string& text, Cursor& cur) {
    TRY_VOID(cur.charge(text.size()));
    return text;
}

// The reference a slot at `at` carries, if any. The name is the variable's
// (shared), or "var_{index}" when the index lies beyond the table.
Expected<std::optional<VarRefParam>, Error> reference_at(const BinaryFile& file,
                                                          std::uint64_t at, Cursor& cur) {
    auto it = file.var_refs.find(at);
    if (it == file.var_refs.end()) return std::optional<VarRefParam>();
    const std::uint32_t index = it->second.index;
    VarRefParam ref;
    ref.index = index;
    if (index < file.variables.size()) {
        TRY_VOID(cur.charge(file.variables[index].name.size()));
        ref.name = file.reference_names[index];
    } else {
        ref.name = "var_" + std::to_string(index);
    }
    return std::optional<VarRefParam>(std::move(ref));
}

const FieldDefaults* defaults_for(const std::unordered_map<std::uint8_t, FieldDefaults>& all,
                                  std::uint8_t opcode) {
    auto it = all.find(opcode);
    return it == all.end() ? nullptr : &it->second;
}

const Json* default_entry(const FieldDefaults* defaults, std::string_view name) {
    if (defaults == nullptr) return nullptr;
    auto it = defaults->find(std::string(name));
    return it == defaults->end() ? nullptr : &it->second;
}

bool bit_set(std::uint8_t presence, unsigned bit) { return ((presence >> bit) & 1u) != 0; }

// Calls step(field, bit) for the fields of a record with presence bits in file
// order, `bit` the field's presence bit, and stops at the first that fails.
template <class Record, class Step>
Expected<void, Error> read_each_field(Step&& step) {
    Expected<void, Error> ok;
    unsigned bit = 0;
    for_each_field<Record>([&](const auto& field) {
        if (ok) ok = step(field, bit);
        ++bit;
    });
    return ok;
}

// Calls f(std::type_identity<E>{}) with the element type of DATA kind `kind`
// (DataElements' alternative of that index); false for a kind outside 0 to 3.
template <class F, std::size_t... K>
bool with_element_at(std::uint8_t kind, F& f, std::index_sequence<K...>) {
    return ((kind == K &&
             (f(std::type_identity<
                  typename std::variant_alternative_t<K, DataElements>::value_type>{}),
              true)) ||
            ...);
}
template <class F>
bool with_element_of(std::uint8_t kind, F&& f) {
    return with_element_at(kind, f,
                           std::make_index_sequence<std::variant_size_v<DataElements>>());
}

// Calls f(std::type_identity<Record>{}) with the record of `opcode`; false for an
// opcode outside the instruction set.
template <class F>
bool with_record_of(std::uint8_t opcode, F&& f) {
    switch (opcode) {
#define VELK_RECORD_CASE(op, Record) \
    case op: f(std::type_identity<Record>{}); return true;
        VELK_INSTRUCTION_SET(VELK_RECORD_CASE)
#undef VELK_RECORD_CASE
        default: return false;
    }
}

// ---------------------------------------------------------------------------
// DATA and VARIABLES

// One element of type E from its little-endian bytes.
template <class E>
E le_element(const std::uint8_t* p) {
    if constexpr (std::is_same_v<E, float>) return le_f32(p);
    else if constexpr (std::is_same_v<E, double>) return le_f64(p);
    else if constexpr (std::is_same_v<E, ComplexF32>) return ComplexF32{le_f32(p), le_f32(p + 4)};
    else return Complex{le_f64(p), le_f64(p + 8)};
}

// The `count` elements of type E from `payload` on (none: a count beyond 64
// bits) as the next DATA array; storage is made only once they are known to lie
// within the file.
template <class E>
Expected<void, Error> read_elements(BinaryFile& file, std::uint64_t payload,
                                    std::optional<std::uint64_t> count) {
    const std::uint64_t size = file.bytes.size();
    std::uint64_t needed = 0;
    if (!count || __builtin_mul_overflow(*count, sizeof(E), &needed) || payload > size ||
        needed > size - payload)
        return Unexpected(eof_error("data elements", payload));
    const std::uint8_t* p = file.bytes.data() + payload;
    std::vector<E> elements(static_cast<std::size_t>(*count));
    for (std::size_t i = 0; i < elements.size(); ++i)
        elements[i] = le_element<E>(p + sizeof(E) * i);
    file.data.emplace_back(std::move(elements));
    return {};
}

Expected<void, Error> read_data_section(BinaryFile& file, Cursor& cur) {
    const SectionRange& range = file.header.data_section;
    if (range.length == 0) return {};
    cur.seek(range.offset);
    const std::uint64_t end = range.end();
    while (cur.pos() < end) {
        TRY(const std::uint8_t kind, cur.u8("data kind"));
        TRY(const std::uint8_t ndims, cur.u8("data dimension count"));
        TRY(const std::uint32_t payload_bytes, cur.u32("data payload length"));
        // The element count is the exact product of the dimensions (0 without
        // any); a product beyond 64 bits cannot fit the file either.
        std::uint64_t count = ndims == 0 ? 0 : 1;
        bool overflow = false;
        bool zero = false;
        for (unsigned d = 0; d < ndims; ++d) {
            TRY(const std::uint32_t dim, cur.u32("data dimension"));
            if (dim == 0) zero = true;
            if (!overflow && __builtin_mul_overflow(count, std::uint64_t{dim}, &count))
                overflow = true;
        }
        if (zero) {
            count = 0;
            overflow = false;
        }
        const std::uint64_t payload = cur.pos();
        Expected<void, Error> read = Unexpected("Unknown data type: " + std::to_string(kind));
        with_element_of(kind, [&]<class E>(std::type_identity<E>) {
            read = read_elements<E>(file, payload, overflow ? std::nullopt
                                                            : std::optional<std::uint64_t>(count));
        });
        TRY_VOID(read);
        cur.seek(payload + payload_bytes);
    }
    return {};
}

// A value of the file's value types 0 to 5: u32, i32, f32, f64, a text, and a
// JSON text (json_from_text). `what` names it in an end-of-file error; a type
// outside them is the error "Unknown {owner} value type: {type}".
Expected<VarValue, Error> read_value(Cursor& cur, std::uint8_t type, std::string_view what,
                                     std::string_view owner) {
    switch (type) {
        case 0: {
            TRY(const std::uint32_t v, cur.u32(what));
            return VarValue(std::in_place_type<std::uint32_t>, v);
        }
        case 1: {
            TRY(const std::int32_t v, cur.i32(what));
            return VarValue(std::in_place_type<std::int32_t>, v);
        }
        case 2: {
            TRY(const float v, cur.f32(what));
            return VarValue(std::in_place_type<float>, v);
        }
        case 3: {
            TRY(const double v, cur.f64(what));
            return VarValue(std::in_place_type<double>, v);
        }
        case 4: {
            TRY(std::string text, cur.string(what));
            return VarValue(std::in_place_type<VarString>, VarString{std::move(text)});
        }
        case 5: {
            TRY(std::string text, cur.string(what));
            TRY(JsonTree json, json_from_text(std::move(text), cur));
            return VarValue(std::in_place_type<JsonTree>, std::move(json));
        }
        default:
            return Unexpected("Unknown " + std::string(owner) + " value type: " +
                              std::to_string(type));
    }
}

Expected<void, Error> read_variables_section(BinaryFile& file, Cursor& cur) {
    const SectionRange& range = file.header.variables_section;
    if (range.length == 0) return {};
    cur.seek(range.offset);
    TRY(const std::uint32_t count, cur.u32("variable count"));
    // Each entry takes at least 6 bytes, so a count beyond the file ends at its end.
    for (std::uint32_t i = 0; i < count; ++i) {
        VarDef def;
        TRY(def.name, cur.string("variable name"));
        TRY_VOID(cur.u8("variable kind"));
        TRY(const std::uint8_t has_default, cur.u8("variable default flag"));
        if (has_default == 1) {
            TRY(const std::uint8_t type, cur.u8("variable value type"));
            TRY(def.value, read_value(cur, type, "variable value", "var"));
        }
        TRY_VOID(cur.charge(kVarDefBytes + kMapEntryBytes + def.name.size()));
        file.variable_index.insert_or_assign(def.name, file.variables.size());
        // Its references share this copy; each reference is still charged the
        // name's bytes, as if it held a copy of its own.
        file.reference_names.emplace_back(def.name);
        file.variables.push_back(std::move(def));
    }
    if (cur.pos() < range.end()) {
        TRY(const std::uint32_t ref_count, cur.u32("relocation count"));
        for (std::uint32_t i = 0; i < ref_count; ++i) {
            TRY(const std::uint32_t offset, cur.u32("relocation offset"));
            TRY(const std::uint32_t index, cur.u32("relocation variable index"));
            TRY_VOID(cur.u8("relocation kind"));
            TRY_VOID(cur.charge(kVarRefBytes + kMapEntryBytes));
            file.var_refs.insert_or_assign(std::uint64_t{offset}, VarRef{index});
        }
    }
    return {};
}

Expected<void, Error> parse_sections_impl(std::span<const std::uint8_t> bytes,
                                          std::uint64_t decode_limit, BinaryFile& file) {
    if (bytes.size() < 32) return Unexpected(Error("File too small"));
    if (std::memcmp(bytes.data(), "VELK", 4) != 0)
        return Unexpected(Error("Invalid magic number"));
    const auto version = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
    if (version != 3) return Unexpected("Unsupported version: " + std::to_string(version));
    if (bytes.size() < 40)
        return Unexpected("Truncated header: " + std::to_string(bytes.size()) +
                          " bytes, need 40");

    file.bytes = bytes;
    file.decode_limit = decode_limit;
    Cursor cur(bytes, 8, decode_limit);
    SectionRange first_section;
    SectionRange* ranges[] = {&first_section, &file.header.data_section,
                              &file.header.variables_section, &file.header.code_section};
    for (SectionRange* r : ranges) {
        TRY(r->offset, cur.u32("section offset"));
        TRY(r->length, cur.u32("section length"));
    }
    TRY_VOID(read_data_section(file, cur));
    TRY_VOID(read_variables_section(file, cur));
    file.decoded_bytes = cur.decoded_bytes();
    return {};
}

// ---------------------------------------------------------------------------
// CODE

// A setting's value as the module keeps it: a number as a JSON number (a float
// that is NaN or infinite as null), a text as a JSON string, a JSON text as what
// json_from_text made of it.
JsonTree setting_json(VarValue value) {
    return std::visit(
        Overloaded{[](std::uint32_t v) { return JsonTree(Json(std::uint64_t{v})); },
                   [](std::int32_t v) { return JsonTree(json_from_i32(v)); },
                   [](float v) { return JsonTree(json_float_or_null(static_cast<double>(v))); },
                   [](double v) { return JsonTree(json_float_or_null(v)); },
                   [](VarString& text) { return JsonTree(Json(std::move(text.text))); },
                   [](JsonTree& tree) { return std::move(tree); }},
        value);
}

// A default as the defaults record stores it, by the field's kind.
Expected<Json, Error> read_default_value(Cursor& cur, const FieldRule<std::uint8_t>& field) {
    TRY(const std::uint8_t v, cur.u8(field.name));
    return Json(std::uint64_t{v});
}
Expected<Json, Error> read_default_value(Cursor& cur,
                                         const FieldRule<ParamValue<std::uint32_t>>& field) {
    TRY(const std::int32_t v, cur.i32(field.name));
    return json_from_i32(v);
}
Expected<Json, Error> read_default_value(Cursor& cur,
                                         const FieldRule<ParamValue<std::string>>& field) {
    TRY(std::string text, cur.string(field.name));
    return Json(std::move(text));
}
Expected<Json, Error> read_default_value(Cursor& cur, const FieldRule<ParamValue<double>>& field) {
    TRY(const double v, cur.f64(field.name));
    return json_float_or_null(v);
}

// The defaults of a record's fields whose presence bits are set, in field order.
template <class Record>
Expected<void, Error> read_record_defaults(std::uint8_t presence, FieldDefaults& fields,
                                           Cursor& cur) {
    if constexpr (HasPresenceBits<Record>) {
        return read_each_field<Record>(
            [&](const auto& field, unsigned bit) -> Expected<void, Error> {
                if (!bit_set(presence, bit)) return {};
                TRY(Json value, read_default_value(cur, field));
                TRY_VOID(cur.charge(kMapEntryBytes + sizeof(Json) + field.name.size()));
                fields.insert_or_assign(std::string(field.name), std::move(value));
                return {};
            });
    } else {
        (void)presence, (void)fields, (void)cur;
        return {};
    }
}

// A defaults record: the stored fields replace the opcode's earlier map whole;
// a record that stores nothing leaves the earlier map in force. An opcode
// without presence bits (or outside the set) stores nothing.
Expected<void, Error> read_defaults_record(Module& module, Cursor& cur) {
    TRY(const std::uint8_t opcode, cur.u8("defaults opcode"));
    TRY(const std::uint8_t presence, cur.u8("defaults presence bits"));
    FieldDefaults fields;
    Expected<void, Error> read;
    with_record_of(opcode, [&]<class Record>(std::type_identity<Record>) {
        read = read_record_defaults<Record>(presence, fields, cur);
    });
    TRY_VOID(read);
    if (!fields.empty()) module.defaults.insert_or_assign(opcode, std::move(fields));
    return {};
}

// Operand list entries: code 5 carries a number slot, code 9 a barrier id (never
// a reference); any other code carries nothing and adds nothing.
Expected<std::vector<Operand>, Error> read_operand_list(const BinaryFile& file, Cursor& cur) {
    TRY(const std::uint32_t count, cur.u32("operand count"));
    std::vector<Operand> list;
    for (std::uint32_t i = 0; i < count; ++i) {
        TRY(const std::uint8_t code, cur.u8("operand code"));
        TRY_VOID(cur.charge(sizeof(Operand)));
        if (code == 5) {
            TRY(ParamValue<double> value, read_param_f64(file, cur));
            if (auto* ref = std::get_if<VarRefParam>(&value))
                list.emplace_back(std::in_place_type<OperandVar>, std::move(*ref));
            else
                list.emplace_back(OperandConst{std::get<double>(value)});
        } else if (code == 9) {
            TRY(const std::uint32_t id, cur.u32("operand barrier id"));
            list.emplace_back(OperandBarrier{id});
        }
    }
    return list;
}

Expected<Block, Error> read_block(const BinaryFile& file, const Module& module, Cursor& cur) {
    Block block;
    TRY(block.name, cur.string("block name"));
    TRY(const std::uint32_t count, cur.u32("instruction count"));
    TRY_VOID(cur.charge(sizeof(Block)));
    // Every instruction takes at least its opcode byte, so a count the file can
    // hold is reserved at once, as long as the budget could pay for it; any other
    // count grows the list as the instructions come and fails where they end.
    if (count <= cur.remaining() && count * sizeof(Instruction) <= cur.budget_left())
        block.instructions.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        TRY(Instruction ins, decode_instruction(file, cur, module.defaults));
        block.instructions.push_back(std::move(ins));
    }
    return block;
}

Expected<void, Error> parse_modules_impl(const BinaryFile& file, ModuleMap& modules) {
    const SectionRange& range = file.header.code_section;
    Cursor cur(file.bytes, range.offset, file.decode_limit, file.decoded_bytes);
    const std::uint64_t end = range.end();
    // Every record advances the start by at least 4 bytes, so the loop ends.
    while (cur.pos() < end) {
        const std::uint64_t start = cur.pos();
        TRY(const std::uint32_t length, cur.u32("module length"));
        TRY(std::string name, cur.string("module name"));
        TRY(const std::uint32_t setting_count, cur.u32("setting count"));
        TRY(const std::uint32_t defaults_count, cur.u32("defaults count"));
        TRY(const std::uint32_t list_count, cur.u32("operand list count"));
        TRY(const std::uint32_t block_count, cur.u32("block count"));
        TRY_VOID(cur.charge(sizeof(Module) + kMapEntryBytes));

        Module module;
        for (std::uint32_t i = 0; i < setting_count; ++i) {
            TRY(std::string key, cur.string("setting name"));
            TRY(const std::uint8_t type, cur.u8("setting value type"));
            TRY(VarValue value, read_value(cur, type, "setting value", "setting"));
            TRY_VOID(cur.charge(kMapEntryBytes + sizeof(Json)));
            module.settings.insert_or_assign(std::move(key), setting_json(std::move(value)));
        }
        for (std::uint32_t i = 0; i < defaults_count; ++i)
            TRY_VOID(read_defaults_record(module, cur));
        for (std::uint32_t i = 0; i < list_count; ++i) {
            TRY(std::vector<Operand> list, read_operand_list(file, cur));
            TRY_VOID(cur.charge(sizeof(std::vector<Operand>)));
            module.operand_lists.push_back(std::move(list));
        }
        for (std::uint32_t i = 0; i < block_count; ++i) {
            TRY(Block block, read_block(file, module, cur));
            module.blocks.push_back(std::move(block));
        }
        modules.insert_or_assign(std::move(name), std::move(module));
        // The module length decides only where the next record starts.
        cur.seek(start + 4 + length);
    }
    return {};
}

Error out_of_memory() { return "Out of memory while reading the program"; }

}  // namespace

// ---------------------------------------------------------------------------
// Cursor

Expected<std::span<const std::uint8_t>, std::string> Cursor::take(std::uint64_t n,
                                                                  std::string_view what) {
    const std::uint64_t size = bytes_.size();
    if (pos_ > size || n > size - pos_) return Unexpected(eof_error(what, pos_));
    auto out = bytes_.subspan(static_cast<std::size_t>(pos_), static_cast<std::size_t>(n));
    pos_ += n;
    return out;
}

Expected<std::uint8_t, std::string> Cursor::u8(std::string_view what) {
    TRY(auto b, take(1, what));
    return b[0];
}

Expected<std::uint16_t, std::string> Cursor::u16(std::string_view what) {
    TRY(auto b, take(2, what));
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}

Expected<std::uint32_t, std::string> Cursor::u32(std::string_view what) {
    TRY(auto b, take(4, what));
    return be_u32(b);
}

Expected<std::int32_t, std::string> Cursor::i32(std::string_view what) {
    TRY(auto b, take(4, what));
    return static_cast<std::int32_t>(be_u32(b));
}

Expected<float, std::string> Cursor::f32(std::string_view what) {
    TRY(auto b, take(4, what));
    return std::bit_cast<float>(be_u32(b));
}

Expected<double, std::string> Cursor::f64(std::string_view what) {
    TRY(auto b, take(8, what));
    return std::bit_cast<double>(be_u64(b));
}

Expected<std::string, std::string> Cursor::string(std::string_view what) {
    TRY(const std::uint32_t offset, u32(what));
    return text_at(offset);
}

Expected<std::string, std::string> Cursor::text_at(std::uint64_t offset) {
    if (offset >= bytes_.size()) return std::string();
    const auto rest = bytes_.subspan(static_cast<std::size_t>(offset));
    const void* nul = std::memchr(rest.data(), 0, rest.size());
    const std::size_t len =
        nul ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - rest.data())
            : rest.size();
    // Charged before the copy is made; invalid sequences can make it longer.
    TRY_VOID(charge(len));
    std::string text = utf8_lossy(std::string_view(reinterpret_cast<const char*>(rest.data()), len));
    if (text.size() > len) TRY_VOID(charge(text.size() - len));
    return text;
}

Expected<void, std::string> Cursor::charge(std::uint64_t n) {
    if (used_ > limit_ || n > limit_ - used_)
        return Unexpected("Decoded program exceeds the limit of " + std::to_string(limit_) +
                          " bytes");
    used_ += n;
    return {};
}

// ---------------------------------------------------------------------------
// Strings, slots and fields

Expected<ParamValue<double>, std::string> read_param_f64(const BinaryFile& file, Cursor& cur) {
    const std::uint64_t at = cur.pos();
    TRY(auto bytes, cur.take(8, "number slot"));
    TRY(auto ref, reference_at(file, at, cur));
    if (ref) return ParamValue<double>(std::move(*ref));
    return ParamValue<double>(std::bit_cast<double>(be_u64(bytes)));
}

Expected<ParamValue<std::string>, std::string> read_param_string(const BinaryFile& file,
                                                                 Cursor& cur) {
    const std::uint64_t at = cur.pos();
    TRY(auto bytes, cur.take(4, "string slot"));
    TRY(auto ref, reference_at(file, at, cur));
    if (ref) return ParamValue<std::string>(std::move(*ref));
    TRY(std::string text, cur.text_at(be_u32(bytes)));
    return ParamValue<std::string>(std::in_place_index<0>, std::move(text));
}

Expected<ParamValue<std::uint32_t>, std::string> read_param_u32(const BinaryFile& file,
                                                                Cursor& cur) {
    const std::uint64_t at = cur.pos();
    TRY(auto bytes, cur.take(4, "index slot"));
    TRY(auto ref, reference_at(file, at, cur));
    if (ref) return ParamValue<std::uint32_t>(std::move(*ref));
    return ParamValue<std::uint32_t>(be_u32(bytes));
}

Expected<ParamValue<double>, std::string> read_field(const BinaryFile& file,
                                                     std::uint8_t presence, unsigned bit,
                                                     const FieldRule<ParamValue<double>>& field,
                                                     const FieldDefaults* defaults, Cursor& cur) {
    if (bit_set(presence, bit)) return read_param_f64(file, cur);
    if (const Json* d = default_entry(defaults, field.name)) {
        if (const std::optional<double> v = json_number(*d)) return ParamValue<double>(*v);
    }
    return ParamValue<double>(field.fallback);
}

Expected<std::uint8_t, std::string> read_field(const BinaryFile&, std::uint8_t presence,
                                               unsigned bit, const FieldRule<std::uint8_t>& field,
                                               const FieldDefaults* defaults, Cursor& cur) {
    if (bit_set(presence, bit)) return cur.u8(field.name);
    const Json* d = default_entry(defaults, field.name);
    if (d != nullptr && d->is_number_unsigned())
        return static_cast<std::uint8_t>(d->get<std::uint64_t>() & 0xFFu);
    return std::uint8_t{0};
}

Expected<ParamValue<std::string>, std::string> read_field(
    const BinaryFile& file, std::uint8_t presence, unsigned bit,
    const FieldRule<ParamValue<std::string>>& field, const FieldDefaults* defaults, Cursor& cur) {
    if (bit_set(presence, bit)) return read_param_string(file, cur);
    const Json* d = default_entry(defaults, field.name);
    std::string text;
    if (d != nullptr && d->is_string()) {
        TRY(text, text_copy(d->get_ref<const std::string&>(), cur));
    }
    return ParamValue<std::string>(std::in_place_index<0>, std::move(text));
}

Expected<ParamValue<std::uint32_t>, std::string> read_field(
    const BinaryFile& file, std::uint8_t presence, unsigned bit,
    const FieldRule<ParamValue<std::uint32_t>>& field, const FieldDefaults* defaults,
    Cursor& cur) {
    if (bit_set(presence, bit)) return read_param_u32(file, cur);
    const Json* d = default_entry(defaults, field.name);
    std::int64_t value = 0;
    if (d != nullptr && d->is_number_unsigned()) {
        const auto u = d->get<std::uint64_t>();
        value = u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                    ? 0
                    : static_cast<std::int64_t>(u);
    } else if (d != nullptr && d->is_number_integer()) {
        value = d->get<std::int64_t>();
    }
    return ParamValue<std::uint32_t>(
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(value) & 0xFFFFFFFFu));
}

// ---------------------------------------------------------------------------
// Instructions (the set and each record's fields: program.hpp)

namespace {

// A field of a record without presence bits, as its member's type stores it.
Expected<ParamValue<double>, Error> read_stored(const BinaryFile& file,
                                                const FieldRule<ParamValue<double>>&,
                                                Cursor& cur) {
    return read_param_f64(file, cur);
}
Expected<std::uint32_t, Error> read_stored(const BinaryFile&, const FieldRule<std::uint32_t>& field,
                                           Cursor& cur) {
    return cur.u32(field.name);
}
Expected<std::string, Error> read_stored(const BinaryFile&, const FieldRule<std::string>& field,
                                         Cursor& cur) {
    return cur.string(field.name);
}
// The DATA array that the index names; none for an index past the table.
template <class T>
Expected<WaveformSamples<T>, Error> read_stored(const BinaryFile& file,
                                                const FieldRule<WaveformSamples<T>>& field,
                                                Cursor& cur) {
    TRY(const std::uint32_t index, cur.u32(field.name));
    if (index >= file.data.size()) return WaveformSamples<T>();
    return WaveformSamples<T>(file.data[index]);
}

// The bytes a field is charged beyond its record: a waveform's samples as if the
// instruction held its own copy of them.
template <class Value>
std::uint64_t charged_bytes(const Value&) {
    return 0;
}
template <class T>
std::uint64_t charged_bytes(const WaveformSamples<T>& samples) {
    return samples.size() * sizeof(T);
}

// What follows the opcode byte: the record's fields in list order, by their
// members' types. Behind presence bits a field may take its default instead; a
// record's samples are charged once all its fields are read.
template <class Record>
Expected<void, Error> read_operands(
    const BinaryFile& file, Record& record, Cursor& cur,
    const std::unordered_map<std::uint8_t, FieldDefaults>& defaults) {
    if constexpr (HasPresenceBits<Record>) {
        TRY(const std::uint8_t bits, cur.u8("presence bits"));
        const FieldDefaults* d = defaults_for(defaults, opcode_of<Record>);
        return read_each_field<Record>(
            [&](const auto& field, unsigned bit) -> Expected<void, Error> {
                TRY(record.*field.member, read_field(file, bits, bit, field, d, cur));
                return {};
            });
    } else {
        TRY_VOID(read_each_field<Record>([&](const auto& field, unsigned) -> Expected<void, Error> {
            TRY(record.*field.member, read_stored(file, field, cur));
            return {};
        }));
        std::uint64_t charged = 0;
        for_each_field<Record>(
            [&](const auto& field) { charged += charged_bytes(record.*field.member); });
        return cur.charge(charged);
    }
}

}  // namespace

Expected<Instruction, std::string> decode_instruction(
    const BinaryFile& file, Cursor& cur,
    const std::unordered_map<std::uint8_t, FieldDefaults>& defaults) {
    TRY(const std::uint8_t opcode, cur.u8("opcode"));
    Expected<Instruction, Error> decoded = Unexpected(Error());
    const bool known = with_record_of(opcode, [&]<class Record>(std::type_identity<Record>) {
        if (auto charged = cur.charge(sizeof(Instruction)); !charged) {
            decoded = Unexpected(std::move(charged).error());
            return;
        }
        Record record;
        auto read = read_operands(file, record, cur, defaults);
        if (read) decoded = Instruction(std::move(record));
        else decoded = Unexpected(std::move(read).error());
    });
    if (!known) return Unexpected("Unknown instruction type: " + std::to_string(opcode));
    return decoded;
}

// ---------------------------------------------------------------------------
// Entry points

// On failure, running out of memory included, what was built so far is dropped
// (its JSON trees without allocating).
Expected<BinaryFile, std::string> parse_sections(std::span<const std::uint8_t> bytes,
                                                 std::uint64_t decode_limit) {
    return unless_out_of_memory(
        [&]() -> Expected<BinaryFile, Error> {
            BinaryFile file;
            TRY_VOID(parse_sections_impl(bytes, decode_limit, file));
            return file;
        },
        [] { return Unexpected(out_of_memory()); });
}

Expected<ModuleMap, std::string> parse_modules(const BinaryFile& file) {
    return unless_out_of_memory(
        [&]() -> Expected<ModuleMap, Error> {
            ModuleMap modules;
            TRY_VOID(parse_modules_impl(file, modules));
            return modules;
        },
        [] { return Unexpected(out_of_memory()); });
}

Expected<LoadedProgram, RunError> load_program_file(const std::filesystem::path& path) {
    LoadedProgram program;
    {
        // Released once the tables are built: nothing built refers to the bytes.
        auto read = read_input_bytes(path, kMaxProgramFileBytes);
        if (!read) return Unexpected(RunError(std::move(read).error()));
        const std::vector<std::uint8_t> bytes = std::move(*read);
        auto file = parse_sections(bytes);
        if (!file) return Unexpected(RunError::message(std::move(file).error()));
        auto modules = parse_modules(*file);
        if (!modules) return Unexpected(RunError::message(std::move(modules).error()));
        program.modules = std::move(*modules);
        program.variables.variables = std::move(file->variables);
        program.variables.variable_index = std::move(file->variable_index);
    }
    return program;
}

}  // namespace velk
