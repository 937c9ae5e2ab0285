// The ASCII form (declared in forms.hpp).
#include "common/string_writer.hpp"
#include "common/utf8.hpp"
#include "text/forms.hpp"
#include "text/translit.hpp"
#include "text/unicode8.hpp"

namespace zemo::text {

namespace detail {

void append_ascii_form_of_match_form(std::string_view m, std::string& out) {
    // Symbols dropped and Ё spelled "Yo", in one pass.
    std::string kept;
    {
        StringWriter w(kept, m.size());
        for (std::size_t i = 0; i < m.size();) {
            const std::size_t at = i;
            const char32_t c = utf8::decode(m, i);
            if (c == 0x401) {
                w.put("Yo");
            } else if (c == 0x451) {
                w.put("yo");
            } else if (!unicode8::is_other_symbol(c)) {
                w.put(m.substr(at, i - at));
            }
        }
    }
    std::string ascii;
    ascii.reserve(kept.size() + 8);
    append_transliterated(kept, "[?]", ascii);
    // Everything is ASCII now, so lower-casing is ASCII lower-casing and the
    // ASCII filter keeps every character.
    append_collapsed_lower_ascii(ascii, out);
}

std::string ascii_form_of_match_form(std::string_view m) {
    std::string out;
    append_ascii_form_of_match_form(m, out);
    return out;
}

}  // namespace detail

void append_ascii_form(std::string_view s, std::string& out) {
    // The ASCII form of ASCII text is its match form: lower-case, collapsed,
    // symbol-free.
    if (detail::append_ascii_match_form(s, out)) return;
    detail::append_ascii_form_of_non_ascii(s, out);
}

void detail::append_ascii_form_of_non_ascii(std::string_view s, std::string& out) {
    std::string m;
    append_match_form_of_non_ascii(s, m);
    if (ascii::is_ascii(m)) {
        out.append(m);
    } else {
        append_ascii_form_of_match_form(m, out);
    }
}

std::string to_ascii_form(std::string_view s) {
    std::string out;
    append_ascii_form(s, out);
    return out;
}

}  // namespace zemo::text
