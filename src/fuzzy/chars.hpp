#pragma once
// Character-level helpers shared by the measures and the library index:
// UTF-8 decoding, the ASCII test that selects the byte-wise fast paths, and
// the white-space tokeniser.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/white_space.hpp"

namespace zemo::fuzzy::detail {

bool is_ascii(std::string_view s) noexcept;

// The characters of a string as the kernels take them: the bytes themselves
// when the string is ASCII, decoded code points otherwise.
struct CharSpan {
    const unsigned char* narrow = nullptr;
    const char32_t* wide = nullptr;
    std::size_t size = 0;
};

// Calls fn(chars, size) with the narrow or the wide array.
template <typename Fn>
auto visit(const CharSpan& s, Fn&& fn) {
    return s.wide != nullptr ? fn(s.wide, s.size) : fn(s.narrow, s.size);
}

// Calls fn(a_chars, a_size, b_chars, b_size) for a pair of spans.
template <typename Fn>
auto visit(const CharSpan& a, const CharSpan& b, Fn&& fn) {
    return visit(a, [&](const auto* x, std::size_t n) {
        return visit(b, [&](const auto* y, std::size_t m) { return fn(x, n, y, m); });
    });
}

// Number of characters in valid UTF-8 (continuation bytes are not counted).
std::size_t char_count(std::string_view s) noexcept;

// Appends the characters of `s`; a malformed byte stands for itself.
void decode_append(std::string_view s, std::vector<char32_t>& out);

// One byte per character when every character is below U+0100 (so equal
// bytes mean equal characters); false, with `out` unspecified, otherwise.
bool decode_latin1(std::string_view s, std::vector<unsigned char>& out);

inline void decode(std::string_view s, std::vector<char32_t>& out) {
    out.clear();
    decode_append(s, out);
}

using text::is_white_space;

// The full lower-case mapping of one token (final sigma judged within it).
std::string lower_token(std::string_view piece);

// Calls fn(piece) for each maximal run of non-white-space characters.
template <typename Fn>
void for_each_piece(std::string_view s, Fn&& fn);

// The lower-cased tokens of `s` in input order, duplicates kept.
std::vector<std::string> tokens(std::string_view s);

// Characters by coarse bucket: equal characters share a bucket, so for two
// strings the sum over buckets of the smaller count bounds from above both
// their LCS and the matches Jaro can find.
inline constexpr std::size_t kBuckets = 32;
inline constexpr std::size_t kSpaceBucket = 27;

inline std::size_t bucket(char32_t c) noexcept {
    if (c >= 'a' && c <= 'z') return c - 'a';
    if (c >= '0' && c <= '9') return 26;
    if (c == ' ') return kSpaceBucket;
    if (c == '|') return 28;
    return 29 + c % 3;
}

// Decodes one character at s[i] and advances i; malformed bytes stand alone.
inline char32_t next_char(std::string_view s, std::size_t& i) noexcept {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    std::size_t len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 1;
    if (len == 1 || i + len > s.size()) {
        ++i;
        return b0;
    }
    char32_t c = b0 & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return b0;
        }
        c = (c << 6) | (b & 0x3F);
    }
    i += len;
    return c;
}

template <typename Fn>
void for_each_piece(std::string_view s, Fn&& fn) {
    std::size_t i = 0;
    std::size_t start = std::string_view::npos;
    while (i < s.size()) {
        const std::size_t at = i;
        const auto b = static_cast<unsigned char>(s[i]);
        bool space;
        if (b < 0x80) {
            space = b == 0x20 || (b >= 0x09 && b <= 0x0D);
            ++i;
        } else {
            space = is_white_space(next_char(s, i));
        }
        if (space) {
            if (start != std::string_view::npos) fn(s.substr(start, at - start));
            start = std::string_view::npos;
        } else if (start == std::string_view::npos) {
            start = at;
        }
    }
    if (start != std::string_view::npos) fn(s.substr(start));
}

}  // namespace zemo::fuzzy::detail
