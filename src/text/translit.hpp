#pragma once
// ASCII transliteration of single characters, from the generated table.

#include <optional>
#include <string>
#include <string_view>

namespace zemo::text {

// The ASCII spelling of `c` (possibly empty or holding spaces), or nothing
// when the table has no entry. ASCII characters are not looked up here.
std::optional<std::string_view> transliterate_char(char32_t c);

// Appends `s` to `out` with every non-ASCII character replaced by its
// transliteration, or by `placeholder` when it has none. `s` is valid UTF-8.
void append_transliterated(std::string_view s, std::string_view placeholder, std::string& out);

}  // namespace zemo::text
