// The bit-parallel kernels against the plain algorithms on random strings of
// every length class.

#include <random>
#include <string>

#include "check.hpp"
#include "fuzzy/metrics.hpp"
#include "fuzzy_reference.hpp"

using namespace zemo::fuzzy;

namespace {

// Random strings over a small alphabet (so characters repeat and match),
// optionally with spaces and non-ASCII characters.
std::string random_string(std::mt19937_64& rng, std::size_t len, bool spaces, bool unicode) {
    static const char* const kAscii[] = {"a", "b", "c", "d", "e", "A", "B"};
    static const char* const kWide[] = {"\u00e9", "\u03a3", "\u4e2d", "\U0001F600", "\u00a0"};
    std::string s;
    for (std::size_t i = 0; i < len; ++i) {
        const auto r = rng() % 16;
        if (spaces && r < 3) s += ' ';
        else if (unicode && r < 6) s += kWide[rng() % 5];
        else s += kAscii[rng() % 7];
    }
    return s;
}

}  // namespace

TEST(fuzzy_metrics_match_reference) {
    std::mt19937_64 rng(7);
    const std::size_t lengths[] = {0, 1, 2, 5, 17, 63, 64, 65, 100, 127, 128, 129, 200, 300};
    for (bool unicode : {false, true}) {
        for (std::size_t la : lengths) {
            for (std::size_t lb : lengths) {
                for (int rep = 0; rep < 3; ++rep) {
                    const std::string a = random_string(rng, la, rep == 2, unicode);
                    const std::string b = random_string(rng, lb, rep == 2, unicode);
                    CHECK_EQ(fuzz_ratio(a, b), reference::fuzz_ratio(a, b));
                    CHECK_EQ(jaro_winkler_similarity(a, b), reference::jaro_winkler(a, b));
                    CHECK_EQ(token_sort_ratio(a, b), reference::token_sort_ratio(a, b));
                    CHECK_EQ(token_set_ratio(a, b), reference::token_set_ratio(a, b));
                }
            }
        }
    }
    // Shared prefixes and suffixes around long differing middles.
    for (int rep = 0; rep < 200; ++rep) {
        const std::string p = random_string(rng, rng() % 70, false, rep % 2);
        const std::string x = random_string(rng, rng() % 140, false, rep % 3 == 0);
        const std::string y = random_string(rng, rng() % 140, false, false);
        CHECK_EQ(fuzz_ratio(p + x + p, p + y), reference::fuzz_ratio(p + x + p, p + y));
        CHECK_EQ(jaro_winkler_similarity(p + x, p + y), reference::jaro_winkler(p + x, p + y));
    }
}
