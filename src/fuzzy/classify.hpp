#pragma once
// The keep/prune/review classification of one release against the library
// index (library_index.hpp). Any number of threads may classify against
// one index at once.

#include <cstdint>
#include <string_view>

#include "fuzzy/library_index.hpp"
#include "fuzzy/thresholds.hpp"

namespace zemo::fuzzy {

enum class Classification : std::uint8_t { Keep, Prune, Review };

// "keep", "prune" or "review".
std::string_view to_string(Classification c) noexcept;

// Classifies one release whose artist and title are already match forms.
Classification classify_release(std::string_view artist, std::string_view title, const LibraryIndex& index,
                                const ClassifyThresholds& thresholds);

}  // namespace zemo::fuzzy
