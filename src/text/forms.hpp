#pragma once
// Storage, match and ASCII forms of free text. Every function takes UTF-8 and
// returns a new UTF-8 string; none fails on valid text.

#include <cstddef>
#include <string>
#include <string_view>

namespace zemo::text {

// Undoes one pass of UTF-8 read as Windows-1252, or returns `s` unchanged.
std::string fix_mojibake(std::string_view s);
// Mojibake fix, NFC, U+0020 trimmed at both ends.
std::string to_storage_form(std::string_view s);
// Every run of U+0020 reduced to one, U+0020 removed at both ends.
std::string collapse_and_trim_ascii_space(std::string_view s);
// The form on which names and titles are compared.
std::string to_match_form(std::string_view s);
// The transliterated ASCII form.
std::string to_ascii_form(std::string_view s);

// The same forms appended to `out`, for callers that pack many results into
// one buffer.
void append_storage_form(std::string_view s, std::string& out);
void append_match_form(std::string_view s, std::string& out);
void append_ascii_form(std::string_view s, std::string& out);

namespace detail {

// The general paths behind the forms. The forms take ASCII shortcuts, which
// must agree with these on every input.
std::string storage_form_general(std::string_view s);
std::string match_form_general(std::string_view s);
// Steps 2 to 6 of the match form run one after another (no final collapse).
std::string match_core(std::string t);
std::string ascii_form_of_match_form(std::string_view match_form);
void append_ascii_form_of_match_form(std::string_view match_form, std::string& out);
// The match form of ASCII text appended to `out`; false (and `out` untouched)
// when `s` is not ASCII.
bool append_ascii_match_form(std::string_view s, std::string& out);
// The same written at `w`, which has room for s.size() bytes: its length, or
// kNotAscii (the bytes at `w` then undefined).
constexpr std::size_t kNotAscii = static_cast<std::size_t>(-1);
std::size_t write_ascii_match_form(std::string_view s, char* w);
// The match and ASCII forms of text that is not ASCII, appended to `out`.
void append_match_form_of_non_ascii(std::string_view s, std::string& out);
void append_ascii_form_of_non_ascii(std::string_view s, std::string& out);
// Appends `s` with U+0020 runs collapsed and trimmed and ASCII letters
// lower-cased.
void append_collapsed_lower_ascii(std::string_view s, std::string& out);

}  // namespace detail

}  // namespace zemo::text
