#pragma once
// Batch forms: element i of the result is the single form of element i. The
// results share one buffer, so a column costs a few allocations, not one per
// row.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zemo::text {

// Strings packed end to end: element i is bytes[ends[i - 1], ends[i]).
struct TextColumn {
    std::string bytes;
    std::vector<std::size_t> ends;

    std::size_t size() const noexcept { return ends.size(); }
    std::string_view operator[](std::size_t i) const noexcept {
        const std::size_t begin = i == 0 ? 0 : ends[i - 1];
        return std::string_view(bytes).substr(begin, ends[i] - begin);
    }
};

TextColumn batch_to_storage_form(std::span<const std::string_view> inputs);
TextColumn batch_to_match_form(std::span<const std::string_view> inputs);
TextColumn batch_to_ascii_form(std::span<const std::string_view> inputs);

}  // namespace zemo::text
