#pragma once
// The keep/prune/review classification of one release against the library
// index (library_index.hpp). Any number of threads may classify against
// one index at once.

#include <cstdint>
#include <string>
#include <string_view>

#include "fuzzy/library_index.hpp"
#include "fuzzy/thresholds.hpp"

namespace zemo::fuzzy {

enum class Classification : std::uint8_t { Keep, Prune, Review };

// "keep", "prune" or "review".
std::string_view to_string(Classification c) noexcept;

// The best library artist (the two-stage score's search) of the artist one
// thread asked about last, within one pass over releases against one index
// and thresholds: releases of one artist, taken one after another, search
// the library's artists once. Owned by that pass, never shared.
struct ArtistMemo {
    std::string artist;
    double best = 0.0;
    std::uint32_t at = 0;
    bool set = false;
};

// Classifies one release whose artist and title are already match forms.
// `memo`, where given, must come from a pass with this index and thresholds.
Classification classify_release(std::string_view artist, std::string_view title, const LibraryIndex& index,
                                const ClassifyThresholds& thresholds, ArtistMemo* memo = nullptr);

}  // namespace zemo::fuzzy
