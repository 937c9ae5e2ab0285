#pragma once
// String similarity measures: the indel ratio, the token-sort and token-set
// ratios built on it, and Jaro-Winkler. Every measure works on characters
// (Unicode scalar values), returns a double from 0.0 to 1.0, keeps no state
// and is safe to call from several threads at once.

#include <string>
#include <string_view>

namespace zemo::fuzzy {

// 2 * LCS(a, b) / (len(a) + len(b)); 1.0 for two empty strings.
double fuzz_ratio(std::string_view a, std::string_view b);
// The lower-cased white-space tokens of `s`, sorted byte-wise, joined by " ".
std::string sorted_tokens(std::string_view s);
// fuzz_ratio of the two sorted token strings.
double token_sort_ratio(std::string_view a, std::string_view b);
// Best indel ratio among the shared tokens and each side's shared-plus-own tokens.
double token_set_ratio(std::string_view a, std::string_view b);
// Jaro-Winkler; the greedy matching walks `a` and searches `b`.
double jaro_winkler_similarity(std::string_view a, std::string_view b);

}  // namespace zemo::fuzzy
