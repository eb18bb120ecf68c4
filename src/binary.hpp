// The VELK bytecode file (version 3): header, DATA, VARIABLES and CODE sections.
//
// Reading is built on one bounds-checked big-endian cursor (`Cursor`): every read
// checks the end of the file itself and returns an error instead of reading past
// it, so the section readers above it read straight through and stop at the first
// error. Section and record lengths decide only where the next record starts;
// counts from the file never reserve memory up front.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "expected.hpp"
#include "program.hpp"
#include "run_error.hpp"

namespace velk {

// The most the reader builds from one file beyond the file's own arrays: the
// texts it copies (names, string values, the names carried by variable
// references), the records of the CODE section and the samples of waveform
// instructions, counted in bytes of memory. A waveform instruction is charged its
// samples as if it held its own copy of them (8 bytes per real, 16 per complex
// sample), though every instruction plays the one decoded copy of the DATA array
// it names. Overlapping module records, many references to one long string and
// many waveform instructions naming one large array can all make a small file
// decode into far more than its own size; past this limit the file is rejected
// with "Decoded program exceeds the limit of {} bytes".
inline constexpr std::uint64_t kMaxDecodedBytes = std::uint64_t{4} << 30;

struct SectionRange {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    // offset + length without overflow.
    std::uint64_t end() const { return std::uint64_t{offset} + length; }
};

// The header's section ranges, after the magic number and the version; the
// first section's range is read but nothing in the file refers to it.
struct FileHeader {
    SectionRange data_section;
    SectionRange variables_section;
    SectionRange code_section;
};

// A relocation entry: the variable a slot refers to (the entry's kind byte is
// read but not used).
struct VarRef {
    std::uint32_t index = 0;
};

// The reader context: a view of the file bytes and the tables decoded from the
// header, DATA and VARIABLES sections. Lives only until the module map is built.
struct BinaryFile {
    std::span<const std::uint8_t> bytes;
    FileHeader header;
    // The DATA arrays, decoded; waveform instructions share them.
    std::vector<DataArray> data;
    std::vector<VarDef> variables;
    // The name of each variable as its references carry it (one copy each).
    std::vector<SharedText> reference_names;
    std::unordered_map<std::string, std::size_t> variable_index;
    std::unordered_map<std::uint64_t, VarRef> var_refs;
    // Decoded bytes charged so far against `decode_limit` (see kMaxDecodedBytes).
    std::uint64_t decoded_bytes = 0;
    std::uint64_t decode_limit = kMaxDecodedBytes;
};

// What the driver keeps of a loaded program: the module map and the variable
// table. The file's bytes are released once they are built; nothing in them
// refers to the bytes (waveform instructions hold the decoded DATA arrays).
struct LoadedProgram {
    ModuleMap modules;
    VariableTable variables;
};

// Reads the file whole (at most kMaxProgramFileBytes) and decodes it. An
// unreadable or too large file is an Io error naming the path; every check of
// the reader is a Message error.
Expected<LoadedProgram, RunError> load_program_file(const std::filesystem::path& path);

// Checks the header and decodes DATA and VARIABLES. `decode_limit` bounds the
// decoded bytes of the whole read, this step and parse_modules together.
Expected<BinaryFile, std::string> parse_sections(std::span<const std::uint8_t> bytes,
                                                 std::uint64_t decode_limit = kMaxDecodedBytes);
// Decodes the CODE section into the module map; a later module of the same name
// replaces the earlier one.
Expected<ModuleMap, std::string> parse_modules(const BinaryFile& file);

// A position in the file bytes and the reads that move it. Every read names what
// it reads, so that a read past the end reports
// "Unexpected end of file reading <what> at offset <n>". The position may lie
// past the end (a section can claim any offset); only reads fail there.
// The cursor also carries the decode budget of the read (see kMaxDecodedBytes).
class Cursor {
public:
    explicit Cursor(std::span<const std::uint8_t> bytes, std::uint64_t pos = 0,
                    std::uint64_t decode_limit = kMaxDecodedBytes,
                    std::uint64_t decoded_bytes = 0)
        : bytes_(bytes), pos_(pos), limit_(decode_limit), used_(decoded_bytes) {}

    std::span<const std::uint8_t> bytes() const { return bytes_; }
    std::uint64_t pos() const { return pos_; }
    void seek(std::uint64_t pos) { pos_ = pos; }

    // The next `n` bytes, or the end-of-file error when fewer remain.
    Expected<std::span<const std::uint8_t>, std::string> take(std::uint64_t n,
                                                              std::string_view what);
    Expected<std::uint8_t, std::string> u8(std::string_view what);
    Expected<std::uint16_t, std::string> u16(std::string_view what);
    Expected<std::uint32_t, std::string> u32(std::string_view what);
    Expected<std::int32_t, std::string> i32(std::string_view what);
    Expected<float, std::string> f32(std::string_view what);
    Expected<double, std::string> f64(std::string_view what);

    // Reads a u32 string offset and copies the text at it (text_at).
    Expected<std::string, std::string> string(std::string_view what);
    // The NUL-terminated text at `offset`, decoded as UTF-8 with U+FFFD for
    // invalid sequences (empty when the offset is at or past the end), charged to
    // the decode budget.
    Expected<std::string, std::string> text_at(std::uint64_t offset);

    // Charges `n` decoded bytes; fails once the budget is exceeded.
    Expected<void, std::string> charge(std::uint64_t n);
    std::uint64_t decoded_bytes() const { return used_; }
    std::uint64_t budget_left() const { return used_ < limit_ ? limit_ - used_ : 0; }
    // Bytes from the position to the end of the file.
    std::uint64_t remaining() const { return pos_ < bytes_.size() ? bytes_.size() - pos_ : 0; }

private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t pos_ = 0;
    std::uint64_t limit_ = kMaxDecodedBytes;
    std::uint64_t used_ = 0;
};

// Slot readers. A number (8-byte f64), string (u32 offset) or index (u32) slot
// whose first byte's offset is a key of `file.var_refs` is a reference to that
// variable; its bytes must still lie within the file but are not interpreted.
Expected<ParamValue<double>, std::string> read_param_f64(const BinaryFile& file, Cursor& cur);
Expected<ParamValue<std::string>, std::string> read_param_string(const BinaryFile& file,
                                                                 Cursor& cur);
Expected<ParamValue<std::uint32_t>, std::string> read_param_u32(const BinaryFile& file,
                                                                Cursor& cur);

// The field behind presence bit `bit`: its slot (or, for the shape, its plain
// byte) when the bit is set in `presence`, else the constant stored under the
// field's name in `defaults` (the opcode's map, or null) when it has the field's
// kind, else the fallback. A number default is taken as a JSON number
// (json_number); the shape's is an unsigned number's low 8 bits; a text's a JSON
// string; the index's an integer as a signed 64-bit value (an unsigned one above
// its range counts as 0), then its low 32 bits. The fallback is the field's for a
// number (0.0 or NaN), 0 or the empty text otherwise.
Expected<ParamValue<double>, std::string> read_field(const BinaryFile& file,
                                                     std::uint8_t presence, unsigned bit,
                                                     const FieldRule<ParamValue<double>>& field,
                                                     const FieldDefaults* defaults, Cursor& cur);
Expected<std::uint8_t, std::string> read_field(const BinaryFile& file, std::uint8_t presence,
                                               unsigned bit, const FieldRule<std::uint8_t>& field,
                                               const FieldDefaults* defaults, Cursor& cur);
Expected<ParamValue<std::string>, std::string> read_field(
    const BinaryFile& file, std::uint8_t presence, unsigned bit,
    const FieldRule<ParamValue<std::string>>& field, const FieldDefaults* defaults, Cursor& cur);
Expected<ParamValue<std::uint32_t>, std::string> read_field(
    const BinaryFile& file, std::uint8_t presence, unsigned bit,
    const FieldRule<ParamValue<std::uint32_t>>& field, const FieldDefaults* defaults,
    Cursor& cur);

// Decodes the instruction at the cursor (opcode byte and fields, RecordFields)
// and advances the cursor past it. `defaults` are the module's per-opcode field
// defaults. A waveform instruction holds the DATA array its index names (none
// for an index past the table) and is charged its samples once all its fields
// are read.
Expected<Instruction, std::string> decode_instruction(
    const BinaryFile& file, Cursor& cur,
    const std::unordered_map<std::uint8_t, FieldDefaults>& defaults);

}  // namespace velk
