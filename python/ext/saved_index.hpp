#pragma once
// What the prepared indexes of `_ext` (index.cpp, careful.cpp) share: their
// thresholds read from a call, and loading and saving their files.

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/atomic_file.hpp"
#include "common/saved_file.hpp"
#include "common/sections.hpp"
#include "fuzzy/thresholds.hpp"
#include "shell.hpp"

namespace zemo::py::ext {

// The thresholds from the parameters at `first` onwards (kThresholdParams);
// ValueError unless they can classify.
inline fuzzy::ClassifyThresholds thresholds_of(const Call& c, std::size_t first) {
    const fuzzy::ClassifyThresholds thresholds{.token_set_keep = c.number(first),
                                               .token_sort_keep = c.number(first + 1),
                                               .two_stage_keep = c.number(first + 2),
                                               .artist_gate = c.number(first + 3),
                                               .review_floor = c.number(first + 4)};
    if (auto why = fuzzy::invalid_thresholds(thresholds)) raise(PyExc_ValueError, *why);
    return thresholds;
}

// Loading and saving run without the interpreter lock (see LockReleased),
// on inputs copied out of the arguments first; any Python object, exception
// included, is made once the lock is back.

// Bytes of a pickle are copied to storage of their own, aligned for the arrays.
template <typename Index>
Index index_from_bytes(std::string_view data) {
    std::shared_ptr<const char> copy = aligned_copy(data);
    auto index = without_lock([&] { return Index::from_bytes(std::string_view(copy.get(), data.size()), copy); });
    if (!index) raise_error(index.error());
    return std::move(index).value();
}

template <typename Index>
Index index_from_file(const std::string& path) {
    auto index = without_lock([&]() -> Result<Index> {
        auto file = open_saved_file(path);
        if (!file) return file.error();
        auto read = Index::from_bytes(file.value().bytes, std::move(file.value().keep));
        if (!read) return std::move(read).error().on_path(path);
        return read;
    });
    if (!index) raise_error(index.error());
    return std::move(index).value();
}

template <typename Index>
void save_index(const Index& index, const std::string& path) {
    if (Status saved = without_lock([&] { return replace_file_atomically(path, index.to_bytes()); }); !saved) {
        raise_error(saved.error());
    }
}

}  // namespace zemo::py::ext
