#pragma once
// Values quoted for error messages, so that a stray space, control character
// or invisible character in a setting shows up in the message.

#include <string>
#include <string_view>

namespace zemo::state {

// `s` between double quotes: '"' and '\' escaped with a backslash; TAB, CR,
// LF and NUL as \t, \r, \n and \0; other non-printable characters (controls,
// format characters, separators other than U+0020, surrogates, private-use and
// unassigned code points) as \u{hex}; printable text unchanged. Bytes that are
// not UTF-8 show as U+FFFD, one per maximal ill-formed subsequence.
std::string quoted_literal(std::string_view s);

}  // namespace zemo::state
