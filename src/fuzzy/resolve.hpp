#pragma once
// Resolving free-text names against a catalogue by Jaro-Winkler similarity:
// the best entry wins if it reaches the threshold and is not nearly tied
// with the runner-up.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzy/catalogue.hpp"
#include "fuzzy/thresholds.hpp"

namespace zemo::fuzzy {

// One name against the catalogue, as batch_fuzzy_resolve answers it.
std::optional<std::string> resolve_one(std::string_view name, const std::vector<std::string_view>& catalog,
                                       const ResolveOptions& options);

// Prepares the catalogue (see PreparedCatalogue) and resolves every name
// against it.
std::vector<std::optional<std::string>> batch_fuzzy_resolve(const std::vector<std::string_view>& names,
                                                            const std::vector<std::string_view>& catalog,
                                                            const ResolveOptions& options);

}  // namespace zemo::fuzzy
