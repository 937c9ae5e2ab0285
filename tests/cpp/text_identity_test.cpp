// The identity steps Python cannot call on their own, and the fast paths held
// to the literal step-by-step forms.
#include <random>
#include <string>
#include <string_view>

#include "check.hpp"
#include "text/compilation.hpp"
#include "text/identity.hpp"
#include "text/identity_detail.hpp"

using namespace zemo::text;

TEST(identity_fast_paths_match_step_by_step) {
    // Mostly ASCII, so that the ASCII shortcuts meet the general path on
    // ASCII input; every fourth text mixes in characters the forms rewrite.
    const std::string_view ascii[] = {
        "the ", "The ", "a ", "an ", ", the", ", a", ", an", "(", ")", "[", "]", " ", "  ", "x", "Q", "/",
        "7", "12", "-", "&", ",", ".", "\t", "\x1f", "\x7f", "v/a", "V.A", "various", " artists", "soundtracks",
    };
    const std::string_view other[] = {
        "\xc3\xa9", "e\xcc\x81", "\xc2\xa0", "\xe3\x80\x80", "\xef\xbc\x88", "\xce\xa3", "\xe2\x80\x8b",
        "\xc2\xad", "\xe2\x84\xaa", "\xc2\x85", "\xe6\x97\xa5", "\xe2\x80\x94", "\xc2\xb2",
    };
    std::mt19937 rng(20260);
    std::uniform_int_distribution<std::size_t> pick_ascii(0, std::size(ascii) - 1), pick_other(0, std::size(other) - 1);
    std::uniform_int_distribution<int> len(0, 8), percent(0, 99);
    for (int n = 0; n < 20000; ++n) {
        std::string s;
        for (int k = len(rng); k > 0; --k) {
            s += (n % 4 == 0 && percent(rng) < 30) ? other[pick_other(rng)] : ascii[pick_ascii(rng)];
        }
        CHECK_EQ(identity_baseline(s), detail::identity_baseline_reference(s));
        CHECK_EQ(to_identity_match_form_with_punctuation(s), detail::with_punctuation_reference(s));
        CHECK_EQ(is_compilation_artist(s), detail::is_compilation_artist_reference(s));
    }
}

TEST(identity_malformed_utf8_stays_in_bounds) {
    // Library callers may pass any bytes (run under the sanitizers).
    for (const std::string_view s : {"\xff", "the\xe2\x80", "\xc2", "x \xed\xa0\x80", "v/a\xf4"}) {
        CHECK(detail::trim_white_space(s).size() <= s.size());
        CHECK_EQ(strip_leading_article(s), s);
        is_compilation_artist(s);
    }
    CHECK_EQ(detail::trim_white_space("\xc2\xa0x\xc2"), "x\xc2");
}
