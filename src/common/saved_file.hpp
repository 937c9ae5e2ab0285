#pragma once
// The bytes of a saved index or catalogue file, to read arrays from in
// place: read into private memory, never mapped, so that whoever can write
// the file (another user, or this one) rewriting or truncating it while it is
// in use cannot change what was checked or end the process with SIGBUS.

#include <cstddef>
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

// Asks the system to back the whole 2 MiB pages inside [data, data + bytes)
// with huge pages now, moving what they hold: the arrays of an index built
// in memory are then read with as few TLB misses as a loaded one's. A hint
// only: nothing changes where the system declines.
void back_with_huge_pages(const void* data, std::size_t bytes);

}  // namespace zemo
