#pragma once
// Replacing a file so that readers see the old contents or the new, never a
// mix: the new contents go to a temporary file in the same folder, are
// flushed to disk and renamed over the target, and the folder is synced.
//
// A temporary file gets a name nobody can guess and is created only if
// nothing exists under that name (O_EXCL, O_NOFOLLOW), so a file or link
// another user planted in a shared folder is never opened, followed or
// reused. It is created with mode 0600; the rename keeps that mode, so the
// files written this way are readable by their owner only.

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zemo {

// Creates a new file named `prefix` followed by random letters and digits,
// writes `contents` and flushes them to stable storage. `temp` receives the
// file's name (on failure, the name tried last). A file it cannot complete
// is removed again. Errors carry the system's message.
Status write_temp_file(std::string_view prefix, std::string_view contents, std::string& temp);

// Renames `temp` over `path`; removes `temp` when that fails.
Status rename_temp_file(const std::string& temp, const std::string& path);

// The folder holding the last component of `path` ("." when it has none).
std::string parent_folder(std::string_view path);

// Flushes the folder holding `path`, so that a rename in it is durable.
// Folders that cannot be opened, or whose filesystem cannot sync a folder
// (EINVAL), are left alone: there is nothing more to ask for there.
Status sync_parent_folder(std::string_view path);

// The three steps above, with the temporary file named `path` + ".tmp-" +
// random letters. Errors carry the system's message with what was being done
// as context.
Status replace_file_atomically(const std::string& path, std::string_view contents);

}  // namespace zemo
