// The bit-parallel LCS on patterns of one, two and more machine words, four
// texts at once against one word, and its early stop, which only the
// classifier's scans use: exact whenever the LCS reaches the least asked,
// else some shorter common length below it.

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "fuzzy/kernels.hpp"

using namespace zemo::fuzzy;

TEST(fuzzy_lcs_with_pattern_and_least) {
    std::mt19937_64 rng(7);
    detail::PatternMasks pm;
    int stopped = 0;
    for (int round = 0; round < 800; ++round) {
        const std::size_t letters = 2 + rng() % 5;
        const auto text = [&](std::size_t size) {
            std::string s(size, 'a');
            for (char& c : s) c = static_cast<char>('a' + rng() % letters);
            return s;
        };
        const std::string a = text(1 + rng() % 200), b = text(1 + rng() % 200);
        std::vector<std::size_t> row(b.size() + 1, 0);
        for (char c : a) {
            std::size_t diag = 0;
            for (std::size_t j = 0; j < b.size(); ++j) {
                const std::size_t up = row[j + 1];
                row[j + 1] = c == b[j] ? diag + 1 : std::max(row[j], row[j + 1]);
                diag = up;
            }
        }
        const std::size_t exact = row.back();
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

// Four texts at once against a pattern of one word, the texts of unequal
// lengths (the shortest sets the steps they take together), some empty.
TEST(fuzzy_lcs_with_pattern_four_at_once) {
    std::mt19937_64 rng(11);
    detail::PatternMasks pm;
    const auto text = [&](std::size_t size, std::size_t letters) {
        std::string s(size, 'a');
        for (char& c : s) c = static_cast<char>('a' + rng() % letters);
        return s;
    };
    for (int round = 0; round < 400; ++round) {
        const std::size_t letters = 2 + rng() % 5;
        const std::string a = text(1 + rng() % 64, letters);
        pm.assign(reinterpret_cast<const unsigned char*>(a.data()), a.size());
        std::string b[4];
        const unsigned char* texts[4];
        std::size_t sizes[4], got[4];
        for (std::size_t k = 0; k < 4; ++k) {
            b[k] = text(rng() % 90, letters);
            texts[k] = reinterpret_cast<const unsigned char*>(b[k].data());
            sizes[k] = b[k].size();
        }
        detail::lcs_with_pattern_x4(pm, texts, sizes, got);
        for (std::size_t k = 0; k < 4; ++k) CHECK_EQ(got[k], detail::lcs_with_pattern(pm, texts[k], sizes[k]));
    }
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
        const auto text = [&](std::size_t size) {
            std::string s(size, 'a');
            for (char& c : s) c = static_cast<char>('a' + rng() % letters);
            return s;
        };
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
