// A decoded program's variables bound from a variables file. The input is split
// in two: a 2-byte little-endian length n, then n bytes of VELK program (decoded
// with parse_sections and parse_modules), then the text of the variables file.
// Whatever the input, binding must end in success or a Message error; a failed
// binding changes no variable, and a successful one changes only the last entry
// of a name that the document's object holds.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "binary.hpp"
#include "bindings.hpp"
#include "json.hpp"

namespace {

// Equal values, with floats compared by their bits (NaN equals itself).
bool same(const std::optional<velk::VarValue>& a, const std::optional<velk::VarValue>& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    if (a->index() != b->index()) return false;
    if (const auto* f = std::get_if<float>(&*a))
        return std::bit_cast<std::uint32_t>(*f) == std::bit_cast<std::uint32_t>(std::get<float>(*b));
    if (const auto* d = std::get_if<double>(&*a))
        return std::bit_cast<std::uint64_t>(*d) == std::bit_cast<std::uint64_t>(std::get<double>(*b));
    return *a == *b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t declared = data[0] | (std::size_t{data[1]} << 8);
    const std::size_t program_size = std::min(declared, size - 2);
    const std::span<const std::uint8_t> program(data + 2, program_size);
    const std::string_view text(reinterpret_cast<const char*>(data + 2 + program_size),
                                size - 2 - program_size);

    auto file = velk::parse_sections(program);
    if (!file) return 0;
    auto modules = velk::parse_modules(*file);
    if (!modules) return 0;
    velk::VariableTable table;
    table.variables = std::move(file->variables);
    table.variable_index = std::move(file->variable_index);

    std::vector<std::optional<velk::VarValue>> before;
    for (const auto& def : table.variables) before.push_back(def.value);

    auto bound = velk::bind_variables_text(text, table);
    if (!bound) {
        const std::string* message = bound.error().text();
        if (message == nullptr) __builtin_trap();
        if (!message->starts_with("Failed to read vars file: ") &&
            !message->starts_with("Failed to parse vars JSON: "))
            __builtin_trap();
        (void)bound.error().debug();
    }

    auto parsed = velk::parse_json(text);
    velk::JsonTree document;
    if (parsed) document = std::move(*parsed);
    for (std::size_t i = 0; i < table.variables.size(); ++i) {
        if (same(before[i], table.variables[i].value)) continue;
        // Changed: only by a successful binding, of the last entry of a name
        // that the document's object holds.
        if (!bound || !parsed || !document->is_object()) __builtin_trap();
        const std::string& name = table.variables[i].name;
        if (!document->contains(name)) __builtin_trap();
        const auto last = table.variable_index.find(name);
        if (last == table.variable_index.end() || last->second != i) __builtin_trap();
    }
    return 0;
}
