#pragma once
// Character-level helpers shared by the measures and the library index: the
// tokeniser and the character buckets; decoding and the width choice come
// from the common layer.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/ascii.hpp"
#include "common/utf8.hpp"
#include "text/white_space.hpp"

namespace zemo::fuzzy::detail {

// The common layer's names, as the measures and the index spell them.
using utf8::CharSpan;
using utf8::visit;
using utf8::char_count;
using utf8::decode_append;
using utf8::decode_latin1;
using ascii::is_ascii;

// Decodes one character at s[i] and advances i; malformed bytes stand alone.
inline char32_t next_char(std::string_view s, std::size_t& i) noexcept { return utf8::decode(s, i); }

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

// Names are compared on their first kComparedChars characters: the measures
// cost the product of two lengths, and a query no longer than this keeps
// the work of a release (or a name) linear in the library (or catalogue).
inline constexpr std::size_t kComparedChars = 4096;

// The prefix of `s` of at most kComparedChars characters.
inline std::string_view compared_prefix(std::string_view s) noexcept {
    if (s.size() <= kComparedChars) return s;
    std::size_t i = 0;
    for (std::size_t chars = 0; i < s.size() && chars < kComparedChars; ++chars) utf8::decode(s, i);
    return s.substr(0, i);
}

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

template <typename Fn>
void for_each_piece(std::string_view s, Fn&& fn) {
    std::size_t i = 0;
    std::size_t start = std::string_view::npos;
    while (i < s.size()) {
        const std::size_t at = i;
        const auto b = static_cast<unsigned char>(s[i]);
        bool space;
        if (ascii::is_ascii(b)) {
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
