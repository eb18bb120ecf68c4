// Tests of the VELK reader: header checks, DATA, VARIABLES and relocations, the
// CODE section's records, instruction decoding with defaults and references, the
// decode limit, and whole-file robustness (every cut length, header byte flips).
#include "binary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

#include <malloc.h>

#include "exhausted_heap.hpp"
#include "json.hpp"
#include "velk_builder.hpp"

namespace velk {
namespace {

using test::Section;
using test::VelkBuilder;
using Bytes = std::vector<std::uint8_t>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The reader's outcome for a whole image: the error text, or "" on success.
std::string read_error(const Bytes& bytes) {
    auto file = parse_sections(bytes);
    if (!file) return file.error();
    auto modules = parse_modules(*file);
    if (!modules) return modules.error();
    return "";
}

BinaryFile sections_ok(const Bytes& bytes) {
    auto file = parse_sections(bytes);
    EXPECT_TRUE(file.has_value()) << file.error();
    return file ? std::move(*file) : BinaryFile{};
}

ModuleMap modules_ok(const Bytes& bytes) {
    BinaryFile file = sections_ok(bytes);
    auto modules = parse_modules(file);
    EXPECT_TRUE(modules.has_value()) << modules.error();
    return modules ? std::move(*modules) : ModuleMap{};
}

// The elements of a DATA array of element type E.
template <class E>
const std::vector<E>& elements(const DataArray& array) {
    return std::get<std::vector<E>>(*array.elements());
}

// The elements of a DATA array as a waveform of T samples plays them, and the
// samples of a waveform instruction.
template <class T>
std::vector<T> played(const DataArray& array) {
    std::vector<T> out;
    std::visit(
        [&](const auto& values) {
            for (const auto& e : values) out.push_back(played_sample<T>(e));
        },
        array.view());
    return out;
}
template <class T>
std::vector<T> played(const WaveformSamples<T>& samples) {
    return played<T>(samples.array());
}

std::string num(double v) {
    if (std::isnan(v)) return "nan";
    std::ostringstream os;
    os.precision(17);
    os << v;
    return os.str();
}

template <class T>
std::string param(const ParamValue<T>& p) {
    if (auto* ref = std::get_if<VarRefParam>(&p))
        return "$" + ref->name.str() + "#" + std::to_string(ref->index);
    if constexpr (std::is_same_v<T, std::string>)
        return "'" + std::get<0>(p) + "'";
    else if constexpr (std::is_same_v<T, double>)
        return num(std::get<0>(p));
    else
        return std::to_string(std::get<0>(p));
}

// A compact text form of an instruction, so that tables can state expectations.
std::string describe(const Instruction& ins) {
    struct V {
        std::string operator()(const ShapedPulse& p) const {
            return "pulse " + param(p.delta) + " " + param(p.amp) + " " + param(p.width) + " s" +
                   std::to_string(p.shape) + " " + param(p.plateau) + " " + param(p.block1) +
                   " " + param(p.block2);
        }
        std::string operator()(const Capture& c) const {
            return "capture " + param(c.qubit) + " " + param(c.creg) + " " + param(c.idx) + " " +
                   param(c.duration) + " " + param(c.frequency) + " " + param(c.phi) + " " +
                   param(c.threshold);
        }
        std::string operator()(const CaptureIq& c) const {
            return "capture_iq " + param(c.qubit) + " " + param(c.creg) + " " + param(c.idx) +
                   " " + param(c.duration) + " " + param(c.frequency);
        }
        std::string operator()(const CaptureTrace& c) const {
            return "capture_trace " + param(c.creg) + " " + param(c.idx) + " " +
                   param(c.duration);
        }
        std::string operator()(const Delay& d) const { return "delay " + param(d.value); }
        std::string operator()(const SetFrequency& d) const { return "freq " + param(d.value); }
        std::string operator()(const ShiftPhase& d) const { return "phase " + param(d.value); }
        std::string operator()(const ResetPhase&) const { return "reset"; }
        std::string operator()(const Barrier& b) const { return "barrier " + std::to_string(b.id); }
        std::string operator()(const Opcode10& o) const {
            return "op10 '" + o.text + "' " + param(o.value);
        }
        std::string operator()(const RealWaveform& w) const {
            std::string s = "real " + param(w.amplitude) + " [";
            for (double v : played(w.samples)) s += " " + num(v);
            return s + " ]";
        }
        std::string operator()(const ComplexWaveform& w) const {
            std::string s = "complex " + param(w.amplitude) + " [";
            for (const Complex& c : played(w.samples)) s += " " + num(c.re) + "," + num(c.im);
            return s + " ]";
        }
    };
    return std::visit(V{}, ins);
}

// ---------------------------------------------------------------------------
// Header

Bytes header_bytes(std::string_view magic, std::uint8_t v0, std::uint8_t v1, std::size_t size) {
    Bytes b(size, 0);
    for (std::size_t i = 0; i < magic.size() && i < size; ++i) b[i] = magic[i];
    if (size > 4) b[4] = v0;
    if (size > 5) b[5] = v1;
    return b;
}

struct HeaderCase {
    const char* label;
    Bytes bytes;
    const char* error;
};

TEST(BinaryHeader, ChecksInOrder) {
    const HeaderCase cases[] = {
        {"empty", {}, "File too small"},
        {"31 bytes", header_bytes("VELK", 0, 3, 31), "File too small"},
        {"32 bytes", header_bytes("VELK", 0, 3, 32), "Truncated header: 32 bytes, need 40"},
        {"39 bytes", header_bytes("VELK", 0, 3, 39), "Truncated header: 39 bytes, need 40"},
        {"wrong magic at 32", header_bytes("VELQ", 0, 3, 32), "Invalid magic number"},
        {"lower-case magic", header_bytes("velk", 0, 3, 40), "Invalid magic number"},
        {"magic before version", header_bytes("XELK", 0, 2, 40), "Invalid magic number"},
        {"version 2", header_bytes("VELK", 0, 2, 40), "Unsupported version: 2"},
        {"version 768", header_bytes("VELK", 3, 0, 40), "Unsupported version: 768"},
        {"version before size", header_bytes("VELK", 0, 4, 33), "Unsupported version: 4"},
        {"40 bytes", header_bytes("VELK", 0, 3, 40), ""},
    };
    for (const auto& c : cases) EXPECT_EQ(read_error(c.bytes), c.error) << c.label;
}

TEST(BinaryHeader, EmptySectionsYieldNothing) {
    Bytes b = header_bytes("VELK", 0, 3, 40);
    b[6] = 0xAB;  // reserved
    b[7] = 0xCD;
    for (int i = 8; i < 16; ++i) b[i] = 0xFF;  // first section: read, never used
    BinaryFile file = sections_ok(b);
    EXPECT_TRUE(file.data.empty());
    EXPECT_TRUE(file.variables.empty());
    EXPECT_TRUE(file.var_refs.empty());
    auto modules = parse_modules(file);
    ASSERT_TRUE(modules.has_value());
    EXPECT_TRUE(modules->empty());
}

TEST(BinaryHeader, SectionPastTheEndIsAnError) {
    const struct {
        Section section;
        const char* error;
    } cases[] = {
        {Section::Data, "Unexpected end of file reading data kind at offset 100"},
        {Section::Variables, "Unexpected end of file reading variable count at offset 100"},
        {Section::Code, "Unexpected end of file reading module length at offset 100"},
    };
    for (const auto& c : cases) {
        VelkBuilder b;
        b.set_range(c.section, 100, 1);
        EXPECT_EQ(read_error(b.bytes), c.error);
        // A zero length means no section, wherever it claims to be.
        b.set_range(c.section, 0xFFFFFFF0u, 0);
        EXPECT_EQ(read_error(b.bytes), "");
    }
}

// ---------------------------------------------------------------------------
// Strings

TEST(BinaryStrings, TextAt) {
    const std::string raw("ab\0cd\xff\xfe", 7);
    const Bytes bytes(raw.begin(), raw.end());
    const struct {
        std::uint64_t offset;
        std::string text;
    } cases[] = {
        {0, "ab"},
        {2, ""},
        {3, "cd\xEF\xBF\xBD\xEF\xBF\xBD"},  // runs to the end; invalid bytes become U+FFFD
        {6, "\xEF\xBF\xBD"},
        {7, ""},
        {std::uint64_t{1} << 40, ""},
    };
    for (const auto& c : cases) {
        Cursor cur(bytes);
        EXPECT_EQ(cur.text_at(c.offset).value(), c.text) << c.offset;
    }
}

// ---------------------------------------------------------------------------
// DATA

TEST(BinaryData, ElementKindsAndEntryFraming) {
    VelkBuilder b;
    b.begin(Section::Data);
    b.u8(0).u8(1).u32(8).u32(2).le_f32(0.1f).le_f32(-3.0f);             // F32 x2
    b.u8(1).u8(0).u32(4).u32(0xDEADBEEF);                               // ndims 0: empty
    b.u8(2).u8(1).u32(8).u32(1).le_f32(1.5f).le_f32(-2.0f);             // Complex64
    b.u8(3).u8(2).u32(16).u32(1).u32(1).le_f64(0.25).le_f64(1e300);     // Complex128
    b.u8(1).u8(3).u32(0).u32(7).u32(0).u32(0xFFFFFFFF);                 // zero dimension
    b.end(Section::Data);
    BinaryFile file = sections_ok(b.bytes);
    ASSERT_EQ(file.data.size(), 5u);
    EXPECT_EQ(file.data[0].kind(), DataKind::F32);
    EXPECT_EQ(elements<float>(file.data[0]), (std::vector<float>{0.1f, -3.0f}));
    EXPECT_EQ(file.data[1].kind(), DataKind::F64);
    EXPECT_TRUE(elements<double>(file.data[1]).empty());
    EXPECT_EQ(file.data[2].kind(), DataKind::Complex64);
    EXPECT_EQ(played<Complex>(file.data[2]), (std::vector<Complex>{{1.5, -2.0}}));
    EXPECT_EQ(file.data[3].kind(), DataKind::Complex128);
    EXPECT_EQ(elements<Complex>(file.data[3]), (std::vector<Complex>{{0.25, 1e300}}));
    EXPECT_TRUE(elements<double>(file.data[4]).empty());
}

TEST(BinaryData, PayloadLengthOnlyMovesToTheNextEntry) {
    // 2x3 F64 elements with payload_bytes 0: all six are read, and the next
    // entry would start at the payload, which is where the section ends.
    VelkBuilder b;
    b.begin(Section::Data);
    b.u8(1).u8(2).u32(0).u32(2).u32(3);
    b.end(Section::Data);
    for (int i = 0; i < 6; ++i) b.le_f64(i + 0.5);
    BinaryFile file = sections_ok(b.bytes);
    ASSERT_EQ(file.data.size(), 1u);
    EXPECT_EQ(elements<double>(file.data[0]), (std::vector<double>{0.5, 1.5, 2.5, 3.5, 4.5, 5.5}));

    // A payload length larger than the elements skips the rest.
    VelkBuilder c;
    c.begin(Section::Data);
    c.u8(1).u8(1).u32(24).u32(1).le_f64(9.0).zeros(16);
    c.u8(0).u8(1).u32(4).u32(1).le_f32(2.0f);
    c.end(Section::Data);
    BinaryFile file2 = sections_ok(c.bytes);
    ASSERT_EQ(file2.data.size(), 2u);
    EXPECT_EQ(elements<float>(file2.data[1]), (std::vector<float>{2.0f}));
}

TEST(BinaryData, Errors) {
    const struct {
        const char* label;
        std::function<void(VelkBuilder&)> entry;
        const char* error;
    } cases[] = {
        {"kind 4", [](VelkBuilder& b) { b.u8(4).u8(0).u32(0); }, "Unknown data type: 4"},
        {"kind 255 after dims", [](VelkBuilder& b) { b.u8(255).u8(1).u32(0).u32(0); },
         "Unknown data type: 255"},
        // The kind is tested only after the dimensions have been read.
        {"kind 4, dims cut", [](VelkBuilder& b) { b.u8(4).u8(2).u32(0).u32(1); },
         "Unexpected end of file reading data dimension at offset 50"},
        {"header cut", [](VelkBuilder& b) { b.u8(1).u8(1).u8(0); },
         "Unexpected end of file reading data payload length at offset 42"},
        {"elements cut", [](VelkBuilder& b) { b.u8(1).u8(1).u32(16).u32(2).le_f64(1.0); },
         "Unexpected end of file reading data elements at offset 50"},
        {"count overflows", [](VelkBuilder& b) {
             b.u8(0).u8(3).u32(0).u32(0xFFFFFFFF).u32(0xFFFFFFFF).u32(0xFFFFFFFF);
         },
         "Unexpected end of file reading data elements at offset 58"},
        {"bytes overflow", [](VelkBuilder& b) {
             b.u8(3).u8(2).u32(0).u32(0x40000000).u32(0x40000000);
         },
         "Unexpected end of file reading data elements at offset 54"},
    };
    for (const auto& c : cases) {
        VelkBuilder b;
        b.begin(Section::Data);
        c.entry(b);
        b.end(Section::Data);
        EXPECT_EQ(read_error(b.bytes), c.error) << c.label;
    }
}

// ---------------------------------------------------------------------------
// VARIABLES and relocations

TEST(BinaryVariables, DefaultsOfEveryType) {
    VelkBuilder b;
    const auto names = std::vector<std::uint32_t>{b.str("u"), b.str("i"), b.str("f"),
                                                  b.str("d"), b.str("s"), b.str("j"),
                                                  b.str("none")};
    const auto text = b.str("hello");
    const auto json = b.str(" [1, -2, 0.5] ");
    b.begin(Section::Variables);
    b.u32(8);
    b.u32(names[0]).u8(1).u8(1).u8(0).u32(4000000000u);
    b.u32(names[1]).u8(2).u8(1).u8(1).i32(-5);
    b.u32(names[2]).u8(3).u8(1).u8(2).f32(0.1f);
    b.u32(names[3]).u8(4).u8(1).u8(3).f64(-2.5);
    b.u32(names[4]).u8(5).u8(1).u8(4).u32(text);
    b.u32(names[5]).u8(6).u8(1).u8(5).u32(json);
    b.u32(names[6]).u8(7).u8(2);  // has_default 2: no value, 6 bytes
    b.u32(names[6]).u8(8).u8(0);
    b.end(Section::Variables);
    BinaryFile file = sections_ok(b.bytes);
    ASSERT_EQ(file.variables.size(), 8u);
    const auto& v = file.variables;
    EXPECT_EQ(v[0].name, "u");
    EXPECT_EQ(v[0].value, VarValue(std::in_place_index<0>, 4000000000u));
    EXPECT_EQ(v[1].value, VarValue(std::in_place_index<1>, -5));
    EXPECT_EQ(v[2].value, VarValue(std::in_place_index<2>, 0.1f));
    EXPECT_EQ(v[3].value, VarValue(std::in_place_index<3>, -2.5));
    EXPECT_EQ(v[4].value, VarValue(std::in_place_index<4>, VarString{"hello"}));
    EXPECT_EQ(v[5].value, VarValue(std::in_place_index<5>, Json::parse("[1,-2,0.5]")));
    EXPECT_FALSE(v[6].value.has_value());
    EXPECT_FALSE(v[7].value.has_value());
    // A repeated name keeps both entries; lookup by name finds the later.
    EXPECT_EQ(file.variable_index.at("none"), 7u);
    EXPECT_EQ(file.variable_index.at("u"), 0u);
    EXPECT_TRUE(file.var_refs.empty());  // the entries end exactly at the section's end
}

TEST(BinaryVariables, JsonTextDefaults) {
    const struct {
        std::string text;
        Json value;
    } cases[] = {
        {"[1, 2]", Json::parse("[1, 2]")},
        {"\n {\"a\": null}\t", Json::parse("{\"a\": null}")},
        {"hello", Json("hello")},
        {"", Json("")},
        {"1 x", Json("1 x")},
        {"\"quoted\"", Json("quoted")},
    };
    for (const auto& c : cases) {
        VelkBuilder b;
        const auto at = b.str(c.text);
        b.begin(Section::Variables);
        b.u32(1).u32(at).u8(0).u8(1).u8(5).u32(at);
        b.end(Section::Variables);
        BinaryFile file = sections_ok(b.bytes);
        ASSERT_EQ(file.variables.size(), 1u);
        EXPECT_EQ(file.variables[0].value, VarValue(std::in_place_index<5>, c.value)) << c.text;
    }
}

TEST(BinaryVariables, Names) {
    VelkBuilder b;
    const auto bad = b.str("a\xC3(b");
    b.begin(Section::Variables);
    b.u32(2).u32(bad).u8(0).u8(0);
    const std::size_t second_name = b.pos();
    b.u32(0).u8(0).u8(0);
    b.end(Section::Variables);
    b.patch_u32(second_name, b.pos());  // exactly the file length: the empty name
    BinaryFile file = sections_ok(b.bytes);
    ASSERT_EQ(file.variables.size(), 2u);
    EXPECT_EQ(file.variables[0].name, "a\xEF\xBF\xBD(b");
    EXPECT_EQ(file.variables[1].name, "");
}

TEST(BinaryVariables, Errors) {
    const struct {
        const char* label;
        std::function<void(VelkBuilder&)> body;
        const char* error;
    } cases[] = {
        {"value type 6", [](VelkBuilder& b) { b.u32(1).u32(0).u8(0).u8(1).u8(6).u32(0); },
         "Unknown var value type: 6"},
        {"value type 255", [](VelkBuilder& b) { b.u32(1).u32(0).u8(0).u8(1).u8(255); },
         "Unknown var value type: 255"},
        {"count beyond the file", [](VelkBuilder& b) { b.u32(0xFFFFFFFF).u32(0).u8(0).u8(0); },
         "Unexpected end of file reading variable name at offset 50"},
        {"value cut", [](VelkBuilder& b) { b.u32(1).u32(0).u8(0).u8(1).u8(3).u32(0); },
         "Unexpected end of file reading variable value at offset 51"},
        {"relocation cut", [](VelkBuilder& b) { b.u32(0).u32(1).u32(100).u32(0); },
         "Unexpected end of file reading relocation kind at offset 56"},
        {"relocation count beyond the file",
         [](VelkBuilder& b) { b.u32(0).u32(0xFFFFFFFF).u32(100).u32(0).u8(0); },
         "Unexpected end of file reading relocation offset at offset 57"},
    };
    for (const auto& c : cases) {
        VelkBuilder b;
        b.begin(Section::Variables);
        c.body(b);
        b.end(Section::Variables);
        EXPECT_EQ(read_error(b.bytes), c.error) << c.label;
    }
}

TEST(BinaryVariables, RelocationTable) {
    // ref_count 0: no relocations.
    {
        VelkBuilder b;
        b.begin(Section::Variables);
        b.u32(0).u32(0);
        b.end(Section::Variables);
        EXPECT_TRUE(sections_ok(b.bytes).var_refs.empty());
    }
    // A repeated offset keeps the later entry; entries may run past the section.
    {
        VelkBuilder b;
        b.begin(Section::Variables);
        b.u32(0).u32(3);
        b.end(Section::Variables);
        b.u32(500).u32(1).u8(9);
        b.u32(600).u32(2).u8(0);
        b.u32(500).u32(7).u8(4);
        BinaryFile file = sections_ok(b.bytes);
        ASSERT_EQ(file.var_refs.size(), 2u);
        EXPECT_EQ(file.var_refs.at(500).index, 7u);
        EXPECT_EQ(file.var_refs.at(600).index, 2u);
    }
}

// ---------------------------------------------------------------------------
// CODE: module records, settings, defaults, operand lists

TEST(BinaryCode, SettingValues) {
    const float f32_nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        std::uint8_t type;
        std::function<void(VelkBuilder&, std::uint32_t)> value;  // gets a text offset
        std::string text;
        Json expected;
    } cases[] = {
        {0, [](VelkBuilder& b, auto) { b.u32(4000000000u); }, "", Json(4000000000u)},
        {1, [](VelkBuilder& b, auto) { b.i32(7); }, "", Json(std::uint64_t{7})},
        {1, [](VelkBuilder& b, auto) { b.i32(-1); }, "", Json(std::int64_t{-1})},
        {2, [](VelkBuilder& b, auto) { b.f32(0.5f); }, "", Json(0.5)},
        {2, [&](VelkBuilder& b, auto) { b.f32(f32_nan); }, "", Json(nullptr)},
        {3, [](VelkBuilder& b, auto) { b.f64(-1e-9); }, "", Json(-1e-9)},
        {3, [](VelkBuilder& b, auto) { b.f64(INFINITY); }, "", Json(nullptr)},
        {4, [](VelkBuilder& b, auto at) { b.u32(at); }, "[1]", Json("[1]")},
        {5, [](VelkBuilder& b, auto at) { b.u32(at); }, " [[0, 1], [1, 2]]\n",
         Json::parse("[[0,1],[1,2]]")},
        {5, [](VelkBuilder& b, auto at) { b.u32(at); }, "word", Json("word")},
        {5, [](VelkBuilder& b, auto at) { b.u32(at); }, "1 2", Json("1 2")},
        {5, [](VelkBuilder& b, auto at) { b.u32(at); }, "", Json("")},
    };
    for (const auto& c : cases) {
        VelkBuilder b;
        const auto name = b.str("m");
        const auto key = b.str("function");
        const auto text = b.str(c.text);
        b.begin(Section::Code);
        const auto m = b.begin_module(name, 1, 0, 0, 0);
        b.u32(key).u8(c.type);
        c.value(b, text);
        b.end_module(m);
        b.end(Section::Code);
        ModuleMap modules = modules_ok(b.bytes);
        ASSERT_EQ(modules.count("m"), 1u);
        const Json& got = modules.at("m").settings.at("function");
        EXPECT_EQ(got, c.expected) << int(c.type) << " " << got.dump();
        EXPECT_EQ(got.type(), c.expected.type()) << int(c.type) << " " << got.dump();
    }
}

TEST(BinaryCode, SettingsRepeatAndUnknownType) {
    VelkBuilder b;
    const auto name = b.str("m");
    const auto key = b.str("function");
    b.begin(Section::Code);
    const auto m = b.begin_module(name, 2, 0, 0, 0);
    b.u32(key).u8(0).u32(1);
    b.u32(key).u8(0).u32(2);
    b.end_module(m);
    b.end(Section::Code);
    EXPECT_EQ(modules_ok(b.bytes).at("m").settings.at("function"), Json(2u));

    VelkBuilder c;
    c.begin(Section::Code);
    c.begin_module(0, 1, 0, 0, 0);
    c.u32(0).u8(6).u32(0);
    c.end(Section::Code);
    EXPECT_EQ(read_error(c.bytes), "Unknown setting value type: 6");
}

// Builds a module "m" with the given defaults records followed by an operand
// list holding barrier 77, and returns its defaults. `used` receives the bytes
// the records occupy; the operand list is read right after what the reader took
// for the records, so a wrong record size shows up there.
std::unordered_map<std::uint8_t, FieldDefaults> defaults_of(
    std::uint32_t count, const std::function<void(VelkBuilder&)>& records,
    std::uint32_t* used = nullptr) {
    VelkBuilder b;
    const auto name = b.str("m");
    b.str("q0");
    b.begin(Section::Code);
    const auto m = b.begin_module(name, 0, count, 1, 0);
    records(b);
    if (used) *used = b.pos() - m - 24;
    b.u32(1).u8(9).u32(77);
    b.end_module(m);
    b.end(Section::Code);
    ModuleMap modules = modules_ok(b.bytes);
    if (!modules.count("m")) return {};
    const auto& lists = modules.at("m").operand_lists;
    EXPECT_TRUE(lists.size() == 1 && lists[0].size() == 1 &&
                std::get_if<OperandBarrier>(&lists[0][0]) &&
                std::get<OperandBarrier>(lists[0][0]).id == 77u);
    return modules.at("m").defaults;
}

TEST(BinaryCode, DefaultsRecords) {
    const std::uint32_t q0 = 42;  // offset of "q0" (after the header and "m")
    const struct {
        const char* label;
        std::uint32_t count;
        std::function<void(VelkBuilder&)> records;
        std::uint32_t bytes;  // what the records occupy
        std::string expected;  // opcode -> fields, dumped as one JSON object
    } cases[] = {
        {"every opcode-1 field", 1,
         [](VelkBuilder& b) {
             b.u8(1).u8(0x7F).f64(1).f64(2).f64(3).u8(4).f64(5).f64(NAN).f64(-INFINITY);
         },
         2 + 6 * 8 + 1,
         R"({"1":{"amp":2.0,"block1":null,"block2":null,"delta":1.0,"plateau":5.0,"shape":4,"width":3.0}})"},
        {"shape only", 1, [](VelkBuilder& b) { b.u8(1).u8(8).u8(200); }, 3,
         R"({"1":{"shape":200}})"},
        {"bit 7 ignored", 1, [](VelkBuilder& b) { b.u8(1).u8(128); }, 2, "{}"},
        {"opcode without list", 1, [](VelkBuilder& b) { b.u8(7).u8(255); }, 2, "{}"},
        {"capture fields", 1,
         [=](VelkBuilder& b) { b.u8(2).u8(0x07).u32(q0).u32(0xFFFFFFFF).i32(-1); }, 14,
         R"({"2":{"creg":"","idx":-1,"qubit":"q0"}})"},
        {"idx non-negative", 1, [](VelkBuilder& b) { b.u8(4).u8(2).i32(5); }, 6,
         R"({"4":{"idx":5}})"},
        {"capture_iq ignores bits 5-7", 1,
         [](VelkBuilder& b) { b.u8(3).u8(0xF0).f64(1e9); }, 10,
         R"({"3":{"frequency":1000000000.0}})"},
        {"empty record keeps the earlier map", 2,
         [](VelkBuilder& b) {
             b.u8(1).u8(2).f64(0.5);
             b.u8(1).u8(0);
         },
         12, R"({"1":{"amp":0.5}})"},
        {"later record replaces whole", 2,
         [=](VelkBuilder& b) {
             b.u8(2).u8(0x09).u32(q0).f64(1e-6);
             b.u8(2).u8(0x01).u32(q0);
         },
         20, R"({"2":{"qubit":"q0"}})"},
    };
    for (const auto& c : cases) {
        std::uint32_t used = 0;
        const auto defaults = defaults_of(c.count, c.records, &used);
        EXPECT_EQ(used, c.bytes) << c.label;
        Json all = Json::object();
        for (const auto& [op, fields] : defaults)
            for (const auto& [k, v] : fields) all[std::to_string(op)][k] = v;
        EXPECT_EQ(all.dump(), c.expected) << c.label;
    }
    // Type classes matter to the instruction decoder.
    const auto d = defaults_of(1, [](VelkBuilder& b) { b.u8(4).u8(2).i32(-1); });
    EXPECT_TRUE(d.at(4).at("idx").is_number_integer() && !d.at(4).at("idx").is_number_unsigned());
}

TEST(BinaryCode, OperandLists) {
    VelkBuilder b;
    const auto name = b.str("m");
    b.str("v0");
    b.begin(Section::Code);
    const auto m = b.begin_module(name, 0, 0, 3, 0);
    const std::uint32_t list_start = b.pos();
    b.u32(3).u8(7).u8(5).f64(2.5).u8(9).u32(11);
    EXPECT_EQ(b.pos() - list_start, 4u + 1 + 9 + 5);
    b.u32(0);  // an empty list
    b.u32(2).u8(5);
    const std::uint32_t ref_slot = b.pos();
    b.f64(99.0).u8(9);
    const std::uint32_t id_slot = b.pos();
    b.u32(12);
    b.end_module(m);
    b.end(Section::Code);
    b.begin(Section::Variables);
    b.u32(1).u32(name + 2).u8(0).u8(0);
    b.u32(2).u32(ref_slot).u32(0).u8(0).u32(id_slot).u32(0).u8(0);
    b.end(Section::Variables);

    ModuleMap modules = modules_ok(b.bytes);
    const auto& lists = modules.at("m").operand_lists;
    ASSERT_EQ(lists.size(), 3u);
    ASSERT_EQ(lists[0].size(), 2u);
    EXPECT_EQ(std::get<OperandConst>(lists[0][0]).value, 2.5);
    EXPECT_EQ(std::get<OperandBarrier>(lists[0][1]).id, 11u);
    EXPECT_TRUE(lists[1].empty());
    ASSERT_EQ(lists[2].size(), 2u);
    EXPECT_EQ(std::get<OperandVar>(lists[2][0]), (VarRefParam{"v0", 0}));
    EXPECT_EQ(std::get<OperandBarrier>(lists[2][1]).id, 12u);  // never a reference
}

TEST(BinaryCode, ModuleFraming) {
    // Module lengths decide only where the next record starts.
    VelkBuilder b;
    const auto a = b.str("a");
    const auto c = b.str("c");
    const auto d = b.str("d");
    const auto code = b.begin(Section::Code);
    // "a": length 8 bytes too long; the padding is skipped.
    const auto ma = b.begin_module(a, 0, 0, 0, 0);
    b.u32(0xFFFFFFFF).u32(0xFFFFFFFF);
    b.end_module(ma);
    // "c": its length stops short of its one (empty) operand list, so the next
    // record starts at the list's zero count, which doubles as the length of a
    // module "d" made of the bytes that follow.
    const auto mc = b.begin_module(c, 0, 0, 1, 0);
    b.u32(0);  // the operand list: no entries
    b.patch_u32(mc, 20);
    b.u32(d).u32(0).u32(0).u32(0).u32(0);
    b.end(Section::Code);
    // "d" (at mc + 24) has length 0: the next record would start at mc + 28.
    b.set_range(Section::Code, code, mc + 28 - code);
    ModuleMap modules = modules_ok(b.bytes);
    EXPECT_EQ(modules.size(), 3u);
    EXPECT_EQ(modules.count("a"), 1u);
    EXPECT_EQ(modules.at("c").operand_lists.size(), 1u);
    EXPECT_EQ(modules.count("d"), 1u);
}

TEST(BinaryCode, RepeatedModuleNameReplaces) {
    VelkBuilder b;
    const auto name = b.str("ch0");
    b.begin(Section::Code);
    auto m = b.begin_module(name, 0, 0, 1, 0);
    b.u32(0);
    b.end_module(m);
    m = b.begin_module(name, 0, 0, 0, 0);
    b.end_module(m);
    b.end(Section::Code);
    ModuleMap modules = modules_ok(b.bytes);
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_TRUE(modules.at("ch0").operand_lists.empty());
}

TEST(BinaryCode, LastModuleAndCodeEnd) {
    // A module whose S + 4 + L lies beyond the file is the last one read.
    VelkBuilder b;
    b.begin(Section::Code);
    b.begin_module(0xFFFFFFFF, 0, 0, 0, 0);
    b.patch_u32(40, 0xFFFFFF00u);
    b.set_range(Section::Code, 40, 100);  // past the end of the file too
    EXPECT_EQ(modules_ok(b.bytes).size(), 1u);
    // With a CODE end beyond S + 4 + L the next record is attempted there.
    b.set_range(Section::Code, 40, 0xFFFFFFFFu);
    EXPECT_EQ(read_error(b.bytes),
              "Unexpected end of file reading module length at offset 4294967084");

    // Records are read whole even past the CODE end; the file's end stops them.
    VelkBuilder c;
    c.begin(Section::Code);
    c.begin_module(0xFFFFFFFF, 0, 0, 1, 0);
    c.set_range(Section::Code, 40, 1);
    c.u32(1).u8(5).f64(1.0);
    EXPECT_EQ(modules_ok(c.bytes).at("").operand_lists.at(0).size(), 1u);
    c.bytes.pop_back();
    EXPECT_EQ(read_error(c.bytes), "Unexpected end of file reading number slot at offset 69");
}

// ---------------------------------------------------------------------------
// Instructions

struct InstrFile {
    Bytes bytes;
    std::uint32_t start = 0;  // offset of the instruction's opcode
};

// One module "m" with `defaults` records, one block holding the instruction
// written by `body`, variables v0..v2, data arrays, and relocations made by `refs`
// (which receives the instruction's start offset).
InstrFile instruction_file(
    const std::function<void(VelkBuilder&)>& body,
    const std::function<std::vector<std::pair<std::uint32_t, std::uint32_t>>(std::uint32_t)>& refs =
        {},
    std::uint32_t defaults_count = 0, const std::function<void(VelkBuilder&)>& defaults = {}) {
    VelkBuilder b;
    const auto name = b.str("m");
    const auto q0 = b.str("q0");
    const auto c0 = b.str("c0");
    (void)q0;
    (void)c0;
    b.begin(Section::Data);
    b.u8(0).u8(1).u32(8).u32(2).le_f32(0.5f).le_f32(-1.0f);
    b.u8(1).u8(1).u32(8).u32(1).le_f64(0.25);
    b.u8(2).u8(1).u32(8).u32(1).le_f32(1.5f).le_f32(-2.0f);
    b.u8(3).u8(1).u32(16).u32(1).le_f64(3.0).le_f64(4.0);
    b.end(Section::Data);
    b.begin(Section::Code);
    const auto m = b.begin_module(name, 0, defaults_count, 0, 1);
    if (defaults) defaults(b);
    b.u32(name).u32(1);
    InstrFile out;
    out.start = b.pos();
    body(b);
    b.end_module(m);
    b.end(Section::Code);
    const auto names = std::vector<std::uint32_t>{b.str("v0"), b.str("v1"), b.str("v2")};
    b.begin(Section::Variables);
    b.u32(3);
    for (auto n : names) b.u32(n).u8(0).u8(0);
    const auto rs = refs ? refs(out.start) : std::vector<std::pair<std::uint32_t, std::uint32_t>>{};
    b.u32(static_cast<std::uint32_t>(rs.size()));
    for (const auto& [off, idx] : rs) b.u32(off).u32(idx).u8(0);
    b.end(Section::Variables);
    out.bytes = std::move(b.bytes);
    return out;
}

std::string decoded(const InstrFile& f) {
    auto file = parse_sections(f.bytes);
    if (!file) return "error: " + file.error();
    auto modules = parse_modules(*file);
    if (!modules) return "error: " + modules.error();
    const auto& blocks = modules->at("m").blocks;
    if (blocks.size() != 1 || blocks[0].instructions.size() != 1) return "bad block";
    return describe(blocks[0].instructions[0]);
}

constexpr std::uint32_t kQ0 = 42;  // string offsets in instruction_file
constexpr std::uint32_t kC0 = 45;

TEST(BinaryInstruction, EveryOpcodeFullyStored) {
    const struct {
        std::function<void(VelkBuilder&)> body;
        std::uint32_t size;
        std::string expected;
    } cases[] = {
        {[](VelkBuilder& b) {
             b.u8(1).u8(0x7F).f64(1).f64(2).f64(3).u8(4).f64(5).f64(6).f64(7);
         },
         51, "pulse 1 2 3 s4 5 6 7"},
        {[](VelkBuilder& b) {
             b.u8(2).u8(0x7F).u32(kQ0).u32(kC0).u32(3).f64(1).f64(2).f64(3).f64(4);
         },
         46, "capture 'q0' 'c0' 3 1 2 3 4"},
        {[](VelkBuilder& b) { b.u8(3).u8(0xFF).u32(kQ0).u32(kC0).u32(3).f64(1).f64(2); }, 30,
         "capture_iq 'q0' 'c0' 3 1 2"},
        {[](VelkBuilder& b) { b.u8(4).u8(0xFF).u32(kC0).u32(9).f64(1e-6); }, 18,
         "capture_trace 'c0' 9 9.9999999999999995e-07"},
        {[](VelkBuilder& b) { b.u8(5).f64(-1.5); }, 9, "delay -1.5"},
        {[](VelkBuilder& b) { b.u8(6).f64(5e9); }, 9, "freq 5000000000"},
        {[](VelkBuilder& b) { b.u8(7).f64(0.5); }, 9, "phase 0.5"},
        {[](VelkBuilder& b) { b.u8(8); }, 1, "reset"},
        {[](VelkBuilder& b) { b.u8(9).u32(4000000000u); }, 5, "barrier 4000000000"},
        {[](VelkBuilder& b) { b.u8(10).u32(kQ0).f64(2); }, 13, "op10 'q0' 2"},
        {[](VelkBuilder& b) { b.u8(10).u32(0xFFFFFFFF).f64(2); }, 13, "op10 '' 2"},
        {[](VelkBuilder& b) { b.u8(11).u32(0).f64(1); }, 13, "real 1 [ 0.5 -1 ]"},
        {[](VelkBuilder& b) { b.u8(11).u32(1).f64(1); }, 13, "real 1 [ 0.25 ]"},
        {[](VelkBuilder& b) { b.u8(11).u32(2).f64(1); }, 13, "real 1 [ 1.5 ]"},
        {[](VelkBuilder& b) { b.u8(11).u32(3).f64(1); }, 13, "real 1 [ 3 ]"},
        {[](VelkBuilder& b) { b.u8(11).u32(4).f64(1); }, 13, "real 1 [ ]"},
        {[](VelkBuilder& b) { b.u8(12).u32(0).f64(2); }, 13, "complex 2 [ 0.5,0 -1,0 ]"},
        {[](VelkBuilder& b) { b.u8(12).u32(1).f64(2); }, 13, "complex 2 [ 0.25,0 ]"},
        {[](VelkBuilder& b) { b.u8(12).u32(2).f64(2); }, 13, "complex 2 [ 1.5,-2 ]"},
        {[](VelkBuilder& b) { b.u8(12).u32(3).f64(2); }, 13, "complex 2 [ 3,4 ]"},
        {[](VelkBuilder& b) { b.u8(12).u32(0xFFFFFFFF).f64(2); }, 13, "complex 2 [ ]"},
    };
    for (const auto& c : cases) {
        const InstrFile f = instruction_file(c.body);
        EXPECT_EQ(decoded(f), c.expected);
        // The instruction is exactly `size` bytes: one byte less is cut off.
        VelkBuilder probe;
        c.body(probe);
        EXPECT_EQ(probe.bytes.size() - 40, c.size) << c.expected;
    }
}

TEST(BinaryInstruction, AbsentFieldsAndDefaults) {
    const auto no_defaults = std::function<void(VelkBuilder&)>{};
    const struct {
        const char* label;
        std::uint32_t defaults_count;
        std::function<void(VelkBuilder&)> defaults;
        std::function<void(VelkBuilder&)> body;
        std::string expected;
    } cases[] = {
        {"pulse, no defaults", 0, no_defaults, [](VelkBuilder& b) { b.u8(1).u8(0); },
         "pulse 0 0 0 s0 0 nan nan"},
        {"bit 7 ignored", 0, no_defaults, [](VelkBuilder& b) { b.u8(1).u8(0x80); },
         "pulse 0 0 0 s0 0 nan nan"},
        {"shape only", 0, no_defaults, [](VelkBuilder& b) { b.u8(1).u8(8).u8(3); },
         "pulse 0 0 0 s3 0 nan nan"},
        {"pulse defaults", 1,
         [](VelkBuilder& b) { b.u8(1).u8(0x7F).f64(1).f64(2).f64(3).u8(9).f64(NAN).f64(6).f64(7); },
         [](VelkBuilder& b) { b.u8(1).u8(0x02).f64(-2); }, "pulse 1 -2 3 s9 0 6 7"},
        {"trace bits 5", 0, no_defaults,
         [](VelkBuilder& b) { b.u8(4).u8(5).u32(kC0).f64(8); }, "capture_trace 'c0' 0 8"},
        {"idx -1 default", 1, [](VelkBuilder& b) { b.u8(2).u8(0x04).i32(-1); },
         [](VelkBuilder& b) { b.u8(2).u8(0); }, "capture '' '' 4294967295 0 0 0 0"},
        {"null duration default", 1, [](VelkBuilder& b) { b.u8(3).u8(0x08).f64(NAN); },
         [](VelkBuilder& b) { b.u8(3).u8(0); }, "capture_iq '' '' 0 0 0"},
        {"string defaults", 1, [](VelkBuilder& b) { b.u8(2).u8(0x03).u32(kQ0).u32(kC0); },
         [](VelkBuilder& b) { b.u8(2).u8(0x01).u32(kC0); }, "capture 'c0' 'c0' 0 0 0 0 0"},
        {"defaults of another opcode", 1, [](VelkBuilder& b) { b.u8(3).u8(0x08).f64(5); },
         [](VelkBuilder& b) { b.u8(2).u8(0); }, "capture '' '' 0 0 0 0 0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decoded(instruction_file(c.body, {}, c.defaults_count, c.defaults)),
                  c.expected)
            << c.label;
}

TEST(BinaryInstruction, FieldFallbacksFromJsonDefaults) {
    // Defaults maps only come from defaults records, but the field readers take
    // any JSON: check the kind rules directly.
    const BinaryFile file;
    const Bytes none;
    const struct {
        const char* label;
        Json value;
        std::string f64;
        std::string idx;
        int shape;
        std::string text;
    } cases[] = {
        {"unsigned", Json(std::uint64_t{300}), "300", "300", 44, "''"},
        {"signed", Json(std::int64_t{-2}), "-2", "4294967294", 0, "''"},
        {"above i64 max", Json(std::uint64_t{1} << 63), "9.2233720368547758e+18", "0", 0, "''"},
        {"low 32 bits", Json(std::uint64_t{0x100000005}), "4294967301", "5", 5, "''"},
        {"float", Json(2.5), "2.5", "0", 0, "''"},
        {"string", Json("x"), "nan", "0", 0, "'x'"},
        {"null", Json(nullptr), "nan", "0", 0, "''"},
    };
    for (const auto& c : cases) {
        FieldDefaults d;
        for (const char* k : {"amp", "idx", "shape", "qubit"}) d[k] = c.value;
        Cursor cur(none);
        const FieldRule<ParamValue<double>> amp{"amp", kNaN};
        const FieldRule<ParamValue<std::uint32_t>> idx{"idx"};
        EXPECT_EQ(param(*read_field(file, 0, 1, amp, &d, cur)), c.f64) << c.label;
        EXPECT_EQ(param(*read_field(file, 0, 2, idx, &d, cur)), c.idx) << c.label;
        EXPECT_EQ(*read_field(file, 0, 3, FieldRule<std::uint8_t>{"shape"}, &d, cur), c.shape)
            << c.label;
        EXPECT_EQ(
            param(*read_field(file, 0, 0, FieldRule<ParamValue<std::string>>{"qubit"}, &d, cur)),
            c.text)
            << c.label;
        EXPECT_EQ(cur.pos(), 0u);
    }
}

TEST(BinaryInstruction, VariableReferences) {
    using Refs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    const struct {
        const char* label;
        std::function<void(VelkBuilder&)> body;
        std::function<Refs(std::uint32_t)> refs;  // from the opcode's offset
        std::string expected;
    } cases[] = {
        {"delay", [](VelkBuilder& b) { b.u8(5).f64(1); },
         [](std::uint32_t s) { return Refs{{s + 1, 1}}; }, "delay $v1#1"},
        {"index beyond the table", [](VelkBuilder& b) { b.u8(4).u8(2).u32(1); },
         [](std::uint32_t s) { return Refs{{s + 2, 7}}; }, "capture_trace '' $var_7#7 0"},
        {"string and number slots", [](VelkBuilder& b) {
             b.u8(3).u8(0x19).u32(kQ0).f64(1).f64(2);
         },
         [](std::uint32_t s) { return Refs{{s + 2, 0}, {s + 14, 2}}; },
         "capture_iq $v0#0 '' 0 1 $v2#2"},
        {"pulse slots", [](VelkBuilder& b) { b.u8(1).u8(0x49).f64(1).u8(2).f64(3); },
         [](std::uint32_t s) { return Refs{{s + 2, 0}, {s + 11, 1}}; },
         "pulse $v0#0 0 0 s2 0 nan $v1#1"},
        {"plain fields stay plain", [](VelkBuilder& b) { b.u8(1).u8(0x08).u8(2); },
         [](std::uint32_t s) { return Refs{{s + 2, 0}}; }, "pulse 0 0 0 s2 0 nan nan"},
        {"barrier id", [](VelkBuilder& b) { b.u8(9).u32(5); },
         [](std::uint32_t s) { return Refs{{s + 1, 0}}; }, "barrier 5"},
        {"op10 text and value", [](VelkBuilder& b) { b.u8(10).u32(kQ0).f64(1); },
         [](std::uint32_t s) { return Refs{{s + 1, 0}, {s + 5, 2}}; }, "op10 'q0' $v2#2"},
        {"waveform index", [](VelkBuilder& b) { b.u8(11).u32(1).f64(1); },
         [](std::uint32_t s) { return Refs{{s + 1, 0}, {s + 5, 1}}; }, "real $v1#1 [ 0.25 ]"},
        {"off by one", [](VelkBuilder& b) { b.u8(7).f64(1); },
         [](std::uint32_t s) { return Refs{{s, 0}, {s + 2, 1}}; }, "phase 1"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decoded(instruction_file(c.body, c.refs)), c.expected) << c.label;
    }
}

TEST(BinaryInstruction, Errors) {
    const struct {
        std::function<void(VelkBuilder&)> body;
        std::string error;
    } cases[] = {
        {[](VelkBuilder& b) { b.u8(0); }, "Unknown instruction type: 0"},
        {[](VelkBuilder& b) { b.u8(13).u32(0); }, "Unknown instruction type: 13"},
        {[](VelkBuilder& b) { b.u8(255); }, "Unknown instruction type: 255"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decoded(instruction_file(c.body)), "error: " + c.error);
}

TEST(BinaryInstruction, CutInsideAReferenceSlot) {
    // The slot is a reference, but its 8 bytes must still lie within the file.
    VelkBuilder b;
    b.begin(Section::Variables);
    b.u32(0).u32(1).u32(90).u32(0).u8(0);
    b.end(Section::Variables);
    b.begin(Section::Code);
    const auto m = b.begin_module(0, 0, 0, 0, 1);
    b.u32(0).u32(1).u8(5);
    ASSERT_EQ(b.pos(), 90u);  // the slot
    b.f64(1.0);
    b.end_module(m);
    b.end(Section::Code);
    EXPECT_EQ(read_error(b.bytes), "");
    b.bytes.pop_back();
    EXPECT_EQ(read_error(b.bytes), "Unexpected end of file reading number slot at offset 90");
}

// The elements of each kind as real and as complex samples.
TEST(BinaryInstruction, VectorConversions) {
    const std::vector<double> d{0.1, -2.0};
    const std::vector<Complex> c{{1.0, 2.0}, {-3.0, 0.5}};
    const DataArray f32(std::vector<float>{0.1f, -2.0f});
    const DataArray f64(d);
    const DataArray complex64(std::vector<ComplexF32>{{0.1f, -2.0f}});
    const DataArray complex128(c);
    EXPECT_EQ(played<double>(f32), (std::vector<double>{double(0.1f), -2.0}));
    EXPECT_EQ(played<double>(f64), d);
    EXPECT_EQ(played<double>(complex128), (std::vector<double>{1.0, -3.0}));
    EXPECT_EQ(played<double>(complex64), (std::vector<double>{double(0.1f)}));
    EXPECT_EQ(played<Complex>(f32), (std::vector<Complex>{{double(0.1f), 0.0}, {-2.0, 0.0}}));
    EXPECT_EQ(played<Complex>(f64), (std::vector<Complex>{{0.1, 0.0}, {-2.0, 0.0}}));
    EXPECT_EQ(played<Complex>(complex128), c);
    EXPECT_EQ(played<Complex>(complex64), (std::vector<Complex>{{double(0.1f), -2.0}}));
    EXPECT_TRUE(played<Complex>(DataArray(std::vector<double>())).empty());
    EXPECT_TRUE(played<Complex>(DataArray()).empty());
}

// Waveform instructions naming one DATA array hold that one decoded array, real
// and complex ones alike, across blocks and modules; each plays its elements as
// its own samples.
TEST(BinaryInstruction, WaveformsNamingOneArrayShareItsSamples) {
    VelkBuilder b;
    const auto a = b.str("a");
    const auto z = b.str("z");
    b.begin(Section::Data);
    b.u8(3).u8(1).u32(32).u32(2).le_f64(1.0).le_f64(2.0).le_f64(-3.0).le_f64(0.5);
    b.u8(0).u8(1).u32(4).u32(1).le_f32(0.25f);
    b.end(Section::Data);
    b.begin(Section::Code);
    for (const auto name : {a, z}) {
        const auto m = b.begin_module(name, 0, 0, 0, 2);
        for (int block = 0; block < 2; ++block) {
            b.u32(name).u32(4);
            b.u8(12).u32(0).f64(1.0);
            b.u8(11).u32(0).f64(1.0);
            b.u8(12).u32(1).f64(1.0);
            b.u8(12).u32(9).f64(1.0);  // past the table: no samples
        }
        b.end_module(m);
    }
    b.end(Section::Code);
    const ModuleMap modules = modules_ok(b.bytes);
    const auto& first = modules.at("a").blocks[0].instructions;
    const auto& complex0 = std::get<ComplexWaveform>(first[0]).samples;
    const auto& real0 = std::get<RealWaveform>(first[1]).samples;
    const auto& complex1 = std::get<ComplexWaveform>(first[2]).samples;
    EXPECT_EQ(played(complex0), (std::vector<Complex>{{1.0, 2.0}, {-3.0, 0.5}}));
    EXPECT_EQ(played(real0), (std::vector<double>{1.0, -3.0}));
    EXPECT_EQ(played(complex1), (std::vector<Complex>{{0.25, 0.0}}));
    EXPECT_TRUE(std::get<ComplexWaveform>(first[3]).samples.empty());
    EXPECT_EQ(real0.array().elements(), complex0.array().elements());
    EXPECT_NE(complex1.array().elements(), complex0.array().elements());
    for (const char* name : {"a", "z"}) {
        for (const Block& block : modules.at(name).blocks) {
            EXPECT_EQ(std::get<ComplexWaveform>(block.instructions[0]).samples.array().elements(),
                      complex0.array().elements());
            EXPECT_EQ(std::get<RealWaveform>(block.instructions[1]).samples.array().elements(),
                      real0.array().elements());
            EXPECT_EQ(std::get<ComplexWaveform>(block.instructions[2]).samples.array().elements(),
                      complex1.array().elements());
        }
    }
}

// A CODE section of one module with one block of `count` RealWaveform
// instructions on data array 0; the offsets of their amplitude slots.
std::vector<std::uint32_t> waveform_code(VelkBuilder& b, int count) {
    b.begin(Section::Code);
    const auto m = b.begin_module(0, 0, 0, 0, 1);
    b.u32(0).u32(count);
    std::vector<std::uint32_t> slots;
    for (int i = 0; i < count; ++i) {
        slots.push_back(b.pos() + 5);
        b.u8(11).u32(0).f64(1.0);
    }
    b.end_module(m);
    b.end(Section::Code);
    return slots;
}

// References to one variable carry its name as one shared copy; an index past
// the table gets its "var_{index}" name.
TEST(BinaryInstruction, ReferencesShareTheVariableName) {
    VelkBuilder b;
    const auto name = b.str("amp");
    const std::vector<std::uint32_t> slots = waveform_code(b, 3);
    b.begin(Section::Variables);
    b.u32(1).u32(name).u8(0).u8(0).u32(3);
    b.u32(slots[0]).u32(0).u8(0).u32(slots[1]).u32(0).u8(0).u32(slots[2]).u32(7).u8(0);
    b.end(Section::Variables);
    const ModuleMap modules = modules_ok(b.bytes);
    const auto& ins = modules.begin()->second.blocks[0].instructions;
    const auto& first = std::get<VarRefParam>(std::get<RealWaveform>(ins[0]).amplitude);
    const auto& second = std::get<VarRefParam>(std::get<RealWaveform>(ins[1]).amplitude);
    const auto& beyond = std::get<VarRefParam>(std::get<RealWaveform>(ins[2]).amplitude);
    EXPECT_EQ(first, (VarRefParam{"amp", 0}));
    EXPECT_EQ(&first.name.str(), &second.name.str());
    EXPECT_EQ(beyond, (VarRefParam{"var_7", 7}));
}

// ---------------------------------------------------------------------------
// Decode limit

TEST(BinaryLimits, DecodedBytesAreBounded) {
    // Many waveform instructions naming one array are charged its samples each
    // time, although they share one copy; many references to one long variable
    // name are charged the name each time.
    VelkBuilder b;
    const std::string long_name(1000, 'x');
    const auto name = b.str(long_name);
    b.begin(Section::Data);
    b.u8(1).u8(1).u32(800).u32(100).zeros(800);
    b.end(Section::Data);
    const std::vector<std::uint32_t> slots = waveform_code(b, 20);
    b.begin(Section::Variables);
    b.u32(1).u32(name).u8(0).u8(0).u32(20);
    for (auto slot : slots) b.u32(slot).u32(0).u8(0);
    b.end(Section::Variables);

    auto loose = parse_sections(b.bytes);
    ASSERT_TRUE(loose.has_value()) << loose.error();
    ASSERT_TRUE(parse_modules(*loose).has_value());

    const struct {
        std::uint64_t limit;
        bool ok;
    } cases[] = {{100000, true}, {20000, false}, {2000, false}, {500, false}};
    for (const auto& c : cases) {
        auto file = parse_sections(b.bytes, c.limit);
        std::string error = file ? "" : file.error();
        if (file) {
            auto modules = parse_modules(*file);
            if (!modules) error = modules.error();
        }
        if (c.ok)
            EXPECT_EQ(error, "") << c.limit;
        else
            EXPECT_EQ(error, "Decoded program exceeds the limit of " + std::to_string(c.limit) +
                                 " bytes");
    }
}

// A file of one variable "v" whose default is the JSON text `text`.
Bytes json_variable_file(const std::string& text) {
    VelkBuilder b;
    const auto name = b.str("v");
    const auto json = b.str(text);
    b.begin(Section::Variables);
    b.u32(1).u32(name).u8(0).u8(1).u8(5).u32(json).u32(0);
    b.end(Section::Variables);
    return std::move(b.bytes);
}

// A JSON-text value is charged at least what its parsed tree really takes:
// measured here with the allocator's own books for the text whose tree is the
// largest per byte (an array of empty objects).
TEST(BinaryLimits, JsonTextIsChargedWhatItsTreeTakes) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the sanitizer's allocator keeps other books";
#else
    std::string text = "[";
    for (int i = 0; i < 20000; ++i) text += "{},";
    text += "{}]";
    auto file = parse_sections(json_variable_file(text));
    ASSERT_TRUE(file.has_value()) << file.error();

    const auto before = mallinfo2().uordblks;
    auto tree = parse_json(text);
    const auto used = mallinfo2().uordblks - before;
    ASSERT_TRUE(tree.has_value());
    // The variable's text copy, its tree and its table entry.
    EXPECT_GE(file->decoded_bytes, text.size() + used);
#endif
}

// A JSON text is charged 41 bytes per byte when it parses (its copy and 40 for
// its tree) and only its copy when it does not; the charge is made before the
// tree is built, and a text the budget cannot pay for is refused exactly when it
// parses, whatever the limit, so the boundary lies where it always has.
TEST(BinaryLimits, JsonTextIsChargedBeforeItsTreeIsBuilt) {
    const struct {
        std::string document;      // parses
        std::string not_document;  // the same length, does not parse
    } cases[] = {
        {"[" + std::string(999, ' ') + "]", "[" + std::string(999, ' ') + "x"},
        {"{\"a\": [{}, {}, \"text\"]}", "{\"a\": [{}, {}, \"text\"]]"},
        {"7", "x"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(c.document.size(), c.not_document.size());
        const Bytes document = json_variable_file(c.document);
        const Bytes not_document = json_variable_file(c.not_document);
        auto loose = parse_sections(document);
        ASSERT_TRUE(loose.has_value()) << loose.error();
        const std::uint64_t needed = loose->decoded_bytes;
        auto loose_text = parse_sections(not_document);
        ASSERT_TRUE(loose_text.has_value()) << loose_text.error();
        EXPECT_EQ(needed - loose_text->decoded_bytes, 40 * c.document.size()) << c.document;

        auto exact = parse_sections(document, needed);
        ASSERT_TRUE(exact.has_value()) << exact.error();
        EXPECT_EQ(exact->decoded_bytes, needed);
        for (const std::uint64_t limit : {needed - 1, needed - 40 * c.document.size()}) {
            auto short_of_it = parse_sections(document, limit);
            ASSERT_FALSE(short_of_it.has_value()) << c.document << " " << limit;
            EXPECT_EQ(short_of_it.error(),
                      "Decoded program exceeds the limit of " + std::to_string(limit) + " bytes");
            // The text that does not parse is a string at any of these limits.
            auto text = parse_sections(not_document, limit);
            ASSERT_TRUE(text.has_value()) << text.error();
            EXPECT_EQ(*std::get<JsonTree>(*text->variables[0].value), Json(c.not_document));
        }
    }
}

// Refusing a JSON text the budget cannot pay for builds no tree: it takes no
// more allocations than reading the same file with a text that fails at its
// first byte.
TEST(BinaryLimits, RefusingAJsonTextBuildsNoTree) {
    std::string document = "[";
    for (int i = 0; i < 2000; ++i) document += "{},";
    document += "{}]";
    std::string not_document = document;
    not_document.front() = 'x';
    const auto allocations = [](const std::string& text) {
        const Bytes bytes = json_variable_file(text);
        const exhausted_heap::Armed heap(SIZE_MAX);
        auto file = parse_sections(bytes, 20 * text.size());
        return std::make_pair(exhausted_heap::allocations, file ? std::string() : file.error());
    };
    const auto [refused, error] = allocations(document);
    const auto [kept, no_error] = allocations(not_document);
    EXPECT_EQ(error, "Decoded program exceeds the limit of " +
                         std::to_string(20 * document.size()) + " bytes");
    EXPECT_EQ(no_error, "");
    EXPECT_LE(refused, kept) << refused << " " << kept;
}

// Memory running out at any one allocation while a program with JSON-text
// values is read ends in the reader's message, never in the process ending.
TEST(BinaryLimits, RunningOutOfMemoryAnywhereIsAMessage) {
    VelkBuilder b;
    const auto ch = b.str("ch");
    const auto key = b.str("sos");
    const auto json = b.str("[[1, 0, 0, 1, -0.5, 0], {\"a\": [\"a text longer than sixteen\"]}]");
    const auto main = b.str("main");
    const auto v = b.str("v");
    b.begin(Section::Code);
    const auto m = b.begin_module(ch, 2, 0, 0, 1);
    b.u32(key).u8(5).u32(json);
    b.u32(key).u8(5).u32(json);  // replaces the first
    b.u32(main).u32(1).u8(5).u8(0).f64(1e-9);
    b.end_module(m);
    b.end(Section::Code);
    b.begin(Section::Variables);
    b.u32(2).u32(v).u8(0).u8(1).u8(5).u32(json).u32(v).u8(0).u8(1).u8(5).u32(json).u32(0);
    b.end(Section::Variables);
    ASSERT_EQ(read_error(b.bytes), "");

    std::size_t needed = 0;
    {
        const exhausted_heap::Armed heap(SIZE_MAX);
        ASSERT_EQ(read_error(b.bytes), "");
        needed = exhausted_heap::allocations;
    }
    ASSERT_GT(needed, 30u);
    for (std::size_t n = 0; n < needed; ++n) {
        std::string error;
        {
            const exhausted_heap::Armed heap(n, /*once=*/true);
            error = read_error(b.bytes);
        }
        EXPECT_EQ(error, "Out of memory while reading the program") << n;
    }
}

// ---------------------------------------------------------------------------
// Whole files

// A file that uses every part of the format and ends with the last byte of its
// last relocation entry, so that every shorter prefix must be rejected.
Bytes rich_file() {
    VelkBuilder b;
    const auto ch0 = b.str("ch0");
    const auto fn = b.str("function");
    const auto json = b.str("[[0, 0], [1, 1]]");
    const auto main = b.str("main");
    const auto q0 = b.str("q0");
    const auto amp = b.str("amp");
    const auto width = b.str("width");
    b.begin(Section::Data);
    b.u8(0).u8(1).u32(8).u32(2).le_f32(0.5f).le_f32(1.0f);
    b.u8(3).u8(2).u32(16).u32(1).u32(1).le_f64(1.0).le_f64(-1.0);
    b.end(Section::Data);
    b.begin(Section::Code);
    const auto m = b.begin_module(ch0, 2, 1, 1, 1);
    b.u32(fn).u8(5).u32(json);
    b.u32(q0).u8(3).f64(0.5);
    b.u8(2).u8(0x05).u32(q0).u32(3);
    b.u32(3).u8(5).f64(1e-6).u8(9).u32(1).u8(0);
    const std::uint32_t op_slot = b.pos() - 14;
    b.u32(main).u32(12);
    b.u8(1).u8(0x7F).f64(0).f64(0.5).f64(2e-8).u8(1).f64(0).f64(0).f64(0);
    const std::uint32_t amp_slot = b.pos() - 41;
    b.u8(2).u8(0x7F).u32(q0).u32(q0).u32(0).f64(1e-6).f64(5e9).f64(0).f64(0.5);
    b.u8(3).u8(0x1F).u32(q0).u32(q0).u32(1).f64(1e-6).f64(5e9);
    b.u8(4).u8(0x07).u32(q0).u32(2).f64(1e-6);
    b.u8(5).f64(1e-7);
    b.u8(6).f64(4.5e9);
    b.u8(7).f64(1.5);
    b.u8(8);
    b.u8(9).u32(1);
    b.u8(10).u32(q0).f64(0);
    b.u8(11).u32(0).f64(1.0);
    b.u8(12).u32(1).f64(0.5);
    b.end_module(m);
    b.end(Section::Code);
    b.begin(Section::Variables);
    b.u32(3);
    b.u32(amp).u8(0).u8(1).u8(3).f64(0.25);
    b.u32(width).u8(0).u8(1).u8(5).u32(json);
    b.u32(q0).u8(0).u8(0);
    b.u32(2).u32(op_slot).u32(1).u8(0).u32(amp_slot).u32(0).u8(0);
    b.end(Section::Variables);
    return std::move(b.bytes);
}

TEST(BinaryFileTest, RichFileDecodes) {
    const Bytes bytes = rich_file();
    BinaryFile file = sections_ok(bytes);
    EXPECT_EQ(file.data.size(), 2u);
    EXPECT_EQ(file.variables.size(), 3u);
    EXPECT_EQ(file.var_refs.size(), 2u);
    auto modules = parse_modules(file);
    ASSERT_TRUE(modules.has_value()) << modules.error();
    const Module& m = modules->at("ch0");
    EXPECT_EQ(m.settings.at("function"), Json::parse("[[0,0],[1,1]]"));
    EXPECT_EQ(m.settings.at("q0"), Json(0.5));
    ASSERT_EQ(m.operand_lists.size(), 1u);
    ASSERT_EQ(m.operand_lists[0].size(), 2u);
    EXPECT_EQ(std::get<OperandVar>(m.operand_lists[0][0]), (VarRefParam{"width", 1}));
    ASSERT_EQ(m.blocks.size(), 1u);
    EXPECT_EQ(m.blocks[0].name, "main");
    const auto& ins = m.blocks[0].instructions;
    ASSERT_EQ(ins.size(), 12u);
    const char* expected[] = {
        "pulse 0 $amp#0 2e-08 s1 0 0 0",
        "capture 'q0' 'q0' 0 9.9999999999999995e-07 5000000000 0 0.5",
        "capture_iq 'q0' 'q0' 1 9.9999999999999995e-07 5000000000",
        "capture_trace 'q0' 2 9.9999999999999995e-07",
        "delay 9.9999999999999995e-08",
        "freq 4500000000",
        "phase 1.5",
        "reset",
        "barrier 1",
        "op10 'q0' 0",
        "real 1 [ 0.5 1 ]",
        "complex 0.5 [ 1,-1 ]",
    };
    for (std::size_t i = 0; i < ins.size(); ++i) EXPECT_EQ(describe(ins[i]), expected[i]) << i;
}

TEST(BinaryFileTest, EveryCutIsRejected) {
    const Bytes bytes = rich_file();
    ASSERT_EQ(read_error(bytes), "");
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        const Bytes cut(bytes.begin(), bytes.begin() + n);
        const std::string error = read_error(cut);
        if (n < 32)
            EXPECT_EQ(error, "File too small") << n;
        else if (n < 40)
            EXPECT_EQ(error, "Truncated header: " + std::to_string(n) + " bytes, need 40") << n;
        else
            EXPECT_EQ(error.rfind("Unexpected end of file reading ", 0), 0u) << n << ": " << error;
    }
}

TEST(BinaryFileTest, HeaderByteFlips) {
    const Bytes bytes = rich_file();
    for (std::size_t i = 0; i < 40; ++i) {
        for (std::uint8_t mask : {0x01, 0x80, 0xFF}) {
            Bytes b = bytes;
            b[i] ^= mask;
            const std::string error = read_error(b);
            if (i < 4) {
                EXPECT_EQ(error, "Invalid magic number") << i;
            } else if (i < 6) {
                EXPECT_EQ(error, "Unsupported version: " +
                                     std::to_string((b[4] << 8) | b[5]))
                    << i;
            } else if (i < 16) {
                EXPECT_EQ(error, "") << i;  // reserved and first section: never consulted
            }
            // Section ranges: any outcome but a crash (run under the sanitizers).
        }
    }
}

TEST(BinaryFileTest, LoadProgramFile) {
    const auto dir = std::filesystem::path(::testing::TempDir()) / "velk_binary_test";
    std::filesystem::create_directories(dir);
    auto write = [&](const char* name, const Bytes& b) {
        std::ofstream(dir / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
        return dir / name;
    };

    auto ok = load_program_file(write("rich.velk", rich_file()));
    ASSERT_TRUE(ok.has_value()) << ok.error().display();
    EXPECT_EQ(ok->modules.count("ch0"), 1u);
    ASSERT_EQ(ok->variables.variables.size(), 3u);
    EXPECT_EQ(ok->variables.variable_index.at("width"), 1u);
    // The file's bytes are not kept: everything the run needs is in the tables.
    EXPECT_EQ(ok->modules.at("ch0").blocks.size(), modules_ok(rich_file()).at("ch0").blocks.size());

    auto small = load_program_file(write("small.velk", Bytes(5, 0)));
    ASSERT_FALSE(small.has_value());
    ASSERT_EQ(small.error().kind(), RunError::Kind::Message);
    EXPECT_EQ(*small.error().text(), "File too small");

    auto missing = load_program_file(dir / "missing.velk");
    ASSERT_FALSE(missing.has_value());
    ASSERT_EQ(missing.error().kind(), RunError::Kind::Io);
    EXPECT_EQ(missing.error().io()->kind, "NotFound");

    auto directory = load_program_file(dir);
    ASSERT_FALSE(directory.has_value());
    EXPECT_EQ(directory.error().kind(), RunError::Kind::Io);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace velk
