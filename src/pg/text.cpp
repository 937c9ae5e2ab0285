#include "pg/text.hpp"

#include <cstring>

namespace zemo::pg {

std::string_view to_pg_text_form(std::string_view s, std::string& scratch) {
    const void* nul = std::memchr(s.data(), '\0', s.size());
    if (nul == nullptr) return s;
    // U+0000 is the byte 0x00 in UTF-8 and never part of another character.
    const std::size_t first = static_cast<std::size_t>(static_cast<const char*>(nul) - s.data());
    scratch.assign(s.data(), first);
    for (std::size_t i = first + 1; i < s.size(); ++i) {
        if (s[i] != '\0') scratch.push_back(s[i]);
    }
    return scratch;
}

}  // namespace zemo::pg
