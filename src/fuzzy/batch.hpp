#pragma once
// The per-name and per-release operations over whole lists.

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "fuzzy/classify.hpp"

namespace zemo::fuzzy {

// Hash set of strings that finds std::string_view keys without copying them.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};
using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;

// For each name, whether its match form is an element of `library`.
std::vector<bool> batch_filter_artists(const std::vector<std::string_view>& names, const StringSet& library);

// Classifies each (artists[i], titles[i]) after converting both to match
// forms, on the worker pool; one result per position of the shorter list.
std::vector<Classification> batch_classify_releases(const std::vector<std::string_view>& artists,
                                                    const std::vector<std::string_view>& titles,
                                                    const LibraryIndex& index,
                                                    const ClassifyThresholds& thresholds);

}  // namespace zemo::fuzzy
