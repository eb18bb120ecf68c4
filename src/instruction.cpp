#include "instruction.hpp"

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace velk {

namespace {

// Fields are constants here; a field that still names a variable is taken as
// the empty text, 0 or null.
std::string text_field(const ParamValue<std::string>& p) {
    if (const auto* s = std::get_if<std::string>(&p)) return *s;
    return std::string();
}

Json idx_field(const ParamValue<std::uint32_t>& p) {
    std::int32_t value = 0;
    if (const auto* v = std::get_if<std::uint32_t>(&p)) value = static_cast<std::int32_t>(*v);
    return Json(static_cast<std::int64_t>(value));
}

Json number_field(const ParamValue<double>& p) {
    if (const auto* v = std::get_if<double>(&p)) return capture_number(*v);
    return Json(nullptr);
}

}  // namespace

Json capture_number(double value) {
    if (!std::isfinite(value)) return Json(nullptr);
    return Json(value);  // always a floating-point number, 0.0 included
}

std::pair<std::string, Json> capture_to_json(const Instruction& instruction) {
    return std::visit(
        [](const auto& ins) -> std::pair<std::string, Json> {
            using T = std::decay_t<decltype(ins)>;
            Json obj = Json::object();
            if constexpr (std::is_same_v<T, Capture>) {
                obj["qubit"] = text_field(ins.qubit);
                obj["creg"] = text_field(ins.creg);
                obj["idx"] = idx_field(ins.idx);
                obj["duration"] = number_field(ins.duration);
                obj["frequency"] = number_field(ins.frequency);
                obj["phi"] = number_field(ins.phi);
                obj["threshold"] = number_field(ins.threshold);
                return {"capture", std::move(obj)};
            } else if constexpr (std::is_same_v<T, CaptureIq>) {
                obj["qubit"] = text_field(ins.qubit);
                obj["creg"] = text_field(ins.creg);
                obj["idx"] = idx_field(ins.idx);
                obj["duration"] = number_field(ins.duration);
                obj["frequency"] = number_field(ins.frequency);
                return {"capture_iq", std::move(obj)};
            } else if constexpr (std::is_same_v<T, CaptureTrace>) {
                obj["creg"] = text_field(ins.creg);
                obj["idx"] = idx_field(ins.idx);
                obj["duration"] = number_field(ins.duration);
                return {"capture_trace", std::move(obj)};
            } else {
                return {"unknown", Json(nullptr)};
            }
        },
        instruction);
}

}  // namespace velk
