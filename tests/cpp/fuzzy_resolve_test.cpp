// resolve_one, the library's single-name form, which Python does not reach:
// it answers as the batch does; best_entry, the trees' search for the
// classifier.

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "fuzzy/catalogue.hpp"
#include "fuzzy/metrics.hpp"
#include "fuzzy/resolve.hpp"

using namespace zemo::fuzzy;

TEST(fuzzy_resolve_one_answers_as_the_batch) {
    const std::vector<std::string_view> catalog = {"radiohead", "radio head", "stereolab", "bj\xc3\xb6rk"};
    const std::vector<std::string_view> names = {"radiohed", "radiohead", "stereo lab", "bjork", "", "portishead"};
    int found = 0;
    for (const ResolveOptions o : {ResolveOptions{0.85, 2, 0.02}, ResolveOptions{0.5, 1, 0.0}}) {
        const auto batch = batch_fuzzy_resolve(names, catalog, o);
        for (std::size_t i = 0; i < names.size(); ++i) {
            CHECK(resolve_one(names[i], catalog, o) == batch[i]);
            found += batch[i].has_value();
        }
        CHECK(!resolve_one("radiohead", {}, o));
    }
    CHECK(found >= 4);
}

// best_entry, which the classifier's artist scan asks of its count-box trees
// with a floor and the entries it has scored already: the best of the
// admitted entries reaching the floor, the earliest of equals, as scoring
// each of them finds.
TEST(fuzzy_best_entry_is_the_best_admitted_entry) {
    std::uint32_t seed = 7;
    const auto next = [&seed](std::uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    const auto word = [&]() {
        std::string w;
        const char* vowels[] = {"a", "e", "\xc3\xa9"};
        for (std::uint32_t k = 0, n = 2 + next(3); k < n; ++k) w += "bdkl"[next(4)], w += vowels[next(3)];
        return w;
    };
    std::vector<std::string> names;
    for (int i = 0; i < 600; ++i) names.push_back(i % 3 == 0 ? word() : word() + " " + word());
    names.push_back(names[5]);  // equal entries: the earlier wins
    const std::vector<std::string_view> views(names.begin(), names.end());
    const PreparedCatalogue catalogue(views);
    int compared = 0, found = 0;
    for (int q = 0; q < 60; ++q) {
        const std::string query = q % 4 == 0 ? names[next(names.size())] : word() + " " + word();
        for (const double least : {0.0, 0.7, 0.9}) {
            // Every third entry (shifted per query) counts as scored already.
            const std::uint32_t skip = next(3);
            std::vector<int> asked(names.size(), 0);
            const std::function<bool(std::size_t)> admit = [&](std::size_t k) { return ++asked[k], k % 3 != skip; };
            const auto got = catalogue.best_entry(query, least, admit);
            std::optional<std::pair<double, std::size_t>> want, want_all;
            for (std::size_t k = 0; k < names.size(); ++k) {
                const double s = jaro_winkler_similarity(query, names[k]);
                if (s < least) continue;
                if (!want_all || s > want_all->first) want_all.emplace(s, k);
                if (k % 3 != skip && (!want || s > want->first)) want.emplace(s, k);
            }
            CHECK(got == want);
            CHECK(catalogue.best_entry(query, least) == want_all);
            // Each entry is asked once at most.
            CHECK(std::all_of(asked.begin(), asked.end(), [](int n) { return n <= 1; }));
            compared += 1;
            found += got.has_value();
        }
    }
    CHECK(compared == 180 && found > 60);
}
