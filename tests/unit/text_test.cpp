#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "run_error.hpp"
#include "text.hpp"

namespace velk {
namespace {

struct QuoteCase {
    const char* text;
    const char* quoted;
};

TEST(DebugQuote, EscapesAsTheErrorLineShowsThem) {
    const QuoteCase cases[] = {
        {"File too small", "\"File too small\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"back\\slash", "\"back\\\\slash\""},
        {"line\nfeed", "\"line\\nfeed\""},
        {"tab\tcr\rnul", "\"tab\\tcr\\rnul\""},
        {"caf\xC3\xA9", "\"caf\xC3\xA9\""},                 // é unescaped
        {"e\xCC\x81", "\"e\\u{301}\""},                     // combining acute accent
        {"\x01start", "\"\\u{1}start\""},                   // control character
        {"\x7f", "\"\\u{7f}\""},                            // DEL
        {"it's", "\"it's\""},                               // single quote stays
        {"nb\xC2\xA0sp", "\"nb\\u{a0}sp\""},               // no-break space
        {"zw\xE2\x80\x8Bsp", "\"zw\\u{200b}sp\""},         // zero-width space (Cf)
        {"\xE4\xB8\xAD\xE6\x96\x87", "\"\xE4\xB8\xAD\xE6\x96\x87\""},  // CJK letters
        {"bad\xFFutf8", "\"bad\xEF\xBF\xBDutf8\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(debug_quote(std::string_view(c.text, std::strlen(c.text))), c.quoted) << c.text;
    }
    EXPECT_EQ(debug_quote(std::string_view("a\0b", 3)), "\"a\\0b\"");
}

struct LossyCase {
    std::string bytes;
    std::string text;
};

TEST(Utf8Lossy, ReplacesEachMaximalInvalidSubpart) {
    const std::string r = "\xEF\xBF\xBD";
    const LossyCase cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xFF", r},
        {"\xC3", r},                        // truncated two-byte sequence
        {"\xE2\x82", r},                    // truncated three-byte sequence: one subpart
        {"\xE2\x82x", r + "x"},
        {"\xF0\x9F\x98", r},                // truncated four-byte sequence
        {"\xED\xA0\x80", r + r + r},        // surrogate: each byte on its own
        {"\xC0\xAF", r + r},                // overlong
        {"\xF4\x90\x80\x80", r + r + r + r},  // beyond U+10FFFF
        {"a\x80\x80" "b", "a" + r + r + "b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_lossy(c.bytes), c.text);
        EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.text);
    }
}

TEST(RunErrorForms, IoAndMessage) {
    const RunError missing(IoError::from_errno(ENOENT));
    EXPECT_EQ(missing.kind(), RunError::Kind::Io);
    EXPECT_EQ(missing.display(), "No such file or directory (os error 2)");
    EXPECT_EQ(missing.debug(),
              "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");

    const RunError utf8(IoError::invalid_utf8());
    EXPECT_EQ(utf8.display(), "stream did not contain valid UTF-8");
    EXPECT_EQ(utf8.debug(),
              "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\" }");

    // A known path is the last field of the debug form and no part of the display.
    IoError named = IoError::from_errno(ENOENT);
    named.path = "dir/prog \"1\".velk";
    EXPECT_EQ(RunError(named).debug(),
              "Os { code: 2, kind: NotFound, message: \"No such file or directory\", "
              "path: \"dir/prog \\\"1\\\".velk\" }");
    EXPECT_EQ(RunError(named).display(), "No such file or directory (os error 2)");
    IoError custom = IoError::invalid_utf8();
    custom.path = "c.toml";
    EXPECT_EQ(RunError(custom).debug(),
              "Custom { kind: InvalidData, error: \"stream did not contain valid UTF-8\", "
              "path: \"c.toml\" }");

    const RunError message = RunError::message("Unsupported version: 2");
    EXPECT_EQ(message.kind(), RunError::Kind::Message);
    EXPECT_EQ(message.display(), "Unsupported version: 2");
    EXPECT_EQ(message.debug(), "\"Unsupported version: 2\"");
}

}  // namespace
}  // namespace velk
