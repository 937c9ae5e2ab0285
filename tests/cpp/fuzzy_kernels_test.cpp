// The bit-parallel LCS on patterns of one, two and more machine words, a
// stream of texts four at a time against one word, and its early stop, which only the
// classifier's scans use: exact whenever the LCS reaches the least asked,
// else some shorter common length below it.

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "fuzzy/kernels.hpp"
#include "fuzzy/thresholds.hpp"

using namespace zemo::fuzzy;

// By the textbook recurrence.
// `size` characters drawn from the first `letters` of the alphabet.
static std::string random_text(std::mt19937_64& rng, std::size_t size, std::size_t letters) {
    std::string s(size, 'a');
    for (char& c : s) c = static_cast<char>('a' + rng() % letters);
    return s;
}

static std::size_t exact_lcs(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1, 0);
    for (char c : a) {
        std::size_t diag = 0;
        for (std::size_t j = 0; j < b.size(); ++j) {
            const std::size_t up = row[j + 1];
            row[j + 1] = c == b[j] ? diag + 1 : std::max(row[j], row[j + 1]);
            diag = up;
        }
    }
    return row.back();
}

TEST(fuzzy_lcs_with_pattern_and_least) {
    std::mt19937_64 rng(7);
    detail::PatternMasks pm;
    int stopped = 0;
    for (int round = 0; round < 800; ++round) {
        const std::size_t letters = 2 + rng() % 5;
        const auto text = [&](std::size_t size) { return random_text(rng, size, letters); };
        const std::string a = text(1 + rng() % 200), b = text(1 + rng() % 200);
        const std::size_t exact = exact_lcs(a, b);
        pm.assign(reinterpret_cast<const unsigned char*>(a.data()), a.size());
        const auto* t = reinterpret_cast<const unsigned char*>(b.data());
        CHECK_EQ(detail::lcs_with_pattern(pm, t, b.size()), exact);
        const std::size_t least = rng() % (std::min(a.size(), b.size()) + 2);
        const std::size_t got = detail::lcs_with_pattern(pm, t, b.size(), least);
        if (exact >= least) {
            CHECK_EQ(got, exact);
        } else {
            CHECK(got < least && got <= exact);
            stopped += got < exact;
        }
    }
    CHECK(stopped > 20);
}

// A stream of texts through four lanes against a pattern of one word: texts
// of unequal lengths (lanes finish and refill at different steps), some
// empty, each with its own least, the results in any order and each as
// lcs_with_pattern's (exact when it reaches the least, else a shorter common
// length below it); and a stop that ends the stream at once.
TEST(fuzzy_lcs_stream_four_lanes) {
    std::mt19937_64 rng(11);
    detail::PatternMasks pm;
    const auto text = [&](std::size_t size, std::size_t letters) { return random_text(rng, size, letters); };
    int stopped_early = 0;
    for (int round = 0; round < 300; ++round) {
        const std::size_t letters = 2 + rng() % 5;
        const std::string a = text(1 + rng() % 64, letters);
        pm.assign(reinterpret_cast<const unsigned char*>(a.data()), a.size());
        const std::size_t count = rng() % 12;
        std::vector<std::string> b(count);
        std::vector<std::size_t> least(count), exact(count), got(count, SIZE_MAX);
        for (std::size_t k = 0; k < count; ++k) {
            b[k] = text(rng() % 90, letters);
            exact[k] = exact_lcs(a, b[k]);
            // Around the exact length: at its edge, just above, or far off.
            const std::size_t pick = rng() % 4;
            least[k] = pick == 0 ? 0 : pick == 1 ? exact[k] : pick == 2 ? exact[k] + 1 : rng() % (a.size() + 2);
        }
        std::size_t given = 0;
        const std::size_t stop_after = count > 0 && rng() % 3 == 0 ? 1 + rng() % count : SIZE_MAX;
        std::size_t reported = 0;
        detail::lcs_stream_x4(
            pm,
            [&](const unsigned char*& t, std::size_t& size, std::size_t& l, std::uint32_t& tag) {
                if (given == count) return false;
                t = reinterpret_cast<const unsigned char*>(b[given].data());
                size = b[given].size();
                l = least[given];
                tag = static_cast<std::uint32_t>(given++);
                return true;
            },
            [&](std::uint32_t tag, std::size_t lcs) {
                CHECK(got[tag] == SIZE_MAX);  // once each
                got[tag] = lcs;
                return ++reported == stop_after;
            });
        CHECK_EQ(reported, std::min(count, stop_after));
        for (std::size_t k = 0; k < count; ++k) {
            if (got[k] == SIZE_MAX) continue;
            if (exact[k] >= least[k]) {
                CHECK_EQ(got[k], exact[k]);
            } else {
                CHECK(got[k] < least[k] && got[k] <= exact[k]);
                stopped_early += got[k] < exact[k];
            }
        }
    }
    CHECK(stopped_early > 20);
}

// The Jaro-Winkler bound from the lengths, the common characters and the
// LCS lies above the score on strings of few letters (many transpositions)
// and reaches it closely on some.
TEST(fuzzy_jaro_winkler_order_bound_holds) {
    std::mt19937_64 rng(13);
    detail::PatternMasks pm;
    int close = 0, tighter = 0;
    for (int round = 0; round < 20000; ++round) {
        const std::size_t letters = 2 + rng() % 8;
        const auto text = [&](std::size_t size) { return random_text(rng, size, letters); };
        const std::string a = text(1 + rng() % 40), b = text(1 + rng() % 40);
        const auto* pa = reinterpret_cast<const unsigned char*>(a.data());
        const auto* pb = reinterpret_cast<const unsigned char*>(b.data());
        pm.assign(pa, a.size());
        const std::size_t lcs = detail::lcs_with_pattern(pm, pb, b.size());
        std::size_t common = 0;
        for (char c = 'a'; c < 'a' + 10; ++c)
            common += std::min(std::count(a.begin(), a.end(), c), std::count(b.begin(), b.end(), c));
        const std::size_t prefix = detail::common_prefix4(pa, a.size(), pb, b.size());
        const double score = detail::jaro_winkler(pa, a.size(), pb, b.size());
        const double bound = detail::jaro_winkler_order_bound(a.size(), b.size(), common, lcs, prefix);
        CHECK(score <= bound);
        CHECK(bound <= detail::jaro_winkler_bound(a.size(), b.size(), common, prefix));
        close += bound - score < 1e-6;
        tighter += bound < detail::jaro_winkler_bound(a.size(), b.size(), common, prefix) - 0.05;
    }
    CHECK(close > 100);
    CHECK(tighter > 1000);
}

// Scores in reasons are printed as "%.4f" would, trailing zeros cut to two decimals.
TEST(fuzzy_score_text_rounds_as_printf) {
    std::mt19937_64 rng(11);
    std::vector<double> values = {0.0, -0.0, 1.0, 0.8, 0.00005, 0.00015, 0.99995, 0.12345, 0.74585, 1e-300,
                                  0.5 + 1e-17, 123456.78905, 1e26, 1e30, -1e300, -0.00004};
    for (int i = 0; i < 200000; ++i) {
        values.push_back(std::uniform_real_distribution<double>(0.0, 1.0)(rng));
        values.push_back(static_cast<double>(rng() % 2000001) / 2000000.0);  // halfway cases among them
    }
    for (double v : values) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.4f", v);
        std::string expected(buf);
        expected.resize(std::min<std::size_t>(expected.size(), 31));  // the old buffer's cut
        while (expected.size() > 4 && expected.back() == '0' && expected[expected.size() - 3] != '.') expected.pop_back();
        CHECK_EQ(detail::score_text(v), expected);
    }
}
