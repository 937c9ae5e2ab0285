#include "text/folds.hpp"

#include "common/utf8.hpp"
#include "text/unicode8.hpp"

namespace zemo::text {

namespace detail {

// UTF-8 of the three folded characters: æ C3 A6, œ C5 93, ς CF 82.
inline bool is_fold_at(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (i + 1 >= s.size()) return false;
    const auto b1 = static_cast<unsigned char>(s[i + 1]);
    return (b0 == 0xC3 && b1 == 0xA6) || (b0 == 0xC5 && b1 == 0x93) || (b0 == 0xCF && b1 == 0x82);
}

}  // namespace detail

bool apply_folds_in_place(std::string& s) {
    std::size_t first = 0;
    while (first < s.size() && !detail::is_fold_at(s, first)) ++first;
    if (first == s.size()) return false;
    std::string out;
    out.reserve(s.size() + 8);
    out.append(s, 0, first);
    for (std::size_t i = first; i < s.size();) {
        if (detail::is_fold_at(s, i)) {
            const auto b1 = static_cast<unsigned char>(s[i + 1]);
            out.append(b1 == 0xA6 ? "ae" : b1 == 0x93 ? "oe" : "\xCF\x83");
            i += 2;
        } else {
            out.push_back(s[i++]);
        }
    }
    s = std::move(out);
    return true;
}

std::string apply_folds(std::string_view s) {
    std::string out(s);
    apply_folds_in_place(out);
    return out;
}

bool strip_format_chars_in_place(std::string& s) {
    // Find the first character to remove; ASCII holds none.
    std::size_t first = s.size();
    for (std::size_t i = 0; i < s.size();) {
        if (ascii::is_ascii(static_cast<unsigned char>(s[i]))) {
            ++i;
            continue;
        }
        const std::size_t at = i;
        const char32_t c = utf8::decode(s, i);
        if (c != 0x200D && unicode8::is_format(c)) {
            first = at;
            break;
        }
    }
    if (first == s.size()) return false;
    std::size_t w = first;
    for (std::size_t i = first; i < s.size();) {
        const std::size_t at = i;
        const char32_t c = utf8::decode(s, i);
        if (c == 0x200D || !unicode8::is_format(c)) {
            for (std::size_t k = at; k < i; ++k) s[w++] = s[k];
        }
    }
    s.resize(w);
    return true;
}

}  // namespace zemo::text
