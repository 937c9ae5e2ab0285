#pragma once
// The match form assembled from per-character pieces: most non-ASCII names
// (Latin with diacritics, Greek, Cyrillic, CJK, Hangul) are made of
// characters that do not interact with their neighbours under normalisation,
// so their match form is the collapsed concatenation of the match forms of
// their characters, each computed once by the general steps.

#include <string>
#include <string_view>

namespace zemo::text::detail {

// Appends the match form of `s` and returns true when every character of `s`
// has a piece; otherwise returns false and leaves `out` untouched.
bool append_match_form_by_pieces(std::string_view s, std::string& out);

}  // namespace zemo::text::detail
