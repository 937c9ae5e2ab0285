#include "text/compilation.hpp"

#include <array>
#include <string>

#include <unicode/uchar.h>

#include "common/ascii.hpp"
#include "common/utf8.hpp"
#include "text/case.hpp"
#include "text/identity_detail.hpp"

namespace zemo::text {

namespace {

constexpr std::array<std::string_view, 3> kExactKeywords{"compilation", "soundtrack", "various"};
// Each counts when followed by the end or by a non-alphanumeric character.
constexpr std::array<std::string_view, 4> kPrefixKeywords{"various artists", "v/a", "v.a", "soundtracks"};

bool is_alphanumeric(char32_t c) {
    if (c < 0x80) return ascii::is_alnum(c);
    if (u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC)) return true;
    const int8_t type = u_charType(static_cast<UChar32>(c));
    return type == U_DECIMAL_DIGIT_NUMBER || type == U_LETTER_NUMBER || type == U_OTHER_NUMBER;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view lower) noexcept {
    if (a.size() != lower.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii::lower(a[i]) != lower[i]) return false;
    }
    return true;
}

// The keyword tests on `l`. With `fold_ascii`, `l` is ASCII text not yet
// lower-cased and is compared as if it were.
bool matches_keyword(std::string_view l, bool fold_ascii) {
    const auto same = [fold_ascii](std::string_view a, std::string_view keyword) {
        return fold_ascii ? equals_ignoring_ascii_case(a, keyword) : a == keyword;
    };
    for (const std::string_view keyword : kExactKeywords) {
        if (same(l, keyword)) return true;
    }
    for (const std::string_view prefix : kPrefixKeywords) {
        if (l.size() < prefix.size() || !same(l.substr(0, prefix.size()), prefix)) continue;
        if (l.size() == prefix.size()) return true;
        std::size_t i = prefix.size();
        if (!is_alphanumeric(utf8::decode(l, i))) return true;
    }
    return false;
}

}  // namespace

namespace detail {

bool is_compilation_artist_reference(std::string_view name) {
    return !name.empty() && matches_keyword(lower_full(name), false);
}

}  // namespace detail

bool is_compilation_artist(std::string_view name) {
    if (name.empty()) return false;
    if (ascii::is_ascii(name)) return matches_keyword(name, true);
    return matches_keyword(lower_full(name), false);
}

}  // namespace zemo::text
