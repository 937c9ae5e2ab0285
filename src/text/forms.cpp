#include "text/forms.hpp"

#include "text/case.hpp"
#include "text/folds.hpp"
#include "text/normalize.hpp"
#include "text/unicode8.hpp"
#include "text/utf8.hpp"

namespace zemo::text {

namespace detail {

std::string_view trim_ascii_space(std::string_view s) {
    const std::size_t first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// Collapses and trims U+0020 runs of `s` into `out`, lower-casing ASCII
// letters on the way when `Lower` is set.
template <bool Lower>
void collapse_into(std::string_view s, std::string& out) {
    out.reserve(out.size() + s.size());
    bool after_space = true;
    for (char ch : s) {
        if (ch == ' ') {
            if (!after_space) out.push_back(' ');
            after_space = true;
            continue;
        }
        if constexpr (Lower) {
            if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch | 0x20);
        }
        out.push_back(ch);
        after_space = false;
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
}

// Latin and Greek blocks: marks after a base from these are dropped.
constexpr bool is_latin_or_greek(char32_t c) {
    return c <= 0x24F || (c >= 0x370 && c <= 0x3FF) || (c >= 0x1E00 && c <= 0x1EFF) ||
           (c >= 0x1F00 && c <= 0x1FFF) || (c >= 0x2C60 && c <= 0x2C7F) || (c >= 0xA720 && c <= 0xA7FF) ||
           (c >= 0xAB30 && c <= 0xAB6F);
}

bool has_mark(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        if (static_cast<unsigned char>(s[i]) < 0x80) {
            ++i;
            continue;
        }
        if (unicode8::is_mark(utf8::decode(s, i))) return true;
    }
    return false;
}

// Drops every mark whose last preceding base is Latin or Greek; marks of
// other scripts, and marks with no base before them, stay. Works on the
// canonical decomposition and recomposes.
void strip_latin_greek_marks(std::string& t) {
    const bool decomposed = is_normalized(t, NormalForm::NFD);
    if (decomposed && !has_mark(t)) return;
    const std::string d = decomposed ? std::string() : normalize(t, NormalForm::NFD);
    const std::string_view src = decomposed ? std::string_view(t) : std::string_view(d);
    std::string out;
    out.reserve(src.size());
    bool dropped = false;
    bool latin_base = false;  // no base yet counts as not Latin
    for (std::size_t i = 0; i < src.size();) {
        const std::size_t at = i;
        const char32_t c = utf8::decode(src, i);
        if (unicode8::is_mark(c)) {
            if (latin_base) {
                dropped = true;
                continue;
            }
        } else {
            latin_base = is_latin_or_greek(c);
        }
        out.append(src, at, i - at);
    }
    if (!dropped) {
        // NFC of the decomposition is NFC of the text itself.
        normalize_in_place(t, NormalForm::NFC);
        return;
    }
    t = normalize(out, NormalForm::NFC);
}

std::string storage_form_general(std::string_view s) {
    std::string t = fix_mojibake(s);
    normalize_in_place(t, NormalForm::NFC);
    const std::string_view trimmed = trim_ascii_space(t);
    if (trimmed.size() == t.size()) return t;
    return std::string(trimmed);
}

std::string match_form_general(std::string_view s) {
    std::string t = storage_form_general(s);
    normalize_in_place(t, NormalForm::NFKC);
    t = lower_each_char(t);
    strip_latin_greek_marks(t);
    apply_folds_in_place(t);
    strip_format_chars_in_place(t);
    std::string out;
    collapse_into<false>(t, out);
    return out;
}

void append_collapsed_lower_ascii(std::string_view s, std::string& out) { collapse_into<true>(s, out); }

}  // namespace detail

std::string collapse_and_trim_ascii_space(std::string_view s) {
    std::string out;
    detail::collapse_into<false>(s, out);
    return out;
}

std::string to_storage_form(std::string_view s) {
    // ASCII holds no mojibake trigger and is already NFC.
    if (utf8::is_ascii(s)) return std::string(detail::trim_ascii_space(s));
    return detail::storage_form_general(s);
}

std::string to_match_form(std::string_view s) {
    // For ASCII every step but the lower-casing and the spaces is a no-op.
    if (utf8::is_ascii(s)) {
        std::string out;
        detail::collapse_into<true>(s, out);
        return out;
    }
    return detail::match_form_general(s);
}

}  // namespace zemo::text
