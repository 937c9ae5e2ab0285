#include "text/forms.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/string_writer.hpp"
#include "common/utf8.hpp"
#include "text/case.hpp"
#include "text/folds.hpp"
#include "text/match_pieces.hpp"
#include "text/mojibake.hpp"
#include "text/normalize.hpp"
#include "text/unicode8.hpp"

namespace zemo::text {

namespace detail {

std::string_view trim_ascii_space(std::string_view s) {
    const std::size_t first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// Writes `s` with its U+0020 runs collapsed and trimmed at `start` (room for
// s.size() bytes), lower-casing ASCII letters on the way when `Lower` is
// set; returns the end.
template <bool Lower>
char* collapse_to(std::string_view s, char* const start) {
    char* w = start;
    bool after_space = true;
    for (char ch : s) {
        if (ch == ' ') {
            *w = ' ';
            w += after_space ? 0 : 1;
            after_space = true;
            continue;
        }
        *w++ = Lower ? ascii::lower(ch) : ch;
        after_space = false;
    }
    if (w != start && w[-1] == ' ') --w;
    return w;
}

template <bool Lower>
void collapse_into(std::string_view s, std::string& out) {
    const std::size_t base = out.size();
    out.resize(base + s.size());
    out.resize(static_cast<std::size_t>(collapse_to<Lower>(s, out.data() + base) - out.data()));
}

namespace swar {

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

inline std::uint64_t load(const char* p) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline void store(char* p, std::uint64_t w) { std::memcpy(p, &w, 8); }

// 0x80 in every byte of `x` equal to a space.
inline std::uint64_t spaces(std::uint64_t x) {
    const std::uint64_t t = x ^ (kOnes * ' ');
    return ~(((t & kLow7) + kLow7) | t) & kHigh;
}

// `x` with A-Z lower-cased; exact when every byte is below 0x80.
inline std::uint64_t lower(std::uint64_t x) {
    const std::uint64_t at_least_a = x + kOnes * (0x80 - 'A');
    const std::uint64_t above_z = x + kOnes * (0x80 - 'Z' - 1);
    return x | ((at_least_a & ~above_z & kHigh) >> 2);
}

}  // namespace swar

// The common case (no space at the ends, no doubled space) is one pass over
// eight bytes at a time that checks, lower-cases and looks for doubled spaces
// at once.
std::size_t write_ascii_match_form(std::string_view s, char* const w) {
    const std::size_t n = s.size();
    bool ascii = true;
    bool doubled = false;
    if (std::endian::native == std::endian::little && n >= 8) {
        std::uint64_t high = 0, pairs = 0, carry = 0;
        std::size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const std::uint64_t x = swar::load(s.data() + i);
            const std::uint64_t sp = swar::spaces(x);
            high |= x;
            pairs |= sp & ((sp << 8) | carry);  // byte k and byte k - 1 both spaces
            carry = sp >> 56;
            swar::store(w + i, swar::lower(x));
        }
        if (i < n) {
            // The last eight bytes again, overlapping: rewriting a byte with
            // the same value is harmless, and the pair across the overlap lies
            // inside this word.
            const std::uint64_t x = swar::load(s.data() + n - 8);
            const std::uint64_t sp = swar::spaces(x);
            high |= x;
            pairs |= sp & (sp << 8);
            swar::store(w + n - 8, swar::lower(x));
        }
        ascii = (high & swar::kHigh) == 0;
        doubled = pairs != 0;
    } else {
        unsigned char high = 0;
        for (std::size_t i = 0; i < n; ++i) {
            high |= static_cast<unsigned char>(s[i]);
            w[i] = ascii::lower(s[i]);
            doubled |= i > 0 && s[i] == ' ' && s[i - 1] == ' ';
        }
        ascii = (high & 0x80) == 0;
    }
    if (!ascii) return kNotAscii;
    if (doubled || (n != 0 && (s.front() == ' ' || s.back() == ' '))) {
        return static_cast<std::size_t>(collapse_to<true>(s, w) - w);
    }
    return n;
}

bool append_ascii_match_form(std::string_view s, std::string& out) {
    const std::size_t base = out.size();
    out.resize(base + s.size());
    const std::size_t n = write_ascii_match_form(s, out.data() + base);
    if (n == s.size()) return true;
    out.resize(n == kNotAscii ? base : base + n);
    return n != kNotAscii;
}

// Latin and Greek blocks: marks after a base from these are dropped.
constexpr bool is_latin_or_greek(char32_t c) {
    return c <= 0x24F || (c >= 0x370 && c <= 0x3FF) || (c >= 0x1E00 && c <= 0x1EFF) ||
           (c >= 0x1F00 && c <= 0x1FFF) || (c >= 0x2C60 && c <= 0x2C7F) || (c >= 0xA720 && c <= 0xA7FF) ||
           (c >= 0xAB30 && c <= 0xAB6F);
}

bool has_mark(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        if (ascii::is_ascii(static_cast<unsigned char>(s[i]))) {
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
    bool dropped = false;
    {
        StringWriter w(out, src.size());
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
            w.put(src.substr(at, i - at));
        }
    }
    if (!dropped) {
        // NFC of the decomposition is NFC of the text itself.
        normalize_in_place(t, NormalForm::NFC);
        return;
    }
    t = normalize(out, NormalForm::NFC);
}

// The last three steps of the match form in one pass: folds, removal of
// format characters other than U+200D, and the U+0020 collapse, appended to
// `out`. Equal to apply_folds, strip_format_chars_in_place and
// collapse_and_trim_ascii_space run one after another.
void append_folded_collapsed(std::string_view t, std::string& out) {
    StringWriter w(out, t.size() + 8);
    bool after_space = true;
    for (std::size_t i = 0; i < t.size();) {
        const auto b = static_cast<unsigned char>(t[i]);
        if (ascii::is_ascii(b)) {
            ++i;
            if (b == ' ') {
                if (!after_space) w.put(' ');
                after_space = true;
                continue;
            }
            w.put(static_cast<char>(b));
            after_space = false;
            continue;
        }
        const std::size_t at = i;
        const char32_t c = utf8::decode(t, i);
        if (c == 0xE6) {
            w.put("ae");
        } else if (c == 0x153) {
            w.put("oe");
        } else if (c == 0x3C2) {
            w.put("\xCF\x83");
        } else if (c != 0x200D && unicode8::is_format(c)) {
            continue;
        } else {
            w.put(t.substr(at, i - at));
        }
        after_space = false;
    }
    if (w.written() != 0 && w.back() == ' ') w.pop_back();
}

// Steps 2 to 6 of the match form, one after another, on text already
// repaired and trimmed: everything but the final U+0020 collapse.
std::string match_core(std::string t) {
    normalize_in_place(t, NormalForm::NFKC);
    t = lower_each_char(t);
    strip_latin_greek_marks(t);
    apply_folds_in_place(t);
    strip_format_chars_in_place(t);
    return t;
}

std::string storage_form_general(std::string_view s) {
    std::string t = fix_mojibake(s);
    normalize_in_place(t, NormalForm::NFC);
    const std::string_view trimmed = trim_ascii_space(t);
    if (trimmed.size() == t.size()) return t;
    return std::string(trimmed);
}

void append_match_form_general(std::string_view s, std::string& out) {
    // Trimming U+0020 commutes with NFC (a space is a starter that neither
    // composes nor decomposes), and NFKC of the NFC form is NFKC of the
    // text, so the storage form's NFC pass is folded into the NFKC pass.
    std::string t = fix_mojibake(s);
    const std::string_view trimmed = trim_ascii_space(t);
    if (trimmed.size() != t.size()) t = std::string(trimmed);
    normalize_in_place(t, NormalForm::NFKC);
    t = lower_each_char(t);
    strip_latin_greek_marks(t);
    append_folded_collapsed(t, out);
}

std::string match_form_general(std::string_view s) {
    std::string out;
    append_match_form_general(s, out);
    return out;
}

void append_collapsed_lower_ascii(std::string_view s, std::string& out) { collapse_into<true>(s, out); }

}  // namespace detail

std::string collapse_and_trim_ascii_space(std::string_view s) {
    std::string out;
    detail::collapse_into<false>(s, out);
    return out;
}

void append_storage_form(std::string_view s, std::string& out) {
    // ASCII holds no mojibake trigger and is already NFC; other text without
    // a trigger that passes the NFC check is appended without a copy.
    // Trimming U+0020 commutes with NFC (a space is a starter that neither
    // composes nor decomposes).
    const std::string_view trimmed = detail::trim_ascii_space(s);
    if (ascii::is_ascii(s) || (!has_mojibake_trigger(s) && is_normalized(trimmed, NormalForm::NFC))) {
        out.append(trimmed);
    } else {
        out.append(detail::storage_form_general(s));
    }
}

void append_match_form(std::string_view s, std::string& out) {
    // For ASCII every step but the lower-casing and the spaces is a no-op.
    if (detail::append_ascii_match_form(s, out)) return;
    detail::append_match_form_of_non_ascii(s, out);
}

void detail::append_match_form_of_non_ascii(std::string_view s, std::string& out) {
    if (!append_match_form_by_pieces(s, out)) append_match_form_general(s, out);
}

std::string to_storage_form(std::string_view s) {
    std::string out;
    append_storage_form(s, out);
    return out;
}

std::string to_match_form(std::string_view s) {
    std::string out;
    append_match_form(s, out);
    return out;
}

}  // namespace zemo::text
