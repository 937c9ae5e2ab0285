// Text forms: membership in the Unicode 8.0.0 tables, the lower-casings against ICU, and
// the fast paths (ASCII, per-character pieces) against the general paths.
#include <unicode/bytestream.h>
#include <unicode/casemap.h>

#include <random>
#include <span>
#include <string>
#include <string_view>

#include "check.hpp"
#include "common/utf8.hpp"
#include "text/case.hpp"
#include "text/forms.hpp"
#include "text/generated/unicode8_tables.hpp"
#include "text/match_pieces.hpp"
#include "text/unicode8.hpp"

using namespace zemo::text;
namespace utf8 = zemo::utf8;

namespace {

std::string utf8_of(char32_t c) {
    std::string s;
    utf8::append(s, c);
    return s;
}

}  // namespace

TEST(unicode8_membership) {
    // Bisection edges and the ASCII shortcuts: first and last members of every
    // range, and their neighbours.
    namespace d = unicode8::detail;
    const std::pair<std::span<const d::Range>, bool (*)(char32_t)> sets[] = {
        {d::kMark, unicode8::is_mark}, {d::kCf, unicode8::is_format}, {d::kSo, unicode8::is_other_symbol}};
    for (const auto& [ranges, member] : sets) {
        for (const auto& r : ranges) {
            CHECK(member(r.first) && member(r.last) && !member(r.first - 1) && !member(r.last + 1));
        }
    }
    // Assigned after 8.0.0, or modifiers (Sk) rather than symbols.
    CHECK(!unicode8::is_mark(0x8D4));
    for (char32_t c : {0x1F3FBu, 0x1F923u, 0x1F57Au}) CHECK(!unicode8::is_other_symbol(c));
    for (char32_t c : {U'a', U'Z', U'0', U'9', U'\u00AA', U'\u00B2', U'\u00BD', U'\u2163', U'\u3400', U'\u4DB5',
                       U'\u9FD5', U'\uAC00', U'\uD7A3', U'\U00017000', U'\U00020000', U'\U0002CEA1'}) {
        CHECK(unicode8::is_word_char(c));
    }
    for (char32_t c : {U'_', U'-', U' ', U'@', U'\u00A9', U'\u0301', U'\u200B', U'\u9FD6', U'\U0002CEA2', U'\uE000'}) {
        CHECK(!unicode8::is_word_char(c));
    }
}

TEST(lower_casings_agree_with_icu) {
    // Every scalar value on its own: the context-free shortcut must agree with
    // ICU's full mapping of the character in isolation.
    int mismatches = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const std::string one = utf8_of(c);
        std::string expected;
        icu::StringByteSink<std::string> sink(&expected);
        UErrorCode status = U_ZERO_ERROR;
        icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(one.data(), static_cast<int32_t>(one.size())), sink,
                                  nullptr, status);
        if (U_FAILURE(status) || lower_each_char(one) != expected) {
            if (++mismatches < 5) std::cerr << "lower_each_char differs at U+" << std::hex << static_cast<unsigned long>(c) << std::dec << "\n";
        }
    }
    CHECK_EQ(mismatches, 0);
    // The whole-string lower-casing: final sigma needs its context.
    CHECK_EQ(lower_full("\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 X"), std::string("\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82 x"));
    CHECK_EQ(lower_full("MiXeD 123"), std::string("mixed 123"));
}

TEST(ascii_fast_paths_match_general_paths) {
    // Every ASCII byte, with spaces weighted up so runs and ends occur often.
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int> len(0, 40), byte(0, 127 + 40);
    for (int round = 0; round < 20000; ++round) {
        std::string s;
        for (int n = len(rng); n > 0; --n) {
            const int b = byte(rng);
            s.push_back(static_cast<char>(b > 127 ? ' ' : b));
        }
        CHECK_EQ(to_storage_form(s), detail::storage_form_general(s));
        const std::string general = detail::match_form_general(s);
        CHECK_EQ(to_match_form(s), general);
        CHECK_EQ(to_ascii_form(s), detail::ascii_form_of_match_form(general));
    }
}

TEST(match_form_by_pieces_matches_general_path) {
    // Every pair of characters below U+0500 (ASCII letters, space and the
    // Latin, Greek and Cyrillic blocks, marks included), then random runs
    // with ideographs and syllables mixed in.
    std::u32string alphabet = U" aAzZ0";
    for (char32_t c = 0xA0; c < 0x500; ++c) alphabet.push_back(c);
    int taken = 0;
    for (char32_t a : alphabet) {
        for (char32_t b : alphabet) {
            const std::string s = utf8_of(a) + utf8_of(b);
            std::string fast;
            if (detail::append_match_form_by_pieces(s, fast)) {
                ++taken;
                CHECK_EQ(fast, detail::match_form_general(s));
            }
        }
    }
    CHECK(taken > 500000);
    alphabet += U"\u3042\u30AB\u4E00\u9FD5\uAC00\u3099\u1161\u11A8\u00AD\u0301\u0308";
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1), len(1, 8);
    for (int round = 0; round < 50000; ++round) {
        std::string s;
        for (std::size_t n = len(rng); n > 0; --n) s += utf8_of(alphabet[pick(rng)]);
        std::string fast;
        if (detail::append_match_form_by_pieces(s, fast)) CHECK_EQ(fast, detail::match_form_general(s));
    }
}
