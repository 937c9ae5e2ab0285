#include "fuzzy/likeliest.hpp"

#include <cmath>

#include "common/interrupt.hpp"
#include "fuzzy/metrics.hpp"
#include "fuzzy/pool.hpp"
#include "text/forms.hpp"

namespace zemo::fuzzy {

std::optional<std::uint32_t> likeliest_entry(std::string_view artist, std::string_view title,
                                             const LibraryIndex& index, const ClassifyThresholds& thresholds,
                                             const Explanation& explained) {
    std::optional<std::uint32_t> best;
    double best_mean = -1.0;
    const std::string key = combined_key(artist, title);
    for (const MeasureBest* m : {&explained.token_set, &explained.token_sort, &explained.two_stage}) {
        for (const std::uint32_t i : m->entries) {
            if (best == i) continue;
            const auto [a, t] = index.pair(i);
            const double jw = jaro_winkler_similarity(artist, a);
            const double two_stage = jw >= thresholds.artist_gate ? std::sqrt(jw * jaro_winkler_similarity(title, t)) : 0.0;
            const std::string_view theirs = index.combined(i);
            const double mean = (token_set_ratio(key, theirs) + token_sort_ratio(key, theirs) + two_stage) / 3.0;
            // Ties go to the entry first in library order.
            if (mean > best_mean || (mean == best_mean && i < *best)) {
                best = i;
                best_mean = mean;
            }
        }
    }
    return best;
}

std::vector<std::optional<std::uint32_t>> batch_likeliest_entries(const std::vector<std::string_view>& artists,
                                                                  const std::vector<std::string_view>& titles,
                                                                  const LibraryIndex& index,
                                                                  const ClassifyThresholds& thresholds,
                                                                  const std::vector<Explanation>& explained) {
    std::vector<std::optional<std::uint32_t>> out(explained.size());
    parallel_for(explained.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            interruption_point();
            const Explanation& e = explained[i];
            const auto first = [](const MeasureBest& m) { return m.entries.empty() ? -1 : std::int64_t{m.entries.front()}; };
            // One entry best on every measure needs no comparing.
            if (e.token_set.entries.size() <= 1 && e.token_sort.entries.size() <= 1 && e.two_stage.entries.size() <= 1 &&
                first(e.token_set) == first(e.token_sort) && first(e.token_sort) == first(e.two_stage)) {
                if (first(e.token_set) >= 0) out[i] = e.token_set.entries.front();
                continue;
            }
            const std::string artist = text::to_match_form(artists[i]), title = text::to_match_form(titles[i]);
            out[i] = likeliest_entry(detail::compared_prefix(artist), detail::compared_prefix(title), index, thresholds, e);
        }
    });
    return out;
}

}  // namespace zemo::fuzzy
