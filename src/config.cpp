// The channel configuration file: a TOML document whose `channels` table maps
// channel names to their sample rate, optional sample count and IIR switch.
//
// toml++ does the TOML itself; this file shapes the parsed document into Config.
// Shaping walks each table in document order and stops at the first failure, so
// the reported error is always the first fault a reader of the file would meet.
// Positions come from toml++ as 1-based line and code-point column; errors carry
// the byte range they concern and, mapped back from its start, the line, column
// and line text that their printed forms show.

#include "config.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include <toml++/toml.h>

#include "input_file.hpp"
#include "text.hpp"

namespace velk {
namespace {

using Span = std::pair<std::size_t, std::size_t>;

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Where line 1 column 1 is: toml++ skips a leading byte order mark and does not
// count it as a column.
std::size_t content_start(std::string_view doc) { return doc.starts_with(kBom) ? kBom.size() : 0; }

// The byte offset of a toml++ position. Lines end at '\n' only; columns count
// code points. Positions past the end of their line or of the document are
// clamped, so a bad position never leads outside the text.
std::size_t offset_of(std::string_view doc, const toml::source_position& pos) {
    std::size_t i = content_start(doc);
    for (std::uint64_t line = 1; line < pos.line; ++line) {
        const std::size_t nl = doc.find('\n', i);
        if (nl == std::string_view::npos) return doc.size();
        i = nl + 1;
    }
    for (std::uint64_t col = 1; col < pos.column && i < doc.size() && doc[i] != '\n'; ++col) {
        ++i;
        while (i < doc.size() && is_continuation(doc[i])) ++i;
    }
    return i;
}

struct Location {
    std::size_t line = 1;
    std::size_t column = 1;
    std::string_view line_text;  // without its line end
    std::size_t offset_in_line = 0;
};

// The inverse of offset_of: 1-based line and code-point column of a byte offset,
// with the text of that line.
Location locate(std::string_view doc, std::size_t offset) {
    const std::size_t start = content_start(doc);
    offset = std::clamp(offset, start, doc.size());
    Location loc;
    std::size_t line_start = start;
    for (std::size_t i = start; i < offset; ++i) {
        if (doc[i] == '\n') {
            ++loc.line;
            line_start = i + 1;
        }
    }
    for (std::size_t i = line_start; i < offset; ++i) {
        if (!is_continuation(doc[i])) ++loc.column;
    }
    std::size_t line_end = doc.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = doc.size();
    if (line_end > line_start && doc[line_end - 1] == '\r') --line_end;
    loc.line_text = doc.substr(line_start, line_end - line_start);
    loc.offset_in_line = std::min(offset - line_start, loc.line_text.size());
    return loc;
}

// At most this many bytes of the offending line are shown; longer lines are cut
// to a window around the position.
constexpr std::size_t kShownLineBytes = 160;

std::string shown_line(const Location& loc) {
    std::string_view text = loc.line_text;
    if (text.size() <= kShownLineBytes) return std::string(text);
    std::size_t begin = loc.offset_in_line > kShownLineBytes / 2 ? loc.offset_in_line - kShownLineBytes / 2 : 0;
    std::size_t end = std::min(text.size(), begin + kShownLineBytes);
    while (begin > 0 && is_continuation(text[begin])) --begin;
    while (end < text.size() && is_continuation(text[end])) ++end;
    std::string out = begin > 0 ? "..." : "";
    out += text.substr(begin, end - begin);
    if (end < text.size()) out += "...";
    return out;
}

// ---- shaping ---------------------------------------------------------------

// A shaping failure on its way out: keys are collected innermost first and
// reversed once at the top.
struct ShapeError {
    std::string message;
    std::vector<std::string> keys_inner_first;
    std::optional<Span> span;
};

bool is_date_time(const toml::node& n) { return n.is_date() || n.is_time() || n.is_date_time(); }

// A float as the messages show it: positional with the shortest round-trip
// digits (positional_text), inf, -inf and NaN for the special values.
std::string float_text(double x) {
    if (std::isnan(x)) return "NaN";
    if (std::isinf(x)) return x < 0 ? "-inf" : "inf";
    return positional_text(shortest_digits(x));
}

std::string date_time_text(const toml::node& n) {
    std::ostringstream os;
    if (const auto* d = n.as_date()) os << d->get();
    else if (const auto* t = n.as_time()) os << t->get();
    else if (const auto* dt = n.as_date_time()) os << dt->get();
    return os.str();
}

// How a value is named in "invalid type" and "invalid value" messages.
std::string describe(const toml::node& n) {
    switch (n.type()) {
        case toml::node_type::integer:
            return "integer `" + std::to_string(n.as_integer()->get()) + "`";
        case toml::node_type::floating_point:
            return "floating point `" + float_text(n.as_floating_point()->get()) + "`";
        case toml::node_type::boolean:
            return std::string("boolean `") + (n.as_boolean()->get() ? "true" : "false") + "`";
        case toml::node_type::string:
            return "string " + debug_quote(n.as_string()->get());
        case toml::node_type::array:
            return "sequence";
        default:  // tables and date-times
            return "map";
    }
}

// Shapes the parsed document. Each step returns its value or nothing; on
// nothing, `error()` holds the failure, completed with keys and position as it
// travels out.
class Shaper {
public:
    explicit Shaper(std::string_view doc) : doc_(doc) {}

    const ShapeError& error() const { return error_; }

    std::optional<Config> root(const toml::table& table) {
        Config config;
        bool seen = false;
        for (const auto& [key, value] : in_document_order(table)) {
            if (key->str() != "channels") continue;
            auto channels = channel_map(*value);
            if (!channels) return inside(*key, *value);
            config.channels = std::move(*channels);
            seen = true;
        }
        if (!seen) return fail("missing field `channels`");
        return config;
    }

private:
    using Entry = std::pair<const toml::key*, const toml::node*>;

    // toml++ keeps a table's entries sorted by key; the document order is the
    // order of the keys' positions (a key's position is where it first appeared).
    static std::vector<Entry> in_document_order(const toml::table& table) {
        std::vector<Entry> entries;
        entries.reserve(table.size());
        for (const auto& [key, value] : table) entries.emplace_back(&key, &value);
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            const auto& pa = a.first->source().begin;
            const auto& pb = b.first->source().begin;
            return pa.line != pb.line ? pa.line < pb.line : pa.column < pb.column;
        });
        return entries;
    }

    std::optional<Span> span_of(const toml::node& value, const toml::key* key) const {
        const toml::source_region* region = &value.source();
        if (!region->begin && key) region = &key->source();
        if (!region->begin) return std::nullopt;
        const std::size_t begin = offset_of(doc_, region->begin);
        const std::size_t end = region->end ? std::max(begin, offset_of(doc_, region->end)) : begin;
        return Span{begin, end};
    }

    std::nullopt_t fail(std::string message) {
        error_ = ShapeError{std::move(message), {}, {}};
        return std::nullopt;
    }

    // On the way out of a table entry: the key goes in front of the path, and the
    // error takes the value's position unless a deeper level already gave one.
    std::nullopt_t inside(const toml::key& key, const toml::node& value) {
        error_.keys_inner_first.emplace_back(key.str());
        if (!error_.span) error_.span = span_of(value, &key);
        return std::nullopt;
    }

    // The same for an array element, which has no key.
    std::nullopt_t at(const toml::node& value) {
        if (!error_.span) error_.span = span_of(value, nullptr);
        return std::nullopt;
    }

    std::optional<std::unordered_map<std::string, ChannelConfig>> channel_map(const toml::node& value) {
        const toml::table* table = value.as_table();
        if (!table) {
            if (is_date_time(value))
                return fail("invalid type: date-time `" + date_time_text(value) + "`, expected a map");
            return fail("invalid type: " + describe(value) + ", expected a map");
        }
        std::unordered_map<std::string, ChannelConfig> channels;
        for (const auto& [key, entry] : in_document_order(*table)) {
            auto channel = channel_config(*entry);
            if (!channel) return inside(*key, *entry);
            channels.emplace(std::string(key->str()), *channel);
        }
        return channels;
    }

    std::optional<ChannelConfig> channel_config(const toml::node& value) {
        if (const toml::table* table = value.as_table()) return table_form(*table);
        if (const toml::array* array = value.as_array()) return array_form(*array);
        if (is_date_time(value))
            return fail("invalid type: date-time `" + date_time_text(value) + "`, expected struct ChannelConfig");
        return fail("invalid type: " + describe(value) + ", expected struct ChannelConfig");
    }

    // Keys other than the three fields are skipped without looking at their values.
    // (A field cannot be seen twice: the keys of a TOML table are unique.)
    std::optional<ChannelConfig> table_form(const toml::table& table) {
        ChannelConfig config;
        bool have_rate = false;
        for (const auto& [key, value] : in_document_order(table)) {
            const std::string_view name = key->str();
            if (name == "sample_rate") {
                auto rate = unsigned_field(*value, "u64");
                if (!rate) return inside(*key, *value);
                config.sample_rate = *rate;
                have_rate = true;
            } else if (name == "sample_count") {
                auto count = unsigned_field(*value, "usize");
                if (!count) return inside(*key, *value);
                config.sample_count = *count;
            } else if (name == "enable_iir") {
                auto iir = boolean_field(*value);
                if (!iir) return inside(*key, *value);
                config.enable_iir = *iir;
            }
        }
        if (!have_rate) return fail("missing field `sample_rate`");
        return config;
    }

    // [sample_rate, sample_count, enable_iir?, ignored...]
    std::optional<ChannelConfig> array_form(const toml::array& array) {
        const std::string expected = ", expected struct ChannelConfig with 3 elements";
        ChannelConfig config;
        if (array.empty()) return fail("invalid length 0" + expected);
        auto rate = unsigned_field(array[0], "u64");
        if (!rate) return at(array[0]);
        config.sample_rate = *rate;
        if (array.size() < 2) return fail("invalid length 1" + expected);
        auto count = unsigned_field(array[1], "usize");
        if (!count) return at(array[1]);
        config.sample_count = *count;
        if (array.size() >= 3) {
            auto iir = boolean_field(array[2]);
            if (!iir) return at(array[2]);
            config.enable_iir = *iir;
        }
        return config;
    }

    // A TOML integer of 0 or more; `expected` names the field's type.
    std::optional<std::uint64_t> unsigned_field(const toml::node& value, std::string_view expected) {
        if (const auto* integer = value.as_integer()) {
            const std::int64_t v = integer->get();
            if (v < 0) return fail("invalid value: " + describe(value) + ", expected " + std::string(expected));
            return static_cast<std::uint64_t>(v);
        }
        return fail("invalid type: " + describe(value) + ", expected " + std::string(expected));
    }

    std::optional<bool> boolean_field(const toml::node& value) {
        if (const auto* boolean = value.as_boolean()) return boolean->get();
        return fail("invalid type: " + describe(value) + ", expected a boolean");
    }

    std::string_view doc_;
    ShapeError error_;
};

}  // namespace

Expected<Config, TomlError> parse_config(std::string_view text) {
    auto error = [&](std::string message, std::vector<std::string> keys, std::optional<Span> span) {
        std::optional<TomlError::Position> position;
        if (span) {
            const Location loc = locate(text, span->first);
            position = TomlError::Position{loc.line, loc.column, shown_line(loc)};
        }
        return Unexpected(TomlError{std::move(message), std::move(keys), span, std::move(position)});
    };
    return unless_out_of_memory(
        [&]() -> Expected<Config, TomlError> {
            toml::table root;
            try {
                root = toml::parse(text);
            } catch (const toml::parse_error& e) {
                std::optional<Span> span;
                if (e.source().begin) {
                    const std::size_t begin = offset_of(text, e.source().begin);
                    std::size_t end = begin;
                    if (end < text.size()) {
                        ++end;
                        while (end < text.size() && is_continuation(text[end])) ++end;
                    }
                    span = Span{begin, end};
                }
                return error(std::string(e.description()), {}, span);
            }
            Shaper shaper(text);
            auto config = shaper.root(root);
            if (!config) {
                ShapeError e = shaper.error();
                std::reverse(e.keys_inner_first.begin(), e.keys_inner_first.end());
                return error(std::move(e.message), std::move(e.keys_inner_first), e.span);
            }
            return std::move(*config);
        },
        [&] { return error("out of memory", {}, std::nullopt); });
}

Expected<Config, RunError> load_config(const std::filesystem::path& path) {
    auto bytes = read_input_file(path, kMaxConfigFileBytes);
    if (!bytes) return Unexpected(RunError(std::move(bytes.error())));
    if (!is_valid_utf8(*bytes))
        return Unexpected(RunError(IoError::invalid_utf8().with_path(path)));
    auto config = parse_config(*bytes);
    if (!config) return Unexpected(RunError(std::move(config.error())));
    return std::move(*config);
}

}  // namespace velk
