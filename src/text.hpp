// Text helpers shared by the reader, the driver and the error forms.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velk {

// Bytes decoded as UTF-8, each invalid sequence replaced by U+FFFD (one per
// maximal invalid subpart, as the Unicode standard recommends).
std::string utf8_lossy(std::string_view bytes);

// Whether the bytes are valid UTF-8.
bool is_valid_utf8(std::string_view bytes);

// The debug form of a text: enclosed in double quotes, with \" \\ \t \r \n \0
// escapes and \u{hex} for other control, non-printable and grapheme-extending
// characters; every other character unchanged. Invalid UTF-8 shows as U+FFFD.
std::string debug_quote(std::string_view text);

// A path as text for messages, invalid sequences replaced by U+FFFD.
std::string path_text(const std::filesystem::path& path);

// The shortest decimal digits that read back to a finite `x` (std::to_chars):
// its sign, the digits without a point, and the power of ten of the first digit.
struct ShortestDigits {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};
ShortestDigits shortest_digits(double x);

// The digits in positional notation, with ".0" when the value is whole: 1e300 is
// a 1, 300 zeros and ".0"; 0.00125 and -0.0 are themselves.
std::string positional_text(const ShortestDigits& d);

}  // namespace velk
