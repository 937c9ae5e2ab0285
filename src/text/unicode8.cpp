#include "text/unicode8.hpp"

#include <span>

#include "common/ascii.hpp"
#include "text/generated/unicode8_tables.hpp"

namespace zemo::text::unicode8 {

namespace detail {

bool in_ranges(std::span<const Range> ranges, char32_t c) {
    // The first range whose last code point is >= c (or the last range); c
    // is inside when that range also starts at or before c. Halving without
    // a branch on the comparison, so every compiler emits the same loop.
    if (ranges.empty()) return false;
    const Range* base = ranges.data();
    for (std::size_t n = ranges.size(); n > 1;) {
        const std::size_t half = n / 2;
        base = base[half - 1].last < c ? base + half : base;
        n -= half;
    }
    return base->first <= c && c <= base->last;
}

}  // namespace detail

// Every set below starts above U+007F except the word characters, so ASCII
// leaves after one comparison.
bool is_mark(char32_t c) { return c >= 0x300 && detail::in_ranges(detail::kMark, c); }

bool is_format(char32_t c) { return c >= 0xAD && detail::in_ranges(detail::kCf, c); }

bool is_other_symbol(char32_t c) { return c >= 0xA6 && detail::in_ranges(detail::kSo, c); }

bool is_word_char(char32_t c) {
    if (c < 0x80) return ascii::is_alnum(c);
    return detail::in_ranges(detail::kWord, c);
}

}  // namespace zemo::text::unicode8
