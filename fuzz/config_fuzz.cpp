// Arbitrary bytes through the configuration reader: whatever the input, it must
// end in a Config or a TomlError whose printed forms can be built.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config.hpp"
#include "text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // load_config rejects text that is not UTF-8 before parsing it.
    if (!velk::is_valid_utf8(text)) return 0;
    auto config = velk::parse_config(text);
    if (!config) {
        const velk::TomlError& e = config.error();
        if (e.span && (e.span->first > e.span->second || e.span->second > text.size()))
            __builtin_trap();
        if (e.span.has_value() != e.position.has_value()) __builtin_trap();
        (void)e.display();
        (void)e.debug();
    }
    return 0;
}
