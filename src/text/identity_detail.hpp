#pragma once
// Helpers shared by the identity forms, the compilation test and the artist
// split, and the plain step-by-step paths the fast paths are tested against.

#include <string>
#include <string_view>

#include "text/white_space.hpp"

namespace zemo::text::detail {

using text::is_white_space;

// `s` without White_Space at either end.
std::string_view trim_white_space(std::string_view s) noexcept;

// `drop_articles` as a view into `s`.
std::string_view drop_article_view(std::string_view s) noexcept;

// The forms computed literally, step by step, through the general match form
// and the whole-string lower-casing, whatever the input.
std::string identity_baseline_reference(std::string_view s);
std::string with_punctuation_reference(std::string_view s);
bool is_compilation_artist_reference(std::string_view name);

}  // namespace zemo::text::detail
