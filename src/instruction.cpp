#include "instruction.hpp"

#include <cmath>
#include <cstdint>

namespace velk {

namespace {

Json field_json(const ParamValue<std::string>& p, const VariableTable& variables) {
    return Json(resolve_string(p, variables));
}

Json field_json(const ParamValue<std::uint32_t>& p, const VariableTable& variables) {
    return Json(static_cast<std::int64_t>(resolve_i32(p, variables)));
}

Json field_json(const ParamValue<double>& p, const VariableTable& variables) {
    return capture_number(resolve_f64(p, variables));
}

}  // namespace

Json capture_number(double value) {
    if (!std::isfinite(value)) return Json(nullptr);
    return Json(value);  // always a floating-point number, 0.0 included
}

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
