// The library index and the release classifier: the worked example to the
// last digit, hand-written libraries, and the fast classifier against the
// plain one on generated libraries.

#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/metrics.hpp"
#include "fuzzy/pool.hpp"
#include "fuzzy_reference.hpp"

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
    const reference::Library with_fast_measures(
        kExampleLibrary, {&zemo::fuzzy::token_set_ratio, &zemo::fuzzy::token_sort_ratio, &zemo::fuzzy::jaro_winkler_similarity});
    const LibraryIndex index = index_of(kExampleLibrary);
    const ClassifyThresholds th;
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
        for (const reference::Library* lib : {&ref, &with_fast_measures}) {
            const reference::Scores s = lib->classify(row.artist, row.title);
            CHECK_EQ(s.s1, row.s1);
            CHECK_EQ(s.s2, row.s2);
            CHECK_EQ(s.s3, row.s3);
            CHECK(s.result == row.result);
        }
        CHECK(classify_release(row.artist, row.title, index, th) == row.result);
    }
}

TEST(fuzzy_classify_edge_libraries) {
    const ClassifyThresholds th;
    const LibraryIndex empty = index_of({});
    CHECK(classify_release("the beatles", "abbey road", empty, th) == Classification::Prune);
    CHECK(classify_release("", "", empty, th) == Classification::Prune);

    // Empty artist and title: exact only against a pair of empty match forms.
    const LibraryIndex blank = index_of({{"  ", ""}, {"x", "y"}});
    CHECK(classify_release("", "", blank, th) == Classification::Keep);
    CHECK(classify_release("", "", index_of({{"x", "y"}}), th) == Classification::Prune);

    // Library pairs are converted to match forms; releases are taken as given.
    const LibraryIndex cased = index_of({{"The Beatles", "Abbey Road"}});
    CHECK(cased.contains_pair("the beatles", "abbey road"));
    CHECK(classify_release("the beatles", "abbey road", cased, th) == Classification::Keep);

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
}

TEST(fuzzy_two_stage_tie_takes_smaller_artist) {
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
    std::vector<std::string> words;

    explicit Generator(std::uint64_t seed) : rng(seed) {
        const char* common[] = {"the", "of", "love", "live", "remastered", "edition", "\u00e9t\u00e9", "\u4e2d\u6587"};
        for (const char* w : common) words.push_back(w);
        const std::string letters = "abcdeilmnorstu";
        for (int i = 0; i < 120; ++i) {
            std::string w;
            const int len = 2 + static_cast<int>(rng() % 8);
            for (int k = 0; k < len; ++k) w += letters[rng() % letters.size()];
            words.push_back(w);
        }
    }

    std::string word() {
        // Skewed towards the first (common) words.
        const std::size_t r = rng() % 100;
        if (r < 30) return words[rng() % 8];
        return words[rng() % words.size()];
    }

    std::string phrase(int max_words) {
        std::string s;
        const int n = 1 + static_cast<int>(rng() % max_words);
        for (int i = 0; i < n; ++i) {
            if (i > 0) s += ' ';
            s += word();
        }
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

}  // namespace

TEST(fuzzy_classify_matches_reference) {
    int counts[3] = {0, 0, 0};
    const ClassifyThresholds variants[] = {
        ClassifyThresholds{},
        ClassifyThresholds{0.6, 0.7, 0.9, 0.5, 0.3},
        ClassifyThresholds{0.9, 0.9, 0.5, 0.9, 0.6},
        ClassifyThresholds{0.3, 0.5, 0.2, 0.0, 0.6},  // keep values below the floor
        ClassifyThresholds{0.8, 0.8, 0.8, 0.7, 0.0},  // every score reaches the floor
    };
    for (std::uint64_t seed = 1; seed <= 12; ++seed) {
        Generator g(seed);
        Owned lib;
        const int size = 20 + static_cast<int>(g.rng() % 300);
        for (int i = 0; i < size; ++i) {
            std::string artist = g.rng() % 5 == 0 && !lib.empty() ? lib[g.rng() % lib.size()].first : g.phrase(3);
            lib.emplace_back(artist, g.phrase(5));
        }
        const reference::Library ref(lib);
        const LibraryIndex index = index_of(lib);
        for (int r = 0; r < 150; ++r) {
            std::string artist, title;
            if (g.rng() % 3 == 0) {
                const auto& [a, t] = lib[g.rng() % lib.size()];
                artist = g.rng() % 2 ? g.typo(a) : a;
                title = g.rng() % 2 ? g.typo(t) : t;
            } else if (g.rng() % 3 == 0) {
                // Mostly words the library does not hold.
                artist = g.typo(g.typo(g.word())) + "zq";
                title = "vv" + g.typo(g.word());
            } else {
                artist = g.phrase(3);
                title = g.phrase(5);
            }
            for (const ClassifyThresholds& th : variants) {
                const Classification expected = ref.classify(artist, title, th).result;
                const Classification got = classify_release(artist, title, index, th);
                if (got != expected)
                    std::cerr << "mismatch: '" << artist << "' / '" << title << "' seed " << seed << "\n";
                CHECK(got == expected);
                ++counts[static_cast<int>(expected)];
            }
        }
    }
    // Every outcome is exercised.
    CHECK(counts[0] > 100);
    CHECK(counts[1] > 100);
    CHECK(counts[2] > 100);
}

TEST(fuzzy_batch_classify_keeps_order) {
    Generator g(99);
    Owned lib;
    for (int i = 0; i < 200; ++i) lib.emplace_back(g.phrase(2), g.phrase(4));
    const LibraryIndex index = index_of(lib);
    std::vector<std::string> artists, titles;
    for (int i = 0; i < 1000; ++i) {
        const auto& [a, t] = lib[g.rng() % lib.size()];
        artists.push_back(g.rng() % 2 ? a : g.phrase(2));
        titles.push_back(g.rng() % 2 ? g.typo(t) : g.phrase(4));
    }
    titles.push_back("ignored: longer than artists");
    const std::vector<std::string_view> av(artists.begin(), artists.end()), tv(titles.begin(), titles.end());
    const ClassifyThresholds th;
    const std::vector<Classification> got = batch_classify_releases(av, tv, index, th);
    CHECK_EQ(got.size(), artists.size());
    for (std::size_t i = 0; i < artists.size(); ++i)
        CHECK(got[i] == classify_release(zemo::text::to_match_form(artists[i]),
                                         zemo::text::to_match_form(titles[i]), index, th));
    CHECK(pool_size() >= 1);
}

TEST(fuzzy_pool_covers_every_position_once) {
    for (std::size_t n : {0, 1, 7, 1000, 100003}) {
        std::vector<std::atomic<int>> hits(n);
        parallel_for(n, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) hits[i]++;
        });
        bool once = true;
        for (auto& h : hits) once = once && h == 1;
        CHECK(once);
    }
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
