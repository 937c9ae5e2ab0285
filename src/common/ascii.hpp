#pragma once
// ASCII tests and case mapping, the fast paths every subsystem takes before
// it decodes anything.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zemo::ascii {

// Whether every byte is below 0x80. Eight bytes at a time, the last eight
// overlapping the rest, so short names take no byte-by-byte tail.
inline bool is_ascii(std::string_view s) noexcept {
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

constexpr bool is_ascii(unsigned char b) noexcept { return b < 0x80; }

// Character classes of ASCII, for bytes and code points alike: false for
// anything beyond ASCII (UTF-8 bytes, a char below zero, other code points).
template <typename C>
constexpr bool is_digit(C c) noexcept {
    return c >= '0' && c <= '9';
}

template <typename C>
constexpr bool is_alpha(C c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

template <typename C>
constexpr bool is_alnum(C c) noexcept {
    return is_digit(c) || is_alpha(c);
}

template <typename C>
constexpr bool is_hex_digit(C c) noexcept {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A-Z to a-z; every other byte, UTF-8 ones included, unchanged.
constexpr char lower(char ch) noexcept { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 0x20) : ch; }

constexpr char upper(char ch) noexcept { return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 0x20) : ch; }

inline void lower_in_place(std::string& s) noexcept {
    for (char& ch : s) ch = lower(ch);
}

inline std::string lowered(std::string_view s) {
    std::string out(s);
    lower_in_place(out);
    return out;
}

}  // namespace zemo::ascii
