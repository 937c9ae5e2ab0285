// The ASCII form (declared in forms.hpp).
#include "common/ascii.hpp"
#include "common/utf8.hpp"
#include "text/collapsed_writer.hpp"
#include "text/forms.hpp"
#include "text/translit.hpp"
#include "text/unicode8.hpp"

namespace zemo::text {

namespace detail {

void append_ascii_form_of_match_form(std::string_view m, std::string& out) {
    // One pass: symbols dropped, Ё spelled "Yo", the rest transliterated,
    // then lower-cased with U+0020 runs collapsed and trimmed. Every byte
    // written is ASCII, so lower-casing is ASCII lower-casing.
    CollapsedWriter w(out, m.size() + 8);
    auto put = [&w](char ch) { w.put(ascii::lower(ch)); };
    for (std::size_t i = 0; i < m.size();) {
        const auto b = static_cast<unsigned char>(m[i]);
        if (ascii::is_ascii(b)) {
            put(static_cast<char>(b));
            ++i;
            continue;
        }
        const char32_t c = utf8::decode(m, i);
        std::string_view spelled;
        if (c == 0x401 || c == 0x451) {
            spelled = "yo";
        } else if (unicode8::is_other_symbol(c)) {
            continue;
        } else {
            spelled = transliterate_char(c).value_or("[?]");
        }
        for (char ch : spelled) put(ch);
    }
    w.finish();
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
