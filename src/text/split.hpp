#pragma once
// Splitting a combined artist field into individual artist names.

#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace zemo::text {

// Match forms of known artists; the views must outlive the call.
using KnownArtists = std::unordered_set<std::string_view>;

// Absent when the name is not taken for a multi-artist entry.
std::optional<std::vector<std::string>> split_artist_name(std::string_view name);
std::optional<std::vector<std::string>> try_ampersand_split(std::string_view s, const KnownArtists& known);
std::optional<std::vector<std::string>> split_artist_name_contextual(std::string_view name,
                                                                      const KnownArtists& known);

}  // namespace zemo::text
