#pragma once
// File access for the state file: reading it whole as UTF-8 text, and
// replacing it atomically and durably through a temporary file.

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zemo::state {

// The whole file as text. Fails on a missing or unreadable file, on anything
// but a regular file (a directory, or a FIFO that would block the caller) and
// on invalid UTF-8. The error carries the system's reason, without context.
Result<std::string> read_utf8_file(const std::string& path);

// The stem of the file written before the rename onto `path` (which adds
// "-" and random letters to it): the extension of the last
// component replaced with "tmp" (state.json -> state.tmp), or ".tmp" appended
// when it has none (state -> state.tmp, .state -> .state.tmp). A target that
// already ends in ".tmp" gets ".tmp" appended (state.tmp -> state.tmp.tmp), so
// the target is never truncated in place. A path without a file name (empty,
// ".", "..", "/") is returned unchanged; writing to it fails.
std::string temp_path_for(std::string_view path);

// Writes `contents` to a new temporary file beside `path` (mode 0600, see
// common/atomic_file.hpp), flushes it to stable storage, renames it onto
// `path` and flushes the containing directory, so that after a power loss
// `path` holds either the old or the new complete file. Failures carry the
// messages "writing temp state file <temp>", "renaming <temp> to <path>" or
// "syncing directory <dir>"; the target stays untouched by the first two, and
// the temporary file is removed.
Status replace_file(const std::string& path, std::string_view contents);

}  // namespace zemo::state
