// libFuzzer target for the resolver: on a few names and a small catalogue
// built from the input, with threshold, limit and ambiguity picked by the
// input, batch_fuzzy_resolve gives what a plain rank-everything resolver
// over the reference Jaro-Winkler gives.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "fuzzy/resolve.hpp"
#include "fuzzy_reference.hpp"
#include "text/utf8.hpp"

namespace {

std::optional<std::string> plain_resolve(std::string_view name, const std::vector<std::string_view>& catalog,
                                         const zemo::fuzzy::ResolveOptions& o) {
    if (catalog.empty()) return std::nullopt;
    std::vector<std::pair<double, std::size_t>> ranked;
    for (std::size_t i = 0; i < catalog.size(); ++i)
        ranked.emplace_back(zemo::fuzzy::reference::jaro_winkler(name, catalog[i]), i);
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& x, const auto& y) { return x.first > y.first; });
    const std::size_t k = std::min<std::size_t>(std::max<std::uint64_t>(o.limit, 1), ranked.size());
    if (ranked[0].first < o.threshold) return std::nullopt;
    if (k >= 2 && std::fabs(ranked[0].first - ranked[1].first) < o.ambiguity) return std::nullopt;
    return std::string(catalog[ranked[0].second]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zemo;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    if (!text::utf8::is_valid(input)) return 0;
    fuzzy::ResolveOptions options;
    options.threshold = (fuzz::take_byte(input) % 21) / 20.0;
    options.limit = fuzz::take_byte(input) % 4;
    options.ambiguity = (fuzz::take_byte(input) % 11) / 100.0;
    const std::size_t names_count = 1 + fuzz::take_byte(input) % 4;
    const auto f = fuzz::fields(input, names_count + 12, 40);
    std::vector<std::string_view> names, catalog;
    for (std::size_t i = 0; i < f.size(); ++i) (i < names_count ? names : catalog).push_back(f[i]);
    const auto resolved = fuzzy::batch_fuzzy_resolve(names, catalog, options);
    fuzz::require(resolved.size() == names.size());
    for (std::size_t i = 0; i < names.size(); ++i) fuzz::require(resolved[i] == plain_resolve(names[i], catalog, options));
    return 0;
}
