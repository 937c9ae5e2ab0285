// The ASCII form (declared in forms.hpp).
#include "text/forms.hpp"
#include "text/translit.hpp"
#include "text/unicode8.hpp"
#include "text/utf8.hpp"

namespace zemo::text {

namespace detail {

std::string ascii_form_of_match_form(std::string_view m) {
    // Symbols dropped and Ё spelled "Yo", in one pass.
    std::string kept;
    kept.reserve(m.size());
    for (std::size_t i = 0; i < m.size();) {
        const std::size_t at = i;
        const char32_t c = utf8::decode(m, i);
        if (c == 0x401) {
            kept.append("Yo");
        } else if (c == 0x451) {
            kept.append("yo");
        } else if (!unicode8::is_other_symbol(c)) {
            kept.append(m, at, i - at);
        }
    }
    std::string ascii;
    ascii.reserve(kept.size() + 8);
    append_transliterated(kept, "[?]", ascii);
    // Everything is ASCII now, so lower-casing is ASCII lower-casing and the
    // ASCII filter keeps every character.
    std::string out;
    append_collapsed_lower_ascii(ascii, out);
    return out;
}

}  // namespace detail

std::string to_ascii_form(std::string_view s) {
    std::string m = to_match_form(s);
    // An ASCII match form is already lower-case, collapsed and symbol-free.
    if (utf8::is_ascii(m)) return m;
    return detail::ascii_form_of_match_form(m);
}

}  // namespace zemo::text
