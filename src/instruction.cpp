#include "instruction.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <variant>

namespace velk {

// ---------------------------------------------------------------------------
// Field resolution

double variable_f64(const VariableTable& variables, std::uint64_t index) {
    const VarValue* v = variables.value_at(index);
    if (v == nullptr) return std::numeric_limits<double>::quiet_NaN();
    return std::visit(Overloaded{[](std::uint32_t u) { return static_cast<double>(u); },
                                 [](std::int32_t i) { return static_cast<double>(i); },
                                 [](float f) { return static_cast<double>(f); },
                                 [](double d) { return d; },
                                 [](const auto&) {  // text, JSON
                                     return std::numeric_limits<double>::quiet_NaN();
                                 }},
                      *v);
}

double resolve_f64(const ParamValue<double>& param, const VariableTable& variables) {
    if (const auto* c = std::get_if<double>(&param)) return *c;
    return variable_f64(variables, std::get<VarRefParam>(param).index);
}

std::int32_t resolve_i32(const ParamValue<std::uint32_t>& param, const VariableTable& variables) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    if (const auto* c = std::get_if<std::uint32_t>(&param)) return static_cast<std::int32_t>(*c);
    const VarValue* v = variables.value_at(std::get<VarRefParam>(param).index);
    if (v == nullptr) return 0;
    return std::visit(
        Overloaded{[](std::uint32_t u) { return static_cast<std::int32_t>(u); },
                   [](std::int32_t i) { return i; },
                   [](float f) {
                       if (std::isnan(f)) return 0;
                       // 2147483520 is the largest float below 2^31.
                       if (f > 2147483520.0f) return kMax;
                       if (f < -2147483648.0f) return kMin;
                       return static_cast<std::int32_t>(f);
                   },
                   [](double d) {
                       if (std::isnan(d)) return 0;
                       return static_cast<std::int32_t>(std::clamp(d, -2147483648.0, 2147483647.0));
                   },
                   [](const auto&) { return 0; }},  // text, JSON
        *v);
}

std::string resolve_string(const ParamValue<std::string>& param, const VariableTable& variables) {
    if (const auto* c = std::get_if<std::string>(&param)) return *c;
    const VarValue* v = variables.value_at(std::get<VarRefParam>(param).index);
    if (v == nullptr) return std::string();
    if (const auto* s = std::get_if<VarString>(v)) return s->text;
    return std::string();
}

// ---------------------------------------------------------------------------
// Capture descriptions

namespace {

Json field_json(const ParamValue<std::string>& p, const VariableTable& variables) {
    return Json(resolve_string(p, variables));
}

Json field_json(const ParamValue<std::uint32_t>& p, const VariableTable& variables) {
    return Json(static_cast<std::int64_t>(resolve_i32(p, variables)));
}

Json field_json(const ParamValue<double>& p, const VariableTable& variables) {
    return json_float_or_null(resolve_f64(p, variables));
}

}  // namespace

template <CaptureRecordType Record>
std::pair<std::string, Json> capture_to_json(const Record& capture,
                                             const VariableTable& variables) {
    Json obj = Json::object();
    for_each_field<Record>([&](const auto& field) {
        obj[std::string(field.name)] = field_json(capture.*field.member, variables);
    });
    return {std::string(RecordFields<Record>::capture_name), std::move(obj)};
}

template std::pair<std::string, Json> capture_to_json(const Capture&, const VariableTable&);
template std::pair<std::string, Json> capture_to_json(const CaptureIq&, const VariableTable&);
template std::pair<std::string, Json> capture_to_json(const CaptureTrace&, const VariableTable&);

}  // namespace velk
