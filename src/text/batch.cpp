#include "text/batch.hpp"

#include "common/interrupt.hpp"
#include "text/forms.hpp"

namespace zemo::text {

namespace detail {

template <void (*AppendForm)(std::string_view, std::string&)>
TextColumn map_all(std::span<const std::string_view> inputs) {
    TextColumn out;
    out.ends.reserve(inputs.size());
    std::size_t total = 0;
    for (std::string_view s : inputs) total += s.size();
    // The forms rarely grow text; transliteration may, and then the buffer
    // grows as a string does.
    out.bytes.reserve(total + total / 8);
    for_each_block_polled(inputs.size(), [&](std::size_t begin, std::size_t end) {
        const std::size_t before = out.bytes.size();
        for (std::size_t i = begin; i < end; ++i) {
            AppendForm(inputs[i], out.bytes);
            out.ends.push_back(out.bytes.size());
        }
        return 4 * (out.bytes.size() - before) + 64 * (end - begin);  // a few times a copy per byte
    });
    return out;
}

}  // namespace detail

TextColumn batch_to_storage_form(std::span<const std::string_view> inputs) {
    return detail::map_all<&append_storage_form>(inputs);
}

TextColumn batch_to_match_form(std::span<const std::string_view> inputs) {
    return detail::map_all<&append_match_form>(inputs);
}

TextColumn batch_to_ascii_form(std::span<const std::string_view> inputs) {
    return detail::map_all<&append_ascii_form>(inputs);
}

}  // namespace zemo::text
