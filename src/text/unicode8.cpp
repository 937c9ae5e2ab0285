#include "text/unicode8.hpp"

#include <algorithm>
#include <span>

#include "common/ascii.hpp"
#include "text/generated/unicode8_tables.hpp"

namespace zemo::text::unicode8 {

namespace detail {

bool in_ranges(std::span<const Range> ranges, char32_t c) {
    // First range whose last code point is >= c; c is inside when it also
    // starts at or before c.
    auto it = std::lower_bound(ranges.begin(), ranges.end(), c,
                               [](const Range& r, char32_t v) { return r.last < v; });
    return it != ranges.end() && it->first <= c;
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
