// The resolver's one-pass top-two selection against ranking the whole
// catalogue with a stable sort.

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "fuzzy/resolve.hpp"
#include "fuzzy_reference.hpp"

using namespace zemo::fuzzy;

namespace {

std::optional<std::string> ranked(std::string_view name, const std::vector<std::string_view>& catalog,
                                  const ResolveOptions& o) {
    if (catalog.empty()) return std::nullopt;
    std::vector<std::pair<std::size_t, double>> scored;
    for (std::size_t i = 0; i < catalog.size(); ++i) scored.emplace_back(i, reference::jaro_winkler(name, catalog[i]));
    std::stable_sort(scored.begin(), scored.end(), [](const auto& x, const auto& y) { return x.second > y.second; });
    const std::size_t k = std::min<std::size_t>(std::max<std::uint64_t>(o.limit, 1), scored.size());
    scored.resize(k);
    if (scored[0].second < o.threshold) return std::nullopt;
    if (k > 1 && std::abs(scored[0].second - scored[1].second) < o.ambiguity) return std::nullopt;
    return std::string(catalog[scored[0].first]);
}

}  // namespace

TEST(fuzzy_resolve_matches_ranking) {
    std::mt19937_64 rng(3);
    const char* alphabet[] = {"a", "b", "c", "d", " ", "\u00e9", "\u4e2d"};
    auto word = [&](std::size_t max_len) {
        std::string s;
        const std::size_t n = rng() % max_len;
        for (std::size_t i = 0; i < n; ++i) s += alphabet[rng() % 7];
        return s;
    };
    int accepted = 0, rejected = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<std::string> owned;
        const std::size_t size = rng() % 40;
        for (std::size_t i = 0; i < size; ++i)
            owned.push_back(i > 0 && rng() % 6 == 0 ? owned[rng() % i] : word(round % 3 == 0 ? 80 : 10));
        const std::vector<std::string_view> catalog(owned.begin(), owned.end());
        const double gaps[] = {0.0, 0.02, 0.1, -0.5};
        const ResolveOptions o{static_cast<double>(rng() % 10) / 10.0, rng() % 4, gaps[rng() % 4]};
        for (int q = 0; q < 10; ++q) {
            const std::string name = q < 3 && size > 0 ? owned[rng() % size] : word(12);
            const auto expected = ranked(name, catalog, o);
            CHECK(resolve_one(name, catalog, o) == expected);
            (expected ? accepted : rejected)++;
        }
    }
    CHECK(accepted > 200 && rejected > 200);
}
