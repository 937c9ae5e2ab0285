// The library index and the release classifier: the worked example to the
// last digit, hand-written libraries, the fast classifier against the plain
// one on generated libraries, and the worker pool.

#include <algorithm>
#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/kernels.hpp"
#include "fuzzy/pool.hpp"
#include "reference/fuzzy.hpp"

using namespace zemo::fuzzy;
using Owned = std::vector<std::pair<std::string, std::string>>;

namespace {

LibraryIndex index_of(const Owned& pairs) {
    LibraryIndex::Pairs views;
    for (const auto& [a, t] : pairs) views.emplace_back(a, t);
    return LibraryIndex::from_pairs(views);
}

const Owned kExampleLibrary = {{"the beatles", "abbey road"},
                               {"the beatles", "let it be"},
                               {"radiohead", "ok computer"},
                               {"radiohead", "kid a"},
                               {"stereolab", "dots and loops"}};

}  // namespace

TEST(fuzzy_classify_worked_example) {
    const reference::Library ref(kExampleLibrary);
    const LibraryIndex index = index_of(kExampleLibrary);
    struct Row {
        const char *artist, *title;
        double s1, s2, s3;
        Classification result;
    };
    const auto K = Classification::Keep, R = Classification::Review, P = Classification::Prune;
    const Row rows[] = {
        {"radiohead", "kid a", -1, -1, -1, K},
        {"beatles", "abbey road", 1.0, 0.9166666666666666, 0.8851834745123655, K},
        {"the beatles", "abbey road remastered", 1.0, 0.8253968253968254, 0.9461702252967461, K},
        {"stereolab", "dots & loops", 0.96, 0.9259259259259259, 0.9697815168769667, K},
        {"radiohed", "ok computer", 0.9795918367346939, 0.9795918367346939, 0.0, R},
        {"the beatles", "revolver", 0.7755102040816326, -1, -1, R},
        {"kid gloves", "carpal tunnel syndrome", 0.5384615384615384, -1, -1, R},
        {"lunar mice", "quiet hours", 0.0, 0.0, 0.0, P},
    };
    for (const Row& row : rows) {
        const reference::Scores s = ref.classify(row.artist, row.title);
        CHECK_EQ(s.s1, row.s1);
        CHECK_EQ(s.s2, row.s2);
        CHECK_EQ(s.s3, row.s3);
        CHECK(s.result == row.result);
        CHECK(classify_release(row.artist, row.title, index, {}) == row.result);
    }
}

TEST(fuzzy_classify_hand_written_libraries) {
    // Empty artist and title are exact only against a pair of empty match forms.
    CHECK(classify_release("", "", index_of({{"x", "y"}}), {}) == Classification::Prune);

    // "|||" inside a library artist is never a blocking key.
    const LibraryIndex bars = index_of({{"|||", "zzz"}});
    CHECK(bars.combined_postings("|||").empty());
    CHECK(bars.artist_postings("|||").empty());
    CHECK(bars.combined_postings("zzz") == std::vector<std::uint32_t>{0});

    // Duplicate pairs keep their combined keys and titles but change no score.
    const LibraryIndex dup = index_of({{"a b", "c"}, {"a b", "c"}, {"a d", "e"}});
    CHECK_EQ(dup.size(), 3u);
    CHECK(dup.artists() == (std::vector<std::string_view>{"a b", "a d"}));
    CHECK(dup.titles_of(0) == (std::vector<std::string_view>{"c", "c"}));
    CHECK(dup.combined_postings("a") == (std::vector<std::uint32_t>{0, 1, 2}));

    // Both artists score the same against the query; only the titles of the
    // byte-wise smaller one count, so the release is not a keep.
    const Owned lib = {{"abcd x", "zzzzzzzz"}, {"abce x", "the title"}, {"abcd x", "filler words"}};
    const reference::Library ref(lib);
    const LibraryIndex index = index_of(lib);
    for (const char* title : {"the title", "zzzzzzzz", "filler"}) {
        CHECK(classify_release("abcf x", title, index, ClassifyThresholds{}) == ref.classify("abcf x", title).result);
    }
}

namespace {

// Names from a small vocabulary with a few very common words, so candidate
// lists are long, plus near-copies of library pairs with typos.
struct Generator {
    std::mt19937_64 rng;
    std::vector<std::string> words = {"the", "of", "love", "live", "remastered", "edition", "\u00e9t\u00e9", "\u4e2d\u6587"};

    explicit Generator(std::uint64_t seed) : rng(seed) {
        for (int i = 0; i < 120; ++i) {
            std::string w(2 + rng() % 8, ' ');
            for (char& c : w) c = "abcdeilmnorstu"[rng() % 14];
            words.push_back(w);
        }
    }

    // Skewed towards the first (common) words.
    std::string word() { return words[rng() % 100 < 30 ? rng() % 8 : rng() % words.size()]; }

    std::string phrase(int max_words) {
        const int n = 1 + static_cast<int>(rng() % max_words);
        std::string s = word();
        for (int i = 1; i < n; ++i) s += ' ' + word();
        return s;
    }

    std::string typo(std::string s) {
        const std::size_t at = s.empty() ? 0 : rng() % s.size();
        // Edit ASCII bytes only, so the text stays valid UTF-8.
        if (s.empty() || static_cast<unsigned char>(s[at]) >= 0x80) return s + " x";
        switch (rng() % 4) {
            case 0: s.erase(at, 1); break;
            case 1: s.insert(at, 1, 'x'); break;
            case 2: s[at] = 'q'; break;
            default: s += " live"; break;
        }
        return s;
    }
};

const ClassifyThresholds kVariants[] = {
    ClassifyThresholds{},
    ClassifyThresholds{0.6, 0.7, 0.9, 0.5, 0.3},
    ClassifyThresholds{0.9, 0.9, 0.5, 0.9, 0.6},
    ClassifyThresholds{0.3, 0.5, 0.2, 0.0, 0.6},  // keep values below the floor
    ClassifyThresholds{0.8, 0.8, 0.8, 0.7, 0.0},  // every score reaches the floor
    ClassifyThresholds{1.0, 1.0, 1.0, 1.0, 1.0},
    ClassifyThresholds{1.5, 2.0, 3.0, 1.2, 0.4},  // beyond what any score reaches
};

// The decision of the index for one release, under every variant, is the plain classifier's.
void check_like_reference(const reference::Library& ref, const LibraryIndex& index, const std::string& artist,
                          const std::string& title, int* counts) {
    for (const ClassifyThresholds& th : kVariants) {
        const Classification expected = ref.classify(artist, title, th).result;
        const bool same = classify_release(artist, title, index, th) == expected;
        if (!same) std::cerr << "mismatch: '" << artist << "' / '" << title << "'\n";
        CHECK(same);
        ++counts[static_cast<int>(expected)];
    }
}

}  // namespace

TEST(fuzzy_classify_matches_reference) {
    int counts[3] = {0, 0, 0};
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        Generator g(seed);
        Owned lib;
        // The last library is large enough for the scans' signature table.
        const bool large = seed == 12;
        const int size = large ? 3000 : 20 + static_cast<int>(g.rng() % 300);
        for (int i = 0; i < size; ++i) {
            std::string artist = g.rng() % 5 == 0 && !lib.empty() ? lib[g.rng() % lib.size()].first : g.phrase(3);
            lib.emplace_back(artist, g.phrase(5));
        }
        const reference::Library ref(lib);
        const LibraryIndex index = index_of(lib);
        for (int r = 0; r < (large ? 25 : 150); ++r) {
            std::string artist = g.phrase(3), title = g.phrase(5);
            if (g.rng() % 3 == 0) {
                const auto& [a, t] = lib[g.rng() % lib.size()];
                artist = g.rng() % 2 ? g.typo(a) : a;
                title = g.rng() % 2 ? g.typo(t) : t;
            } else if (g.rng() % 3 == 0) {  // mostly words the library does not hold
                artist = g.typo(g.typo(g.word())) + "zq";
                title = "vv" + g.typo(g.word());
            }
            check_like_reference(ref, index, artist, title, counts);
        }
    }
    CHECK(counts[0] > 100 && counts[1] > 100 && counts[2] > 100);  // every outcome is exercised
}

TEST(fuzzy_classify_matches_reference_on_adversarial_libraries) {
    int counts[3] = {0, 0, 0};
    Generator g(99);
    Owned shared, duplicates, bars, wide, empty, lengths;
    for (int i = 0; i < 150; ++i) {
        shared.emplace_back("the " + g.phrase(2), "the " + g.phrase(4));  // one token in every entry
        bars.emplace_back(g.phrase(2) + " |||", "||| " + g.phrase(3));
        wide.emplace_back("\u4e2d " + g.phrase(2) + " \u00e9t\u00e9", g.phrase(3) + " \U0001F600");
        empty.emplace_back(i % 3 ? g.phrase(2) : "", i % 4 ? g.phrase(3) : "");
    }
    for (int i = 0; i < 100; ++i) duplicates.emplace_back("the beatles", "abbey road");
    duplicates.emplace_back("the beatles", "let it be");
    // Entries of every length up to far beyond one machine word.
    for (int n = 1; n < 140; n += 7) lengths.emplace_back(std::string(n, 'a') + " b", "the " + std::string(n / 2, 'c'));
    // A release far longer than every entry of a library of short ones.
    const Owned short_entries = {{"the a", "b"}, {"the", "c d"}, {"a", "the"}};
    check_like_reference(reference::Library(short_entries), index_of(short_entries), "the a",
                         "the " + std::string(300, 'a') + " b", counts);
    for (const Owned& lib : {shared, duplicates, bars, wide, empty, lengths}) {
        const reference::Library ref(lib);
        const LibraryIndex index = index_of(lib);
        for (int r = 0; r < 120; ++r) {
            const auto& [a, t] = lib[g.rng() % lib.size()];
            std::string artist = a, title = t;
            switch (r % 4) {
                case 0: artist = g.typo(artist); break;
                case 1: title = g.typo(title); break;
                case 2: artist = "the " + g.phrase(2); title = g.phrase(3); break;
                default: break;
            }
            check_like_reference(ref, index, artist, title, counts);
        }
    }
}

// The bit-parallel LCS on patterns of one, two and more machine words, and
// its early stop: exact whenever the LCS reaches the least asked, else some
// shorter common length below it.
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

TEST(fuzzy_pool_covers_every_position_once) {
    for (std::size_t n : {0, 1, 7, 1000, 100003}) {
        std::vector<std::atomic<int>> hits(n);
        parallel_for(n, [&](std::size_t b, std::size_t e) {
            for (; b < e; ++b) hits[b]++;
        });
        CHECK(std::all_of(hits.begin(), hits.end(), [](const std::atomic<int>& h) { return h == 1; }));
    }
    // An exception in any range reaches the caller.
    bool thrown = false;
    try {
        parallel_for(100, [](std::size_t b, std::size_t) {
            if (b == 0) throw std::runtime_error("boom");
        });
    } catch (const std::runtime_error&) {
        thrown = true;
    }
    CHECK(thrown);
}
