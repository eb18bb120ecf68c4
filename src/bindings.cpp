// The variable bindings file: a JSON object from variable name to new value.
//
// The whole file is read and parsed before anything is bound, so a file that
// fails leaves every variable as it was. Members are visited in the object's key
// order (byte-wise ascending); a member binds only when its name is a variable
// and its value is a string or a number.

#include "bindings.hpp"

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "input_file.hpp"
#include "json.hpp"
#include "text.hpp"

namespace velk {
namespace {

Unexpected<RunError> read_failure(const std::string& why) {
    return Unexpected(RunError::message("Failed to read vars file: " + why));
}

Unexpected<RunError> parse_failure(const std::string& why) {
    return Unexpected(RunError::message("Failed to parse vars JSON: " + why));
}

// The value a member binds, or nothing for the kinds that bind nothing (null,
// booleans, arrays, objects). Strings are moved out of the parsed tree.
std::optional<VarValue> bound_value(Json& member) {
    switch (member.type()) {
        case Json::value_t::string:
            return VarValue(VarString{std::move(member.get_ref<std::string&>())});
        case Json::value_t::number_integer: {
            // Signed 64-bit: keep the low 32 bits of the two's-complement form.
            const auto v = member.get<std::int64_t>();
            return VarValue(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
        }
        case Json::value_t::number_unsigned: {
            const auto v = member.get<std::uint64_t>();
            if (v <= static_cast<std::uint64_t>(INT64_MAX))
                return VarValue(static_cast<std::int32_t>(static_cast<std::uint32_t>(v)));
            // Beyond the signed range the integer becomes the nearest double.
            return VarValue(static_cast<double>(v));
        }
        case Json::value_t::number_float:
            return VarValue(member.get<double>());
        default:
            return std::nullopt;
    }
}

}  // namespace

Expected<void, RunError> bind_variables(const std::filesystem::path& path, VariableTable& table) {
    auto bytes = read_input_file(path, kMaxVarsFileBytes);
    // Every read error names the file: "v.json: No such file or directory (os
    // error 2)", "v.json: file exceeds the limit of ...".
    if (!bytes) return read_failure(path_text(path) + ": " + bytes.error().display());
    return bind_variables_text(*bytes, table);
}

Expected<void, RunError> bind_variables_text(std::string_view text, VariableTable& table) {
    if (!is_valid_utf8(text)) return read_failure(IoError::invalid_utf8().display());

    // The parsed tree, however large, is dropped without allocating (also when
    // parsing ran out of memory: the reader's partial tree has its owner).
    auto parsed = unless_out_of_memory(
        [&]() -> Expected<JsonTree, RunError> {
            auto tree = parse_json(text);
            if (!tree) return parse_failure(tree.error().display());
            return std::move(*tree);
        },
        [] { return parse_failure("out of memory"); });
    if (!parsed) return Unexpected(std::move(parsed).error());
    JsonTree& document = *parsed;

    if (!document->is_object()) return {};
    // Binding moves values out of the parsed tree and cannot fail.
    for (auto& [name, member] : document->get_ref<Json::object_t&>()) {
        const auto found = table.variable_index.find(name);
        if (found == table.variable_index.end() || found->second >= table.variables.size()) continue;
        auto value = bound_value(member);
        if (!value) continue;
        // A JSON default from the program that it replaces drops without allocating.
        table.variables[found->second].value = std::move(*value);
    }
    return {};
}

}  // namespace velk
