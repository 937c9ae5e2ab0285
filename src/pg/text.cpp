#include "pg/text.hpp"

#include <cstring>

namespace zemo::pg {

std::string_view to_pg_text_form(std::string_view s, std::string& scratch) {
    const void* nul = std::memchr(s.data(), '\0', s.size());
    if (nul == nullptr) return s;
    // U+0000 is the byte 0x00 in UTF-8 and never part of another character.
    const std::size_t first = static_cast<std::size_t>(static_cast<const char*>(nul) - s.data());
    scratch.resize(s.size() - 1);
    char* w = scratch.data();
    std::memcpy(w, s.data(), first);
    w += first;
    for (std::size_t i = first + 1; i < s.size(); ++i) {
        *w = s[i];
        w += s[i] != '\0';
    }
    scratch.resize(static_cast<std::size_t>(w - scratch.data()));
    return scratch;
}

}  // namespace zemo::pg
