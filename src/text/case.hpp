#pragma once
// The two lower-casings the text forms use. Both apply the full Unicode
// lower-case mapping (one character may become several).

#include <string>
#include <string_view>

namespace zemo::text {

// Each character on its own, without context (match and ASCII forms).
std::string lower_each_char(std::string_view s);
// The whole string with context: final sigma becomes U+03C2 (compilation
// test, fuzzy tokenisers).
std::string lower_full(std::string_view s);

}  // namespace zemo::text
