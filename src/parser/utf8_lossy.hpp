#pragma once
// Decoding of the bytes of a dump value as UTF-8, replacing each maximal
// ill-formed subsequence with one U+FFFD (the same result as Python's
// bytes.decode("utf-8", "replace")).

#include <string>
#include <string_view>

namespace zemo::parser::detail {

bool is_valid_utf8(std::string_view bytes);

// `bytes` itself when it is valid UTF-8 (no copy), otherwise the repaired text.
std::string to_utf8_lossy(std::string&& bytes);

}  // namespace zemo::parser::detail
