#include "text.hpp"

#include <charconv>
#include <cstdint>

#include <utf8proc.h>

namespace velk {
namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence starting at `i`, or 0 when it is invalid. On
// an invalid sequence `maximal` receives the length of its maximal subpart: the
// longest prefix that could still have begun a valid sequence (at least 1).
std::size_t sequence_length(std::string_view s, std::size_t i, std::size_t& maximal,
                            char32_t& cp) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    maximal = 1;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 3;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 4;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    for (std::size_t k = 1; k < need; ++k) {
        if (i + k >= s.size()) return 0;
        const auto b = static_cast<unsigned char>(s[i + k]);
        const unsigned char l = (k == 1) ? lo : 0x80;
        const unsigned char h = (k == 1) ? hi : 0xBF;
        if (b < l || b > h) return 0;
        cp = (cp << 6) | (b & 0x3F);
        maximal = k + 1;
    }
    return need;
}

// Calls f(code point) for each character of `s`, U+FFFD for each maximal invalid
// subpart.
template <class F>
void for_each_char(std::string_view s, F&& f) {
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t maximal = 1;
        char32_t cp = 0;
        const std::size_t len = sequence_length(s, i, maximal, cp);
        if (len == 0) {
            f(U'\uFFFD', std::string_view(kReplacement, 3));
            i += maximal;
        } else {
            f(cp, s.substr(i, len));
            i += len;
        }
    }
}

// Characters shown as \u{..}: categories Cc, Cf, Cs, Co, Cn, Zl, Zp and Zs
// (except the space), and characters that extend a grapheme cluster.
bool needs_unicode_escape(char32_t cp) {
    if (cp == U' ') return false;
    const auto* prop = utf8proc_get_property(static_cast<utf8proc_int32_t>(cp));
    switch (prop->category) {
        case UTF8PROC_CATEGORY_CC:
        case UTF8PROC_CATEGORY_CF:
        case UTF8PROC_CATEGORY_CS:
        case UTF8PROC_CATEGORY_CO:
        case UTF8PROC_CATEGORY_CN:
        case UTF8PROC_CATEGORY_ZL:
        case UTF8PROC_CATEGORY_ZP:
        case UTF8PROC_CATEGORY_ZS:
            return true;
        default:
            break;
    }
    // Grapheme_Extend is the Extend break class without the emoji modifiers.
    const bool emoji_modifier = cp >= 0x1F3FB && cp <= 0x1F3FF;
    return prop->boundclass == UTF8PROC_BOUNDCLASS_EXTEND && !emoji_modifier;
}

}  // namespace

std::string utf8_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for_each_char(bytes, [&](char32_t, std::string_view enc) { out.append(enc); });
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t maximal = 1;
        char32_t cp = 0;
        const std::size_t len = sequence_length(bytes, i, maximal, cp);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string debug_quote(std::string_view text) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for_each_char(text, [&](char32_t cp, std::string_view enc) {
        switch (cp) {
            case U'"': out += "\\\""; return;
            case U'\\': out += "\\\\"; return;
            case U'\t': out += "\\t"; return;
            case U'\r': out += "\\r"; return;
            case U'\n': out += "\\n"; return;
            case U'\0': out += "\\0"; return;
            default: break;
        }
        if (!needs_unicode_escape(cp)) {
            out.append(enc);
            return;
        }
        out += "\\u{";
        bool started = false;
        for (int shift = 20; shift >= 0; shift -= 4) {
            const unsigned digit = (static_cast<std::uint32_t>(cp) >> shift) & 0xF;
            if (digit != 0 || started || shift == 0) {
                out.push_back(hex[digit]);
                started = true;
            }
        }
        out.push_back('}');
    });
    out.push_back('"');
    return out;
}

std::string path_text(const std::filesystem::path& path) {
    return utf8_lossy(path.native());
}

ShortestDigits shortest_digits(double x) {
    char buffer[40];
    const auto result =
        std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    // -d.ddde+XX
    const std::string_view sci(buffer, static_cast<std::size_t>(result.ptr - buffer));
    ShortestDigits d;
    d.negative = sci.starts_with('-');
    const std::size_t e = sci.find('e');
    for (const char c : sci.substr(0, e)) {
        if (c >= '0' && c <= '9') d.digits += c;
    }
    const std::string_view exponent = sci.substr(e + 1);
    std::from_chars(exponent.data() + (exponent.starts_with('+') ? 1 : 0),
                    exponent.data() + exponent.size(), d.exponent);
    return d;
}

std::string positional_text(const ShortestDigits& d) {
    const int n = static_cast<int>(d.digits.size());
    std::string out = d.negative ? "-" : "";
    if (d.exponent >= n - 1) {
        // 1234e7 -> 12340000000.0
        out += d.digits;
        out.append(static_cast<std::size_t>(d.exponent - (n - 1)), '0');
        out += ".0";
    } else if (d.exponent >= 0) {
        // 1234e-2 -> 12.34
        out.append(d.digits, 0, static_cast<std::size_t>(d.exponent + 1));
        out += '.';
        out.append(d.digits, static_cast<std::size_t>(d.exponent + 1));
    } else {
        // 1234e-6 -> 0.001234
        out += "0.";
        out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
        out += d.digits;
    }
    return out;
}

}  // namespace velk
