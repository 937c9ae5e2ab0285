#pragma once
// Repair of UTF-8 text that was read once as Windows-1252. fix_mojibake
// itself is declared in forms.hpp.

#include <optional>
#include <string_view>

namespace zemo::text {

// Whether `s` holds one of the characters that UTF-8 lead bytes of Latin,
// Greek, Cyrillic, Arabic and U+2000-U+2FFF become when read as Windows-1252.
bool has_mojibake_trigger(std::string_view s);

// The Windows-1252 byte of `c`, or nothing (C1 controls, the five unassigned
// bytes and everything outside the code page).
std::optional<unsigned char> cp1252_byte(char32_t c);

}  // namespace zemo::text
