// Arbitrary bytes through the whole bytecode reader: every input must end in a
// module map or a message, never in a crash, an out-of-bounds read or an
// allocation beyond what the input can justify.
#include <cstddef>
#include <cstdint>
#include <span>

#include "binary.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    auto file = velk::parse_sections(bytes);
    if (!file) return 0;
    auto modules = velk::parse_modules(*file);
    (void)modules;
    return 0;
}
