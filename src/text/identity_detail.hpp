#pragma once
// Helpers shared by the identity forms, the compilation test and the artist
// split, and the plain reference paths the fast paths are tested against.

#include <cstddef>
#include <string>
#include <string_view>

namespace zemo::text::detail {

inline bool is_all_ascii(std::string_view s) noexcept {
    for (unsigned char c : s) {
        if (c >= 0x80) return false;
    }
    return true;
}

inline char ascii_lower(char c) noexcept { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

inline bool is_ascii_alnum(char32_t c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The code point starting at byte `i` of `s`; advances `i` past it. A
// malformed or truncated sequence yields U+FFFD and advances one byte, so
// callers walking arbitrary bytes always make progress.
char32_t next_code_point(std::string_view s, std::size_t& i) noexcept;

// Unicode White_Space.
bool is_white_space(char32_t c) noexcept;

// `s` without White_Space at either end.
std::string_view trim_white_space(std::string_view s) noexcept;

// The match form of ASCII text: ASCII lower-case, runs of U+0020 collapsed,
// U+0020 trimmed at both ends. Only valid when `s` is all ASCII.
std::string ascii_match_form(std::string_view s);

// The match form, through the ASCII path when `s` allows it.
std::string match_form(std::string_view s);

// `drop_articles` as a view into `s`.
std::string_view drop_article_view(std::string_view s) noexcept;

// The identity forms computed step by step through the general match form,
// whatever the input; the fast paths must agree with these.
std::string identity_baseline_reference(std::string_view s);
std::string with_punctuation_reference(std::string_view s);
bool is_compilation_artist_reference(std::string_view name);

}  // namespace zemo::text::detail
