#pragma once
// Unicode normal forms over UTF-8 through ICU's UTF-8 entry points. Each call
// first runs the normaliser's check and copies only when `s` is not already
// in the form.

#include <string>
#include <string_view>

namespace zemo::text {

enum class NormalForm { NFC, NFD, NFKC };

bool is_normalized(std::string_view s, NormalForm form);
// `s` in `form`; `s` itself (copied once) when it is already.
std::string normalize(std::string_view s, NormalForm form);
// Normalises `s` in place; no copy when it is already in `form`.
void normalize_in_place(std::string& s, NormalForm form);

}  // namespace zemo::text
