#pragma once
// The per-character rewrites of the match form: folds and the format-character
// strip. Both scan first and rewrite only when there is something to change.

#include <string>
#include <string_view>

namespace zemo::text {

// æ -> "ae", œ -> "oe", final sigma -> σ; every other character copied.
std::string apply_folds(std::string_view s);
// In place; returns whether anything changed.
bool apply_folds_in_place(std::string& s);

// Removes every format character (Unicode 8.0.0 Cf) except U+200D ZERO WIDTH
// JOINER; returns whether anything changed.
bool strip_format_chars_in_place(std::string& s);

}  // namespace zemo::text
