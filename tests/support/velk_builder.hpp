// A small builder of VELK byte images for unit tests.
//
// The image starts with a 40-byte header ("VELK", version 3, all four section
// ranges zero). Everything is appended at the end: big-endian fields, little-endian
// DATA elements, NUL-terminated strings. Sections are marked with begin()/end(),
// which fill in their range in the header; module records with begin_module() and
// end_module(), which fill in the module length. pos() gives the offset of the next
// byte, so a test can note where a slot lies and point a relocation at it.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velk::test {

enum class Section : unsigned { First = 0, Data = 1, Variables = 2, Code = 3 };

class VelkBuilder {
public:
    VelkBuilder() {
        raw_text("VELK");
        u16(3);
        u16(0);
        for (int i = 0; i < 8; ++i) u32(0);
    }

    std::vector<std::uint8_t> bytes;

    std::uint32_t pos() const { return static_cast<std::uint32_t>(bytes.size()); }

    VelkBuilder& u8(std::uint8_t v) {
        bytes.push_back(v);
        return *this;
    }
    VelkBuilder& u16(std::uint16_t v) {
        u8(static_cast<std::uint8_t>(v >> 8));
        return u8(static_cast<std::uint8_t>(v));
    }
    VelkBuilder& u32(std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) u8(static_cast<std::uint8_t>(v >> s));
        return *this;
    }
    VelkBuilder& i32(std::int32_t v) { return u32(static_cast<std::uint32_t>(v)); }
    VelkBuilder& u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v >> 32));
        return u32(static_cast<std::uint32_t>(v));
    }
    VelkBuilder& f32(float v) { return u32(std::bit_cast<std::uint32_t>(v)); }
    VelkBuilder& f64(double v) { return u64(std::bit_cast<std::uint64_t>(v)); }
    VelkBuilder& le_u32(std::uint32_t v) {
        for (int s = 0; s < 32; s += 8) u8(static_cast<std::uint8_t>(v >> s));
        return *this;
    }
    VelkBuilder& le_f32(float v) { return le_u32(std::bit_cast<std::uint32_t>(v)); }
    VelkBuilder& le_f64(double v) {
        const auto u = std::bit_cast<std::uint64_t>(v);
        le_u32(static_cast<std::uint32_t>(u));
        return le_u32(static_cast<std::uint32_t>(u >> 32));
    }
    VelkBuilder& raw(std::span<const std::uint8_t> b) {
        bytes.insert(bytes.end(), b.begin(), b.end());
        return *this;
    }
    VelkBuilder& raw_text(std::string_view t) {
        for (char c : t) u8(static_cast<std::uint8_t>(c));
        return *this;
    }
    VelkBuilder& zeros(std::size_t n) {
        bytes.insert(bytes.end(), n, 0);
        return *this;
    }

    // Appends `text` and a NUL; returns the text's offset.
    std::uint32_t str(std::string_view text) {
        const std::uint32_t at = pos();
        raw_text(text);
        u8(0);
        return at;
    }

    void patch_u32(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }

    void set_range(Section s, std::uint32_t offset, std::uint32_t length) {
        const std::size_t at = 8 + 8 * static_cast<unsigned>(s);
        patch_u32(at, offset);
        patch_u32(at + 4, length);
    }
    // Marks the start of a section here (length 0 until end()).
    std::uint32_t begin(Section s) {
        starts_[static_cast<unsigned>(s)] = pos();
        set_range(s, pos(), 0);
        return pos();
    }
    void end(Section s) {
        const std::uint32_t start = starts_[static_cast<unsigned>(s)];
        set_range(s, start, pos() - start);
    }

    // A module record header; end_module() sets its length to what followed.
    std::uint32_t begin_module(std::uint32_t name, std::uint32_t settings, std::uint32_t defaults,
                               std::uint32_t lists, std::uint32_t blocks) {
        const std::uint32_t start = pos();
        u32(0).u32(name).u32(settings).u32(defaults).u32(lists).u32(blocks);
        return start;
    }
    void end_module(std::uint32_t start) { patch_u32(start, pos() - start - 4); }

private:
    std::uint32_t starts_[4] = {};
};

}  // namespace velk::test
