#include "text/match_pieces.hpp"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>

#include <array>
#include <cstdint>
#include <optional>

#include "common/utf8.hpp"
#include "text/collapsed_writer.hpp"
#include "text/forms.hpp"
#include "text/mojibake.hpp"
#include "text/normalize.hpp"
#include "text/unicode8.hpp"

namespace zemo::text::detail {

namespace {

// Whether `c` can change its neighbours under normalisation: a mark, a
// character with a non-zero combining class, or one that may compose with
// the character before it.
bool interacts_with_neighbours(char32_t c) {
    const auto u = static_cast<UChar32>(c);
    return unicode8::is_mark(c) || u_getCombiningClass(u) != 0 ||
           u_getIntPropertyValue(u, UCHAR_NFC_QUICK_CHECK) == UNORM_MAYBE ||
           u_getIntPropertyValue(u, UCHAR_NFKC_QUICK_CHECK) == UNORM_MAYBE;
}

// Large blocks whose characters are their own match form: no compatibility
// or canonical change visible after recomposition, no case, no marks.
constexpr bool is_plain_ideograph_or_syllable(char32_t c) {
    return (c >= 0x3041 && c <= 0x3096) || (c >= 0x30A1 && c <= 0x30FA) || (c >= 0x3400 && c <= 0x4DB5) ||
           (c >= 0x4E00 && c <= 0x9FD5) || (c >= 0xAC00 && c <= 0xD7A3);
}

// The match form of text made of ASCII and the characters below is the
// concatenation of the match forms of its characters, collapsed: none of
// them composes with, reorders against or lends a base to its neighbours.
// So each character's piece is computed once, by the general steps.
class CharPieces {
public:
    static constexpr char32_t kLimit = 0x500;

    CharPieces() {
        for (char32_t c = 0x80; c < kLimit; ++c) {
            packed_[c] = kNone;
            if (interacts_with_neighbours(c)) continue;
            std::string one;
            utf8::append(one, c);
            const std::string expanded = normalize(one, NormalForm::NFKC);
            std::size_t k = 0;
            if (!expanded.empty() && interacts_with_neighbours(utf8::decode(expanded, k))) continue;
            const std::string piece = match_core(one);
            packed_[c] = static_cast<std::uint32_t>(bytes_.size() << 8 | piece.size());
            bytes_ += piece;
        }
    }

    // The piece of `c`, `c` itself (`same`), or nothing when text holding `c`
    // must take the general path.
    std::optional<std::string_view> piece(char32_t c, std::string_view same) const {
        if (c < kLimit) {
            const std::uint32_t p = packed_[c];
            if (p == kNone) return std::nullopt;
            return std::string_view(bytes_).substr(p >> 8, p & 0xFF);
        }
        if (is_plain_ideograph_or_syllable(c)) return same;
        return std::nullopt;
    }

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
    std::string bytes_;
    std::array<std::uint32_t, kLimit> packed_{};
};

const CharPieces& char_pieces() {
    static const CharPieces pieces;  // built once, read-only afterwards
    return pieces;
}

}  // namespace

bool append_match_form_by_pieces(std::string_view s, std::string& out) {
    if (has_mojibake_trigger(s)) return false;
    const CharPieces& pieces = char_pieces();
    CollapsedWriter w(out, s.size() + 8);
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (ascii::is_ascii(b)) {
            w.put(ascii::lower(static_cast<char>(b)));
            ++i;
            continue;
        }
        const std::size_t at = i;
        const char32_t c = utf8::decode(s, i);
        const auto piece = pieces.piece(c, s.substr(at, i - at));
        if (!piece) {
            w.discard();
            return false;
        }
        for (char ch : *piece) w.put(ch);
    }
    w.finish();
    return true;
}

}  // namespace zemo::text::detail
