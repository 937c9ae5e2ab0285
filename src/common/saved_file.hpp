#pragma once
// The bytes of a saved index or catalogue file, to read arrays from in
// place: read into private memory, never mapped, so that whoever can write
// the file (another user, or this one) rewriting or truncating it while it is
// in use cannot change what was checked or end the process with SIGBUS.

#include <memory>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace zemo {

struct SavedFileBytes {
    std::string_view bytes;
    std::shared_ptr<const void> keep;  // the memory read into
};

// Errors: "cannot open <path>", "cannot mmap <path>" or "cannot read
// <path>", with the system error ("... (os error N)") as their cause.
Result<SavedFileBytes> open_saved_file(const std::string& path);

}  // namespace zemo
