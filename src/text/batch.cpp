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
    InterruptPoller poller;
    for (std::string_view s : inputs) {
        poller.tick(4 * s.size() + 64);  // the forms cost a few times a copy per byte
        AppendForm(s, out.bytes);
        out.ends.push_back(out.bytes.size());
    }
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
