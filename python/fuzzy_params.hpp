#pragma once
// Parameters the `fuzzy` functions share with the prepared indexes of `_ext`,
// their defaults read from the library's own.

#include "fuzzy/resolve.hpp"
#include "fuzzy/thresholds.hpp"
#include "shell.hpp"

namespace zemo::py {

inline constexpr fuzzy::ResolveOptions kResolveDefaults{};
inline constexpr fuzzy::ClassifyThresholds kClassifyDefaults{};

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

}  // namespace zemo::py
