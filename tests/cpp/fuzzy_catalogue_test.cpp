// The prepared catalogue's pruned search against scoring and ranking every
// entry: generated catalogues full of near ties (few letters, duplicates,
// one-character variants, wide characters, lengths across 64), thresholds
// and gaps set exactly on scores that occur, large runs so that the trees
// have inner nodes, and one catalogue shared by several threads.

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "fuzzy/resolve.hpp"
#include "fuzzy_reference.hpp"

using namespace zemo::fuzzy;

namespace {

using Ranking = std::vector<std::pair<std::size_t, double>>;

// Every entry scored and ranked, highest first, earlier first among equals.
Ranking ranking(std::string_view name, const std::vector<std::string>& catalog) {
    Ranking scored;
    for (std::size_t i = 0; i < catalog.size(); ++i) scored.emplace_back(i, reference::jaro_winkler(name, catalog[i]));
    std::stable_sort(scored.begin(), scored.end(), [](const auto& x, const auto& y) { return x.second > y.second; });
    return scored;
}

std::optional<std::size_t> ranked_position(const Ranking& scored, const ResolveOptions& o) {
    if (scored.empty()) return std::nullopt;
    const std::size_t k = std::min<std::size_t>(std::max<std::uint64_t>(o.limit, 1), scored.size());
    if (scored[0].second < o.threshold) return std::nullopt;
    if (k > 1 && std::abs(scored[0].second - scored[1].second) < o.ambiguity) return std::nullopt;
    return scored[0].first;
}

class Generator {
public:
    explicit Generator(std::uint64_t seed) : rng_(seed) {}

    std::size_t below(std::size_t n) { return n == 0 ? 0 : rng_() % n; }

    std::string word(const std::vector<std::string>& alphabet, std::size_t lo, std::size_t hi) {
        std::string s;
        const std::size_t n = lo + below(hi - lo + 1);
        for (std::size_t i = 0; i < n; ++i) s += alphabet[below(alphabet.size())];
        return s;
    }

    // One character replaced, dropped, inserted or doubled; or the words
    // swapped; or the same string again.
    std::string variant(const std::string& s, const std::vector<std::string>& alphabet) {
        std::vector<char32_t> cs;
        zemo::fuzzy::detail::decode(s, cs);
        const std::size_t at = below(cs.size() + 1);
        std::string out;
        const auto put = [&](char32_t c) { out += encode(c); };
        switch (below(5)) {
            case 0:
                for (std::size_t i = 0; i < cs.size(); ++i) {
                    if (i == at) {
                        out += alphabet[below(alphabet.size())];
                    } else {
                        put(cs[i]);
                    }
                }
                return out;
            case 1:
                for (std::size_t i = 0; i < cs.size(); ++i)
                    if (i != at) put(cs[i]);
                return out;
            case 2:
                for (std::size_t i = 0; i <= cs.size(); ++i) {
                    if (i == at) out += alphabet[below(alphabet.size())];
                    if (i < cs.size()) put(cs[i]);
                }
                return out;
            case 3:
                return s.empty() ? s : s + s.substr(0, 1 + below(s.size()));
            default:
                return s;
        }
    }

    // Thresholds and gaps on, just beside and away from the scores that occur.
    double near(double x) {
        switch (below(4)) {
            case 0: return std::nextafter(x, 2.0);
            case 1: return std::nextafter(x, -2.0);
            default: return x;
        }
    }

    ResolveOptions options(const Ranking& scored) {
        ResolveOptions o;
        const std::uint64_t limits[] = {0, 1, 2, 2, 5};
        o.limit = limits[below(5)];
        // Mostly among the top scores, where the decision is made.
        const auto score = [&] {
            if (scored.empty()) return 0.5;
            return scored[below(std::min<std::size_t>(scored.size(), below(2) ? 3 : 1000))].second;
        };
        switch (below(4)) {
            case 0: o.threshold = near(score()); break;
            case 1: o.threshold = static_cast<double>(below(11)) / 10.0; break;
            case 2: o.threshold = 0.85; break;
            default: o.threshold = std::max(score(), score()); break;
        }
        switch (below(5)) {
            case 0: o.ambiguity = near(std::abs(score() - score())); break;
            case 1: o.ambiguity = 0.0; break;
            case 2: o.ambiguity = -0.3; break;
            case 3: o.ambiguity = 0.02; break;
            default: o.ambiguity = static_cast<double>(below(6)) / 10.0; break;
        }
        return o;
    }

private:
    static std::string encode(char32_t c) {
        std::string s;
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
        return s;
    }

    std::mt19937_64 rng_;
};

// Compares every (name, options) of a round with the ranking; returns how
// many were accepted.
int compare(const std::vector<std::string>& catalog, const std::vector<std::string>& names, Generator& g) {
    const std::vector<std::string_view> views(catalog.begin(), catalog.end());
    const PreparedCatalogue prepared(views);
    int accepted = 0;
    for (const std::string& name : names) {
        const Ranking scored = ranking(name, catalog);
        for (int k = 0; k < 6; ++k) {
            const ResolveOptions o = g.options(scored);
            const auto expected = ranked_position(scored, o);
            const auto got = prepared.resolve_position(name, o);
            CHECK(got == expected);
            if (got != expected) {
                std::cerr << "  name '" << name << "' threshold " << o.threshold << " limit " << o.limit
                          << " ambiguity " << o.ambiguity << " catalogue size " << catalog.size() << "\n";
                return accepted;
            }
            accepted += expected.has_value();
        }
    }
    return accepted;
}

}  // namespace

TEST(fuzzy_catalogue_matches_ranking_on_small_catalogues) {
    Generator g(11);
    const std::vector<std::vector<std::string>> alphabets = {
        {"a", "b"}, {"a", "b", "c", " "}, {"a", "b", "\u00e9", "\u4e2d", " "}, {"x", "y", "z", "A", "\u00ff"}};
    int accepted = 0;
    for (int round = 0; round < 400; ++round) {
        const auto& alphabet = alphabets[round % alphabets.size()];
        const bool long_strings = round % 5 == 0;
        std::vector<std::string> catalog;
        const std::size_t size = g.below(30);
        for (std::size_t i = 0; i < size; ++i) {
            if (i > 0 && g.below(3) == 0) {
                catalog.push_back(g.variant(catalog[g.below(i)], alphabet));
            } else {
                catalog.push_back(long_strings ? g.word(alphabet, 55, 75) : g.word(alphabet, 0, 8));
            }
        }
        std::vector<std::string> names;
        for (int q = 0; q < 6; ++q) {
            names.push_back(q < 4 && !catalog.empty() ? g.variant(catalog[g.below(catalog.size())], alphabet)
                                                      : g.word(alphabet, 0, long_strings ? 70 : 8));
        }
        accepted += compare(catalog, names, g);
    }
    CHECK(accepted > 1000);
}

TEST(fuzzy_catalogue_matches_ranking_on_large_runs) {
    // Hundreds of entries per length, so that the searches descend trees.
    Generator g(12);
    const std::vector<std::string> alphabet = {"a", "e", "i", "k", "l", "m", "n", "r", "s", "t", " ", "\u00e9"};
    int accepted = 0;
    for (int round = 0; round < 6; ++round) {
        std::vector<std::string> catalog;
        for (int i = 0; i < 2500; ++i) {
            catalog.push_back(i > 0 && g.below(4) == 0 ? g.variant(catalog[g.below(catalog.size())], alphabet)
                                                       : g.word(alphabet, 5, round % 2 == 0 ? 12 : 70));
        }
        std::vector<std::string> names;
        for (int q = 0; q < 25; ++q) {
            names.push_back(q % 3 != 0 ? g.variant(catalog[g.below(catalog.size())], alphabet)
                                       : g.word(alphabet, 5, 14));
        }
        accepted += compare(catalog, names, g);
    }
    CHECK(accepted > 50);
}

TEST(fuzzy_catalogue_edges) {
    const auto resolve = [](const std::vector<std::string_view>& catalog, std::string_view name, double threshold,
                            std::uint64_t limit, double ambiguity) {
        return PreparedCatalogue(catalog).resolve_position(name, ResolveOptions{threshold, limit, ambiguity});
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    // A NaN threshold accepts any best; a NaN gap rejects nothing.
    CHECK(resolve({"abc", "xyz"}, "zzz", nan, 2, 0.02) == std::optional<std::size_t>(1));
    CHECK(resolve({"abc", "abc"}, "abc", 0.5, 2, nan) == std::optional<std::size_t>(0));
    CHECK(resolve({"abc", "xyz"}, "abc", 0.5, 2, inf) == std::nullopt);
    CHECK(resolve({"abc", "xyz"}, "abc", inf, 1, 0.0) == std::nullopt);
    CHECK(resolve({"abc", "xyz"}, "abc", -inf, 2, 0.5) == std::optional<std::size_t>(0));
    // Empty strings: only an empty entry scores above 0 against an empty name.
    CHECK(resolve({"a", "", "b"}, "", 0.5, 2, 0.02) == std::optional<std::size_t>(1));
    CHECK(resolve({"a", "", ""}, "", 0.5, 2, 0.02) == std::nullopt);
    CHECK(resolve({"", "a"}, "a", 0.0, 2, 2.0) == std::nullopt);
    // A runner-up far below the threshold still counts with a wide gap.
    CHECK(resolve({"abcdef", "zzzzzz", "abcdef x"}, "abcdef", 0.9, 2, 0.95) == std::nullopt);
    // An entry too long for byte counts is still compared.
    const std::string long_a(300, 'a');
    const std::string long_b = long_a + "b";
    CHECK(resolve({"b", long_b, long_a}, long_a, 0.9, 1, 0.0) == std::optional<std::size_t>(2));
    CHECK(resolve({"b", long_b, long_a}, long_a, 0.9, 2, 0.01) == std::nullopt);
    CHECK(resolve({"b", long_b}, long_a, 0.9, 2, 0.01) == std::optional<std::size_t>(1));
}

TEST(fuzzy_catalogue_shared_by_threads) {
    Generator g(13);
    const std::vector<std::string> alphabet = {"a", "b", "c", "d", " ", "\u00e9"};
    std::vector<std::string> catalog, names;
    for (int i = 0; i < 3000; ++i) catalog.push_back(g.word(alphabet, 3, 12));
    for (int i = 0; i < 300; ++i) names.push_back(g.variant(catalog[g.below(catalog.size())], alphabet));
    const std::vector<std::string_view> views(catalog.begin(), catalog.end()), queries(names.begin(), names.end());
    const PreparedCatalogue prepared(views);
    const ResolveOptions o{0.85, 2, 0.02};
    const auto alone = prepared.resolve(queries, o);
    std::vector<std::optional<std::string>> a, b;
    std::thread ta([&] { a = prepared.resolve(queries, o); });
    std::thread tb([&] { b = prepared.resolve(queries, o); });
    ta.join();
    tb.join();
    CHECK(a == alone);
    CHECK(b == alone);
    CHECK(std::count(alone.begin(), alone.end(), std::nullopt) < static_cast<long>(alone.size()));
}
