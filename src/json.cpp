// The strict JSON reader, the pretty writer of channel descriptions, and the
// non-allocating teardown of large value trees.
//
// The reader is a recursive descent over the bytes, which builds the value tree
// or, for a check, nothing, with an explicit depth budget: each array or object
// takes one unit of the 128 and the one that finds the budget spent fails with
// "recursion limit exceeded", so the C++ stack never holds more than 127 nested
// container frames. Positions follow one rule: an
// error is reported either at the read index (after the bytes consumed so far)
// or one byte past it (at a byte that was looked at but not consumed), and
// `position_of` turns that index into a 1-based line and a byte column counting
// the bytes between the line's start and the index.
#include "json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <system_error>
#include <type_traits>
#include <utility>

#include "text.hpp"

namespace velk {

std::string JsonParseError::display() const {
    return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

// Descriptions of the reader's errors.
namespace msg {
constexpr const char* eof_value = "EOF while parsing a value";
constexpr const char* eof_string = "EOF while parsing a string";
constexpr const char* eof_list = "EOF while parsing a list";
constexpr const char* eof_object = "EOF while parsing an object";
constexpr const char* expected_value = "expected value";
constexpr const char* expected_ident = "expected ident";
constexpr const char* expected_list_comma = "expected `,` or `]`";
constexpr const char* expected_object_comma = "expected `,` or `}`";
constexpr const char* expected_colon = "expected `:`";
constexpr const char* key_must_be_string = "key must be a string";
constexpr const char* trailing_comma = "trailing comma";
constexpr const char* trailing_characters = "trailing characters";
constexpr const char* invalid_escape = "invalid escape";
constexpr const char* invalid_number = "invalid number";
constexpr const char* number_out_of_range = "number out of range";
constexpr const char* invalid_code_point = "invalid unicode code point";
constexpr const char* control_character =
    "control character (\\u0000-\\u001F) found while parsing a string";
constexpr const char* lone_surrogate = "lone leading surrogate in hex escape";
constexpr const char* unexpected_end_of_hex = "unexpected end of hex escape";
constexpr const char* recursion_limit = "recursion limit exceeded";
}  // namespace msg

// Arrays and objects may nest 127 levels; entering the 128th fails.
constexpr int kDepthBudget = 128;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

template <class Text>
void append_utf8(Text& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// What a check of a text builds in place of a tree: nothing. Every value read is
// dropped as it is assigned, and one NoTree stands for every element list,
// member map and element slot.
struct NoTree {
    template <class T>
    NoTree& operator=(T&&) {
        return *this;
    }
    NoTree& emplace_back() { return *this; }
    NoTree& back() { return *this; }
};

// The text of a string as a check reads it: nothing is kept, but each run of
// raw bytes is checked to be UTF-8. Escapes always decode to whole UTF-8
// sequences, so the text is UTF-8 exactly when every raw run is.
struct NoText {
    bool valid = true;
    void append(std::string_view run) { valid = valid && is_valid_utf8(run); }
    void push_back(char) {}
};

bool is_valid_text(const std::string& text) { return is_valid_utf8(text); }
bool is_valid_text(const NoText& text) { return text.valid; }

Json::array_t& new_array(Json& out) {
    out = Json::array();
    return out.get_ref<Json::array_t&>();
}
Json::object_t& new_object(Json& out) {
    out = Json::object();
    return out.get_ref<Json::object_t&>();
}
NoTree& new_array(NoTree& out) { return out; }
NoTree& new_object(NoTree& out) { return out; }

// The reader over one text. `Value` is Json to build the tree, NoTree to check
// the text only: both read the same bytes through the same steps and stop with
// the same error.
template <class Value>
class Reader {
    using Text = std::conditional_t<std::is_same_v<Value, Json>, std::string, NoText>;

public:
    explicit Reader(std::string_view text) : text_(text) {}

    // The value of the whole text, or the error where reading stopped.
    bool document(Value& value) {
        if (!parse_value(value)) return false;
        if (skip_whitespace()) return fail_peek(msg::trailing_characters);
        return true;
    }

    JsonParseError& error() { return error_; }

private:
    // --- positions and errors -------------------------------------------------

    // Line and column of byte index `index`: the line counts the line feeds
    // before the start of the index's line, the column the bytes from that start
    // up to the index.
    void set_error(const char* description, std::size_t index) {
        index = std::min(index, text_.size());
        const std::string_view before = text_.substr(0, index);
        const std::size_t last_lf = before.rfind('\n');
        const std::size_t line_start = last_lf == std::string_view::npos ? 0 : last_lf + 1;
        error_.description = description;
        error_.line = 1 + static_cast<std::size_t>(
                              std::count(before.begin(), before.begin() + line_start, '\n'));
        error_.column = index - line_start;
    }
    // At the read index: the error concerns the bytes consumed so far.
    bool fail(const char* description) {
        set_error(description, pos_);
        return false;
    }
    // At the byte under the read index (looked at, not consumed); at the end of
    // the text this is the end.
    bool fail_peek(const char* description) {
        set_error(description, pos_ + 1);
        return false;
    }

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return text_[pos_]; }
    char peek_or_nul() const { return at_end() ? '\0' : text_[pos_]; }

    // Skips spaces, tabs, line feeds and carriage returns; true when a byte
    // follows them.
    bool skip_whitespace() {
        while (!at_end()) {
            const char c = text_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return true;
            ++pos_;
        }
        return false;
    }

    // --- values ---------------------------------------------------------------

    bool parse_value(Value& out) {
        if (!skip_whitespace()) return fail_peek(msg::eof_value);
        switch (peek()) {
            case 'n':
                ++pos_;
                if (!parse_ident("ull")) return false;
                out = nullptr;
                return true;
            case 't':
                ++pos_;
                if (!parse_ident("rue")) return false;
                out = true;
                return true;
            case 'f':
                ++pos_;
                if (!parse_ident("alse")) return false;
                out = false;
                return true;
            case '-':
                ++pos_;
                return parse_number(false, out);
            case '0': case '1': case '2': case '3': case '4':
            case '5': case '6': case '7': case '8': case '9':
                return parse_number(true, out);
            case '"': {
                ++pos_;
                Text text;
                if (!parse_string(text)) return false;
                out = std::move(text);
                return true;
            }
            case '[':
            case '{': {
                if (--depth_budget_ == 0) return fail_peek(msg::recursion_limit);
                const bool is_array = peek() == '[';
                ++pos_;
                const bool ok = is_array ? parse_array_body(out) : parse_object_body(out);
                ++depth_budget_;
                return ok;
            }
            default:
                return fail_peek(msg::expected_value);
        }
    }

    bool parse_ident(std::string_view rest) {
        for (const char expected : rest) {
            if (at_end()) return fail(msg::eof_value);
            if (text_[pos_++] != expected) return fail(msg::expected_ident);
        }
        return true;
    }

    // After the '[': elements up to and including the ']'.
    bool parse_array_body(Value& out) {
        auto& elements = new_array(out);
        for (bool first = true;; first = false) {
            if (!skip_whitespace()) return fail_peek(msg::eof_list);
            if (peek() == ']') {
                ++pos_;
                return true;
            }
            if (!first) {
                if (peek() != ',') return fail_peek(msg::expected_list_comma);
                ++pos_;
                if (!skip_whitespace()) return fail_peek(msg::eof_value);
                if (peek() == ']') return fail_peek(msg::trailing_comma);
            }
            elements.emplace_back();
            if (!parse_value(elements.back())) return false;
        }
    }

    // After the '{': members up to and including the '}'. A repeated key keeps
    // its last value.
    bool parse_object_body(Value& out) {
        auto& members = new_object(out);
        for (bool first = true;; first = false) {
            if (!skip_whitespace()) return fail_peek(msg::eof_object);
            if (peek() == '}') {
                ++pos_;
                return true;
            }
            if (!first) {
                if (peek() != ',') return fail_peek(msg::expected_object_comma);
                ++pos_;
                if (!skip_whitespace()) return fail_peek(msg::eof_value);
                if (peek() == '}') return fail_peek(msg::trailing_comma);
            }
            if (peek() != '"') return fail_peek(msg::key_must_be_string);
            ++pos_;
            Text key;
            if (!parse_string(key)) return false;
            if (!skip_whitespace()) return fail_peek(msg::eof_object);
            if (peek() != ':') return fail_peek(msg::expected_colon);
            ++pos_;
            if (!parse_member(members, std::move(key))) return false;
        }
    }

    // The value after a key's colon, stored under the key.
    // The value is held by its owner until the object takes it over; a value it
    // replaces is released first.
    bool parse_member(Json::object_t& members, std::string key) {
        JsonTree value;
        if (!parse_value(*value)) return false;
        if (const auto found = members.find(key); found != members.end()) {
            release_json(found->second);
            found->second = value.take();
        } else {
            members.emplace(std::move(key), std::move(*value));
        }
        return true;
    }
    bool parse_member(NoTree& members, NoText) { return parse_value(members); }

    // --- numbers --------------------------------------------------------------

    // At the first digit (after the '-' of a negative number).
    bool parse_number(bool positive, Value& out) {
        const std::size_t literal_start = positive ? pos_ : pos_ - 1;
        const std::size_t digits_start = pos_;

        // Integer part: one '0' or a non-zero digit and more digits.
        if (at_end()) return fail(msg::eof_value);
        const char lead = text_[pos_++];
        if (lead == '0') {
            if (is_digit(peek_or_nul())) return fail_peek(msg::invalid_number);
        } else if (is_digit(lead)) {
            while (is_digit(peek_or_nul())) ++pos_;
        } else {
            return fail(msg::invalid_number);
        }
        const std::size_t digits_end = pos_;

        bool is_float = false;
        std::size_t fraction_start = pos_, fraction_end = pos_;
        if (peek_or_nul() == '.') {
            ++pos_;
            fraction_start = pos_;
            while (is_digit(peek_or_nul())) ++pos_;
            fraction_end = pos_;
            if (fraction_start == fraction_end) {
                return fail_peek(at_end() ? msg::eof_value : msg::invalid_number);
            }
            is_float = true;
        }
        // The exponent, saturated: only its sign and rough size matter beyond
        // what from_chars reads.
        std::int64_t exponent = 0;
        if (peek_or_nul() == 'e' || peek_or_nul() == 'E') {
            ++pos_;
            bool exponent_negative = false;
            if (peek_or_nul() == '+' || peek_or_nul() == '-') {
                exponent_negative = peek() == '-';
                ++pos_;
            }
            if (at_end()) return fail(msg::eof_value);
            if (!is_digit(text_[pos_++])) return fail(msg::invalid_number);
            exponent = text_[pos_ - 1] - '0';
            while (is_digit(peek_or_nul())) {
                if (exponent < 1'000'000'000'000) exponent = exponent * 10 + (peek() - '0');
                ++pos_;
            }
            if (exponent_negative) exponent = -exponent;
            is_float = true;
        }

        if (!is_float) {
            std::uint64_t magnitude = 0;
            const char* first = text_.data() + digits_start;
            const char* last = text_.data() + digits_end;
            const auto [ptr, ec] = std::from_chars(first, last, magnitude);
            if (ec == std::errc() && ptr == last) {
                constexpr std::uint64_t min_magnitude = std::uint64_t{1} << 63;
                if (positive) {
                    out = magnitude;
                    return true;
                }
                if (magnitude == 0) {
                    out = -0.0;
                    return true;
                }
                if (magnitude <= min_magnitude) {
                    out = static_cast<std::int64_t>(0 - magnitude);  // two's complement
                    return true;
                }
            }
            // Too large for its integer class: a float.
        }

        double value = 0.0;
        const char* first = text_.data() + literal_start;
        const char* last = text_.data() + pos_;
        const auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
        if (ec == std::errc() && ptr == last) {
            out = value;
            return true;
        }
        if (ec == std::errc::result_out_of_range &&
            !overflows(digits_start, digits_end, fraction_start, fraction_end, exponent)) {
            out = positive ? 0.0 : -0.0;  // too small for a double: zero
            return true;
        }
        return fail(msg::number_out_of_range);
    }

    // For a literal that from_chars finds out of range: whether it is too large
    // (rather than too small), from the decimal exponent of its first non-zero
    // digit. That exponent is at least 308 or at most -324 here, so its sign
    // decides.
    bool overflows(std::size_t digits_start, std::size_t digits_end, std::size_t fraction_start,
                   std::size_t fraction_end, std::int64_t exponent) const {
        for (std::size_t i = digits_start; i < digits_end; ++i) {
            if (text_[i] != '0') {
                return static_cast<std::int64_t>(digits_end - i) - 1 + exponent >= 0;
            }
        }
        for (std::size_t i = fraction_start; i < fraction_end; ++i) {
            if (text_[i] != '0') {
                return -static_cast<std::int64_t>(i - fraction_start) - 1 + exponent >= 0;
            }
        }
        return false;
    }

    // --- strings --------------------------------------------------------------

    // After the opening quote: the text up to and including the closing quote,
    // escapes decoded.
    bool parse_string(Text& out) {
        std::size_t run_start = pos_;
        for (;;) {
            while (!at_end()) {
                const auto c = static_cast<unsigned char>(text_[pos_]);
                if (c == '"' || c == '\\' || c < 0x20) break;
                ++pos_;
            }
            if (at_end()) return fail(msg::eof_string);
            const char c = text_[pos_];
            out.append(text_.substr(run_start, pos_ - run_start));
            ++pos_;
            if (c == '"') {
                if (!is_valid_text(out)) return fail(msg::invalid_code_point);
                return true;
            }
            if (c != '\\') return fail(msg::control_character);
            if (!parse_escape(out)) return false;
            run_start = pos_;
        }
    }

    // After the backslash.
    bool parse_escape(Text& out) {
        if (at_end()) return fail(msg::eof_string);
        switch (text_[pos_++]) {
            case '"': out.push_back('"'); return true;
            case '\\': out.push_back('\\'); return true;
            case '/': out.push_back('/'); return true;
            case 'b': out.push_back('\b'); return true;
            case 'f': out.push_back('\f'); return true;
            case 'n': out.push_back('\n'); return true;
            case 'r': out.push_back('\r'); return true;
            case 't': out.push_back('\t'); return true;
            case 'u': return parse_unicode_escape(out);
            default: return fail(msg::invalid_escape);
        }
    }

    // After "\u": four hex digits, and for a leading surrogate the "\u" and four
    // hex digits of its trailing surrogate.
    bool parse_unicode_escape(Text& out) {
        std::uint32_t unit = 0;
        if (!parse_hex4(unit)) return false;
        if (unit >= 0xDC00 && unit <= 0xDFFF) return fail(msg::lone_surrogate);
        if (unit < 0xD800 || unit > 0xDBFF) {
            append_utf8(out, unit);
            return true;
        }
        for (const char expected : {'\\', 'u'}) {
            if (at_end()) return fail(msg::eof_string);
            if (text_[pos_++] != expected) return fail(msg::unexpected_end_of_hex);
        }
        std::uint32_t trail = 0;
        if (!parse_hex4(trail)) return false;
        if (trail < 0xDC00 || trail > 0xDFFF) return fail(msg::lone_surrogate);
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (trail - 0xDC00));
        return true;
    }

    bool parse_hex4(std::uint32_t& unit) {
        if (text_.size() - pos_ < 4) {
            pos_ = text_.size();
            return fail(msg::eof_string);
        }
        unit = 0;
        bool ok = true;
        for (int i = 0; i < 4; ++i) {
            const int digit = hex_value(text_[pos_ + i]);
            if (digit < 0) ok = false;
            unit = unit * 16 + static_cast<std::uint32_t>(std::max(digit, 0));
        }
        pos_ += 4;
        return ok || fail(msg::invalid_escape);
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    int depth_budget_ = kDepthBudget;
    JsonParseError error_;
};

// --- teardown -----------------------------------------------------------------

bool is_filled_container(const Json& v) {
    if (v.is_array()) return !v.get_ref<const Json::array_t&>().empty();
    if (v.is_object()) return !v.get_ref<const Json::object_t&>().empty();
    return false;
}

// The last element or member value of a container, or null when it is empty.
Json* last_child(Json& v) {
    if (v.is_array()) {
        auto& elements = v.get_ref<Json::array_t&>();
        return elements.empty() ? nullptr : &elements.back();
    }
    auto& members = v.get_ref<Json::object_t&>();
    return members.empty() ? nullptr : &std::prev(members.end())->second;
}

// Drops the last child, which holds no children of its own: destroying it
// allocates nothing.
void drop_last_child(Json& v) {
    if (v.is_array()) {
        v.get_ref<Json::array_t&>().pop_back();
    } else {
        auto& members = v.get_ref<Json::object_t&>();
        members.erase(std::prev(members.end()));
    }
}

// --- writer -------------------------------------------------------------------

class PrettyWriter {
public:
    explicit PrettyWriter(std::string& out) : out_(out) {}

    void value(const Json& v, std::size_t level) {
        switch (v.type()) {
            case Json::value_t::object: {
                const auto& members = v.get_ref<const Json::object_t&>();
                if (members.empty()) {
                    out_ += "{}";
                    return;
                }
                out_ += '{';
                bool first = true;
                for (const auto& [key, member] : members) {
                    out_ += first ? "\n" : ",\n";
                    first = false;
                    indent(level + 1);
                    string(key);
                    out_ += ": ";
                    value(member, level + 1);
                }
                out_ += '\n';
                indent(level);
                out_ += '}';
                return;
            }
            case Json::value_t::array: {
                const auto& elements = v.get_ref<const Json::array_t&>();
                if (elements.empty()) {
                    out_ += "[]";
                    return;
                }
                out_ += '[';
                bool first = true;
                for (const auto& element : elements) {
                    out_ += first ? "\n" : ",\n";
                    first = false;
                    indent(level + 1);
                    value(element, level + 1);
                }
                out_ += '\n';
                indent(level);
                out_ += ']';
                return;
            }
            case Json::value_t::string:
                string(v.get_ref<const Json::string_t&>());
                return;
            case Json::value_t::boolean:
                out_ += v.get<bool>() ? "true" : "false";
                return;
            case Json::value_t::number_unsigned:
                integer(v.get<Json::number_unsigned_t>());
                return;
            case Json::value_t::number_integer:
                integer(v.get<Json::number_integer_t>());
                return;
            case Json::value_t::number_float:
                out_ += format_json_float(v.get<Json::number_float_t>());
                return;
            case Json::value_t::null:
            case Json::value_t::binary:     // never built by this program
            case Json::value_t::discarded:  // likewise
                out_ += "null";
                return;
        }
    }

private:
    void indent(std::size_t level) { out_.append(2 * level, ' '); }

    template <class Int>
    void integer(Int n) {
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
        out_.append(buffer, result.ptr);
    }

    void string(std::string_view text) {
        static constexpr char hex[] = "0123456789abcdef";
        out_ += '"';
        std::size_t run_start = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto c = static_cast<unsigned char>(text[i]);
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            out_.append(text.substr(run_start, i - run_start));
            run_start = i + 1;
            switch (c) {
                case '"': out_ += "\\\""; break;
                case '\\': out_ += "\\\\"; break;
                case '\b': out_ += "\\b"; break;
                case '\t': out_ += "\\t"; break;
                case '\n': out_ += "\\n"; break;
                case '\f': out_ += "\\f"; break;
                case '\r': out_ += "\\r"; break;
                default:
                    out_ += "\\u00";
                    out_ += hex[c >> 4];
                    out_ += hex[c & 0xF];
            }
        }
        out_.append(text.substr(run_start));
        out_ += '"';
    }

    std::string& out_;
};

}  // namespace

// Depth-first from the last child: a childless last child is dropped, a filled
// one is entered; an emptied container is left and dropped by its parent. The
// path of entered containers lives in a fixed array; below its depth the
// outermost entries are forgotten and found again from the root.
void release_json(Json& value) noexcept {
    constexpr std::size_t kPathLength = 256;
    Json* path[kPathLength];
    std::size_t depth = 0;
    while (is_filled_container(value)) {
        if (depth == 0) path[depth++] = &value;
        Json& top = *path[depth - 1];
        Json* const child = last_child(top);
        if (child == nullptr) {
            --depth;
        } else if (is_filled_container(*child)) {
            if (depth == kPathLength) {
                std::copy(path + 1, path + kPathLength, path);
                --depth;
            }
            path[depth++] = child;
        } else {
            drop_last_child(top);
        }
    }
    value = nullptr;
}

// A partial tree left by an error or by running out of memory is released
// without allocating.
Expected<JsonTree, JsonParseError> parse_json(std::string_view text) {
    Reader<Json> reader(text);
    JsonTree value;
    if (!reader.document(*value)) return Unexpected<JsonParseError>(std::move(reader.error()));
    return Expected<JsonTree, JsonParseError>(std::move(value));
}

Expected<void, JsonParseError> check_json(std::string_view text) {
    Reader<NoTree> reader(text);
    NoTree value;
    if (!reader.document(value)) return Unexpected<JsonParseError>(std::move(reader.error()));
    return {};
}

std::string write_pretty_json(const Json& value) {
    std::string out;
    out.reserve(128);
    PrettyWriter(out).value(value, 0);
    return out;
}

std::optional<double> json_number(const Json& value) {
    if (value.is_number_unsigned()) return static_cast<double>(value.get<std::uint64_t>());
    if (value.is_number_integer()) return static_cast<double>(value.get<std::int64_t>());
    if (value.is_number_float()) return value.get<double>();
    return std::nullopt;
}

Json json_float_or_null(double value) {
    if (!std::isfinite(value)) return Json(nullptr);
    return Json(value);  // always a floating-point number, 0.0 included
}

std::string format_json_float(double x) {
    if (!std::isfinite(x)) return "null";
    const ShortestDigits d = shortest_digits(x);
    const int point = d.exponent + 1;  // digits before the decimal point
    if (point > -5 && point <= 16) return positional_text(d);
    // 1e30, 1.234e33, 1.25e-7
    std::string out = d.negative ? "-" : "";
    out += d.digits[0];
    if (d.digits.size() > 1) {
        out += '.';
        out.append(d.digits, 1);
    }
    out += d.exponent < 0 ? "e-" : "e+";
    out += std::to_string(d.exponent < 0 ? -d.exponent : d.exponent);
    return out;
}

}  // namespace velk
