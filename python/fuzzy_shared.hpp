#pragma once
// What the `fuzzy` functions share with the prepared indexes of `_ext`: the
// parameters, their defaults read from the library's own, and the checks and
// conversions of their calls.

#include <optional>
#include <string>
#include <vector>

#include "fuzzy/batch.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/resolve.hpp"
#include "fuzzy/thresholds.hpp"
#include "shell.hpp"

namespace zemo::py {

inline constexpr fuzzy::ResolveOptions kResolveDefaults{};
inline constexpr fuzzy::ClassifyThresholds kClassifyDefaults{};

inline constexpr Param kResolveThreshold = {
    .name = "threshold", .kind = Kind::Float, .has_default = true, .default_float = kResolveDefaults.threshold};
inline constexpr Param kResolveLimit = {
    .name = "limit", .kind = Kind::Unsigned, .has_default = true, .default_unsigned = kResolveDefaults.limit};
inline constexpr Param kResolveAmbiguity = {
    .name = "ambiguity_threshold", .kind = Kind::Float, .has_default = true,
    .default_float = kResolveDefaults.ambiguity};

// The classifier's thresholds as keyword parameters, in ClassifyThresholds order.
inline constexpr Param kThresholdParams[] = {
    {.name = "token_set_keep", .kind = Kind::Float, .has_default = true,
     .default_float = kClassifyDefaults.token_set_keep},
    {.name = "token_sort_keep", .kind = Kind::Float, .has_default = true,
     .default_float = kClassifyDefaults.token_sort_keep},
    {.name = "two_stage_keep", .kind = Kind::Float, .has_default = true,
     .default_float = kClassifyDefaults.two_stage_keep},
    {.name = "artist_gate", .kind = Kind::Float, .has_default = true, .default_float = kClassifyDefaults.artist_gate},
    {.name = "review_floor", .kind = Kind::Float, .has_default = true,
     .default_float = kClassifyDefaults.review_floor},
};

// The releases of parameters 0 (artists) and 1 (titles) classified against
// index(), which is asked for only once the two lists are known to pair up.
template <typename GetIndex>
PyObject* classify_releases(const Call& c, GetIndex index, const fuzzy::ClassifyThresholds& thresholds) {
    const std::vector<std::string_view>& artists = c.text_list(0);
    const std::vector<std::string_view>& titles = c.text_list(1);
    if (artists.size() != titles.size()) raise(PyExc_ValueError, "artists and titles must have the same length");
    const std::vector<fuzzy::Classification> results =
        fuzzy::batch_classify_releases(artists, titles, index(), thresholds);
    return list(results, [](fuzzy::Classification r) { return str(fuzzy::to_string(r)); });
}

// The threshold, limit and ambiguity_threshold parameters from `first` on.
// Without a ranked candidate there is no best entry to look at, so a limit of
// 0 is refused unless the catalogue is empty.
inline fuzzy::ResolveOptions resolve_options(const Call& c, std::size_t first, bool empty_catalogue) {
    const fuzzy::ResolveOptions options{
        .threshold = c.number(first), .limit = c.count(first + 1), .ambiguity = c.number(first + 2)};
    if (options.limit == 0 && !empty_catalogue) raise(PyExc_ValueError, "limit must be at least 1");
    return options;
}

inline PyObject* resolved_list(const std::vector<std::optional<std::string>>& resolved) {
    return list(resolved, [](const std::optional<std::string>& r) { return r ? str(*r) : none(); });
}

}  // namespace zemo::py
