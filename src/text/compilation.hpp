#pragma once

#include <string_view>

namespace zemo::text {

// Whether an artist name marks a compilation or soundtrack rather than an artist.
bool is_compilation_artist(std::string_view name);

}  // namespace zemo::text
