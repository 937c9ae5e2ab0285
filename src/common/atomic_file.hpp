#pragma once
// Replacing a file so that readers see the old contents or the new, never a
// mix: the new contents go to a temporary file in the same folder, are
// flushed to disk and renamed over the target, and the folder is synced.

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zemo {

// Errors carry the system's message with what was being done as context.
Status replace_file_atomically(const std::string& path, std::string_view contents);

}  // namespace zemo
