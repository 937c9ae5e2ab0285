#pragma once
// The per-name and per-release operations over whole lists.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/string_set.hpp"
#include "common/interrupt.hpp"
#include "fuzzy/chars.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/pool.hpp"
#include "text/forms.hpp"

namespace zemo::fuzzy {

// For each name, whether its match form is an element of `library`.
std::vector<bool> batch_filter_artists(const std::vector<std::string_view>& names, const StringSet& library);

// per_release(match form of artists[i], match form of titles[i], memo), each
// cut to its compared prefix (detail::compared_prefix), for each position of
// the shorter list, on the worker pool. The releases are taken in the order
// of their artists' bytes, so that those of one artist follow each other and
// share the memo of the range they fall in.
template <class Result, class PerRelease>
std::vector<Result> over_releases(const std::vector<std::string_view>& artists,
                                  const std::vector<std::string_view>& titles, PerRelease&& per_release) {
    const std::size_t n = std::min(artists.size(), titles.size());
    std::vector<std::uint32_t> order(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) { return artists[x] < artists[y]; });
    std::vector<Result> out(n);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        ArtistMemo memo;
        for (std::size_t k = begin; k < end; ++k) {
            interruption_point();  // a release is heavy enough to poll each time
            const std::size_t i = order[k];
            const std::string artist = text::to_match_form(artists[i]), title = text::to_match_form(titles[i]);
            out[i] = per_release(detail::compared_prefix(artist), detail::compared_prefix(title), memo);
        }
    });
    return out;
}

// Classifies each (artists[i], titles[i]) after converting both to match
// forms, on the worker pool; one result per position of the shorter list.
std::vector<Classification> batch_classify_releases(const std::vector<std::string_view>& artists,
                                                    const std::vector<std::string_view>& titles,
                                                    const LibraryIndex& index,
                                                    const ClassifyThresholds& thresholds);

}  // namespace zemo::fuzzy
