#pragma once
// Storage, match and ASCII forms of free text. Every function takes UTF-8 and
// returns a new UTF-8 string; none fails on valid text.

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

}  // namespace zemo::text
