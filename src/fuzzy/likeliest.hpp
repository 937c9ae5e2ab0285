#pragma once
// The library entry a person should compare a release with: of the entries
// an explanation names (the best of each measure), the one with the best
// mean of the three scores computed against that one entry. The best entry
// of one measure alone can be far from the release on the others.

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "fuzzy/explain.hpp"

namespace zemo::fuzzy {

// `artist` and `title` in match form, as explain_release takes them; the
// position in the index's pairs, or nothing when the explanation names no entry.
std::optional<std::uint32_t> likeliest_entry(std::string_view artist, std::string_view title,
                                             const LibraryIndex& index, const ClassifyThresholds& thresholds,
                                             const Explanation& explained);

// The same for each release of batch_explain_releases (artists and titles
// as given, converted to match forms here), on the worker pool.
std::vector<std::optional<std::uint32_t>> batch_likeliest_entries(const std::vector<std::string_view>& artists,
                                                                  const std::vector<std::string_view>& titles,
                                                                  const LibraryIndex& index,
                                                                  const ClassifyThresholds& thresholds,
                                                                  const std::vector<Explanation>& explained);

}  // namespace zemo::fuzzy
