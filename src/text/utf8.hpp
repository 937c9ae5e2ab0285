#pragma once
// Small UTF-8 helpers shared by the text forms. Inputs are valid UTF-8 (the
// binding layer encodes strictly, ICU writes valid UTF-8); decoding still
// never reads past the end of a truncated sequence.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zemo::text::utf8 {

// Decodes the character starting at s[i] and advances i past it.
inline char32_t decode(std::string_view s, std::size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    const std::size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : 2;
    if (i + len > s.size()) {
        i = s.size();
        return 0xFFFD;
    }
    char32_t c = b0 & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (std::size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += len;
    return c;
}

inline void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

constexpr char ascii_lower(char ch) {
    return static_cast<char>(ch + ((static_cast<unsigned char>(ch - 'A') < 26) ? 0x20 : 0));
}

// Whether every byte is below 0x80. Eight bytes at a time, the last eight
// overlapping the rest, so short names take no byte-by-byte tail.
inline bool is_ascii(std::string_view s) {
    const char* p = s.data();
    const std::size_t n = s.size();
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    auto load8 = [](const char* q) {
        std::uint64_t w;
        std::memcpy(&w, q, 8);
        return w;
    };
    if (n >= 8) {
        std::uint64_t acc = load8(p + n - 8);
        for (std::size_t i = 0; i + 8 <= n; i += 8) acc |= load8(p + i);
        return (acc & kHigh) == 0;
    }
    std::uint32_t acc = 0;
    if (n >= 4) {
        std::uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        acc = a | b;
    } else {
        for (std::size_t i = 0; i < n; ++i) acc |= static_cast<unsigned char>(p[i]);
    }
    return (acc & 0x80808080u) == 0;
}

// Strict well-formedness: no stray continuation byte, no truncated sequence,
// no overlong form, no surrogate, nothing above U+10FFFF.
inline bool is_valid(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            len = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            len = 3;
            if (b0 == 0xE0) lo = 0xA0;
            if (b0 == 0xED) hi = 0x9F;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            len = 4;
            if (b0 == 0xF0) lo = 0x90;
            if (b0 == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (i + len > n) return false;
        const auto b1 = static_cast<unsigned char>(s[i + 1]);
        if (b1 < lo || b1 > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace zemo::text::utf8
