#include "text/identity.hpp"

#include <array>

#include "common/ascii.hpp"
#include "common/utf8.hpp"
#include "text/forms.hpp"
#include "text/identity_detail.hpp"
#include "text/unicode8.hpp"

namespace zemo::text {

namespace detail {

std::string_view trim_white_space(std::string_view s) noexcept {
    std::size_t begin = 0;
    while (begin < s.size()) {
        std::size_t next = begin;
        if (!is_white_space(utf8::decode(s, next))) break;
        begin = next;
    }
    std::size_t end = s.size();
    while (end > begin) {
        const std::size_t start = utf8::last_char_start(s, end);
        std::size_t i = start;
        if (!is_white_space(utf8::decode(s, i))) break;
        end = start;
    }
    return s.substr(begin, end - begin);
}

std::string_view drop_article_view(std::string_view s) noexcept {
    if (s.starts_with("the ")) return s.substr(4);
    if (s.starts_with("a ")) return s.substr(2);
    if (s.starts_with("an ")) return s.substr(3);
    if (s.size() > 5 && s.ends_with(", the")) return s.substr(0, s.size() - 5);
    if (s.size() > 3 && s.ends_with(", a")) return s.substr(0, s.size() - 3);
    if (s.size() > 4 && s.ends_with(", an")) return s.substr(0, s.size() - 4);
    return s;
}

std::string identity_baseline_reference(std::string_view s) {
    const std::string m = match_form_general(s);
    return collapse_and_trim_ascii_space(drop_article_view(strip_trailing_parens(m)));
}

std::string with_punctuation_reference(std::string_view s) {
    const std::string m = match_form_general(s);
    const std::string_view d = drop_article_view(strip_trailing_parens(m));
    std::string out;
    bool in_run = false;
    for (std::size_t i = 0; i < d.size();) {
        const std::size_t start = i;
        const char32_t c = utf8::decode(d, i);
        if (unicode8::is_word_char(c) || is_white_space(c)) {
            out.append(d.substr(start, i - start));
            in_run = false;
        } else if (!in_run) {
            out.push_back(' ');
            in_run = true;
        }
    }
    return collapse_and_trim_ascii_space(out);
}

}  // namespace detail

namespace {

std::string_view trim_ascii_space(std::string_view s) noexcept {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Shrinks `owner` to `part`, a view into it, without reallocating.
void keep_only(std::string& owner, std::string_view part) {
    const auto begin = static_cast<std::size_t>(part.data() - owner.data());
    owner.resize(begin + part.size());
    owner.erase(0, begin);
}

// The bytes the punctuation collapse keeps: ASCII letters, digits and
// White_Space other than U+0020 (which it collapses with the replacements).
bool is_kept_ascii(unsigned char c) noexcept { return ascii::is_alnum(c) || (c >= 0x09 && c <= 0x0D); }

}  // namespace

std::string identity_baseline(std::string_view s) {
    std::string m = to_match_form(s);
    // The match form has no doubled or outer U+0020, so once the group and
    // the article are cut away only the ends can need trimming.
    keep_only(m, trim_ascii_space(detail::drop_article_view(strip_trailing_parens(m))));
    return m;
}

std::string to_identity_match_form(std::string_view s) { return identity_baseline(s); }

std::string to_identity_match_form_title(std::string_view s) { return identity_baseline(s); }

std::string to_identity_match_form_with_punctuation(std::string_view s) {
    std::string m = to_match_form(s);
    const std::string_view d = detail::drop_article_view(strip_trailing_parens(m));
    // Rewritten in place: every character yields at most its own bytes, so
    // the write position never passes the read position. Each replaced
    // character stands for a U+0020; those and the real ones are collapsed
    // and trimmed in the same pass.
    const std::string_view text(m.data(), static_cast<std::size_t>(d.data() - m.data()) + d.size());
    std::size_t read = static_cast<std::size_t>(d.data() - m.data());
    std::size_t write = 0;
    bool after_space = true;
    while (read < text.size()) {
        const std::size_t start = read;
        const auto byte = static_cast<unsigned char>(text[read]);
        bool kept;
        if (ascii::is_ascii(byte)) {
            ++read;
            kept = is_kept_ascii(byte);
        } else {
            const char32_t c = utf8::decode(text, read);
            kept = unicode8::is_word_char(c) || detail::is_white_space(c);
        }
        if (kept) {
            for (std::size_t k = start; k < read; ++k) m[write++] = m[k];
            after_space = false;
        } else {
            if (!after_space) m[write++] = ' ';
            after_space = true;
        }
    }
    if (write > 0 && m[write - 1] == ' ') --write;
    m.resize(write);
    return m;
}

std::string to_identity_match_form_with_disambiguator_strip(std::string_view s) {
    std::string b = identity_baseline(s);
    using ascii::is_digit;
    if (b.empty() || !is_digit(b.back())) return b;
    std::size_t digits = b.size();
    while (digits > 0 && is_digit(b[digits - 1])) --digits;
    if (digits == 0) return b;
    const std::size_t slash = digits - 1;
    if (b[slash] != '/' || slash == 0) return b;
    std::size_t name_end = slash;
    while (name_end > 0 && b[name_end - 1] == ' ') --name_end;
    if (name_end == slash) return b;  // a space must separate the name from the "/"
    b.resize(name_end);
    return b;
}

std::string_view strip_leading_article(std::string_view s) {
    static constexpr std::array<std::string_view, 3> kArticles{"the", "a", "an"};
    for (const std::string_view article : kArticles) {
        if (!s.starts_with(article)) continue;
        if (s.size() == article.size()) return s.substr(s.size());
        std::size_t end = article.size();
        for (std::size_t i = end; i < s.size();) {
            const char32_t c = utf8::decode(s, i);
            // Python's \s: White_Space and the information separators.
            if (!detail::is_white_space(c) && !(c >= 0x1C && c <= 0x1F)) break;
            end = i;
        }
        if (end > article.size()) return s.substr(end);
    }
    return s;
}

std::string_view strip_trailing_parens(std::string_view s) {
    const std::size_t t_size = s.find_last_not_of(' ') + 1;  // npos + 1 == 0
    if (t_size == 0) return s;
    const char close = s[t_size - 1];
    if (close != ')' && close != ']') return s;
    const char open = close == ')' ? '(' : '[';
    std::size_t depth = 0;
    for (std::size_t i = t_size; i-- > 0;) {
        const char c = s[i];
        if (c == close) {
            ++depth;
        } else if (c == open) {
            if (depth == 1) {
                if (i == 0) return s;  // the whole text is one group
                std::string_view before = s.substr(0, i);
                while (!before.empty() && before.back() == ' ') before.remove_suffix(1);
                return before;
            }
            --depth;
        }
    }
    return s;
}

std::string drop_articles(std::string_view s) { return std::string(detail::drop_article_view(s)); }

}  // namespace zemo::text
