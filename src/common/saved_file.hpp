#pragma once
// The bytes of a saved index or catalogue file, to read arrays from in
// place. A file only this user can change is mapped (shared pages, no copy);
// one that another user owns or can write (mode bits or an access ACL) is
// read into private memory first, so that its owner rewriting or truncating
// it while it is in use cannot change what was checked or end the process
// with SIGBUS.

#include <memory>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zemo {

struct SavedFileBytes {
    std::string_view bytes;
    std::shared_ptr<const void> keep;  // the mapping or the copy
    bool copied = false;
};

// Errors: "cannot open <path>", "cannot mmap <path>" or "cannot read
// <path>", with the system error ("... (os error N)") as their cause.
Result<SavedFileBytes> open_saved_file(const std::string& path);

}  // namespace zemo
