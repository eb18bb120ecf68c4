// The VELK bytecode file (version 3): header, DATA, VARIABLES and CODE sections.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "expected.hpp"
#include "program.hpp"
#include "run_error.hpp"

namespace velk {

struct SectionRange {
    std::uint32_t offset = 0;
    std::uint32_t length = 0;
    // offset + length without overflow.
    std::uint64_t end() const { return std::uint64_t{offset} + length; }
};

struct FileHeader {
    char magic[4] = {};
    std::uint16_t version = 0;
    SectionRange first_section;
    SectionRange data_section;
    SectionRange variables_section;
    SectionRange code_section;
};

struct VarRef {
    std::uint32_t index = 0;
    std::uint8_t kind = 0;
};

// The reader context: a view of the file bytes and the tables decoded from the
// header, DATA and VARIABLES sections. Lives only until the module map is built.
struct BinaryFile {
    std::span<const std::uint8_t> bytes;
    FileHeader header;
    std::vector<DataArray> data;
    std::vector<VarDef> variables;
    std::unordered_map<std::string, std::size_t> variable_index;
    std::unordered_map<std::uint64_t, VarRef> var_refs;
};

// What the driver keeps of a loaded program: the file bytes (held until the end of
// the run), the module map and the variable table. Nothing in the modules or the
// table refers to the bytes.
struct LoadedProgram {
    std::vector<std::uint8_t> bytes;
    ModuleMap modules;
    VariableTable variables;
};

// Reads the file whole and decodes it. An unreadable file is an Io error; every
// check of the reader is a Message error.
Expected<LoadedProgram, RunError> load_program_file(const std::filesystem::path& path);

Expected<BinaryFile, std::string> parse_sections(std::span<const std::uint8_t> bytes);
Expected<ModuleMap, std::string> parse_modules(const BinaryFile& file);

// The NUL-terminated string at `offset`, decoded as UTF-8 with U+FFFD for invalid
// sequences; empty when the offset is at or past the end.
std::string read_cstring(std::span<const std::uint8_t> bytes, std::uint64_t offset);

}  // namespace velk
