#include "fuzzy/chars.hpp"

#include <cstring>

#include "text/case.hpp"

namespace zemo::fuzzy::detail {

bool is_ascii(std::string_view s) noexcept {
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        if (w & 0x8080808080808080ULL) return false;
        p += 8;
        n -= 8;
    }
    for (; n > 0; --n, ++p)
        if (static_cast<unsigned char>(*p) >= 0x80) return false;
    return true;
}

std::size_t char_count(std::string_view s) noexcept {
    std::size_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

void decode_append(std::string_view s, std::vector<char32_t>& out) {
    std::size_t i = 0;
    while (i < s.size()) out.push_back(next_char(s, i));
}

bool decode_latin1(std::string_view s, std::vector<unsigned char>& out) {
    out.resize(s.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out[n++] = b;
            ++i;
            continue;
        }
        const char32_t c = next_char(s, i);
        if (c >= 256) return false;
        out[n++] = static_cast<unsigned char>(c);
    }
    out.resize(n);
    return true;
}


std::string lower_token(std::string_view piece) {
    if (!is_ascii(piece)) return text::lower_full(piece);
    std::string out(piece);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    return out;
}

std::vector<std::string> tokens(std::string_view s) {
    std::vector<std::string> out;
    for_each_piece(s, [&](std::string_view piece) { out.push_back(lower_token(piece)); });
    return out;
}

}  // namespace zemo::fuzzy::detail
