// libFuzzer target for the strict JSON reader and the pretty writer.
//
// For any input: parsing must not crash. When it succeeds, the pretty text must
// parse again to the same value (same number classes, float bits, strings and
// key order) and print identically; and nlohmann's own parser must accept the
// input and find an equal value. When it fails but nlohmann accepts, the only
// allowed reasons are the depth limit (nlohmann has none), a leading byte-order
// mark (which nlohmann skips) and a NUL byte (where nlohmann's input ends).
// The check without a tree (check_json) must agree with the parse: the same
// verdict and, on failure, the same error.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>
#include <string_view>

#include "json.hpp"

namespace {

// Same kind, same number class, same float bits, same strings and members.
bool identical(const velk::Json& a, const velk::Json& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case velk::Json::value_t::number_float:
            return std::bit_cast<std::uint64_t>(a.get<double>()) ==
                   std::bit_cast<std::uint64_t>(b.get<double>());
        case velk::Json::value_t::array: {
            if (a.size() != b.size()) return false;
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!identical(a[i], b[i])) return false;
            }
            return true;
        }
        case velk::Json::value_t::object: {
            if (a.size() != b.size()) return false;
            auto ib = b.begin();
            for (auto ia = a.begin(); ia != a.end(); ++ia, ++ib) {
                if (ia.key() != ib.key() || !identical(ia.value(), ib.value())) return false;
            }
            return true;
        }
        default:
            return a == b;
    }
}

[[noreturn]] void fail(const char* what, std::string_view text) {
    std::fprintf(stderr, "json_fuzz: %s\n", what);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = velk::parse_json(text);
    const velk::Json reference = velk::Json::parse(text.begin(), text.end(), nullptr, false);
    const auto checked = velk::check_json(text);
    if (checked.has_value() != parsed.has_value()) fail("the check and the parse disagree", text);
    if (!parsed && checked.error().display() != parsed.error().display()) {
        fail("the check and the parse fail differently", text);
    }

    if (!parsed) {
        const auto& e = parsed.error();
        if (e.line < 1 || e.column > size) fail("error position outside the text", text);
        if (!reference.is_discarded() && e.description != "recursion limit exceeded" &&
            !text.starts_with("\xEF\xBB\xBF") && text.find('\0') == std::string_view::npos) {
            fail(("rejected what nlohmann accepts: " + e.display()).c_str(), text);
        }
        return 0;
    }

    if (reference.is_discarded()) fail("accepted what nlohmann rejects", text);
    if (!(*parsed == reference)) fail("value differs from nlohmann's", text);

    const std::string pretty = velk::write_pretty_json(*parsed);
    auto again = velk::parse_json(pretty);
    if (!again) fail(("pretty text does not parse: " + again.error().display()).c_str(), pretty);
    if (!identical(*parsed, *again)) fail("round trip changed the value", pretty);
    if (velk::write_pretty_json(*again) != pretty) fail("pretty text is not stable", pretty);
    return 0;
}
