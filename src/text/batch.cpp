#include "text/batch.hpp"

#include <algorithm>
#include <cstring>

#include "common/interrupt.hpp"
#include "text/forms.hpp"

namespace zemo::text {

namespace detail {

// The bytes a column of the forms of `inputs` starts with. The forms rarely
// grow text; transliteration may, and then the buffer grows as a string does.
std::size_t column_bytes(std::span<const std::string_view> inputs) {
    std::size_t total = 0;
    for (std::string_view s : inputs) total += s.size();
    return total + total / 8;
}

template <void (*AppendForm)(std::string_view, std::string&)>
TextColumn map_all(std::span<const std::string_view> inputs) {
    TextColumn out;
    out.ends.reserve(inputs.size());
    out.bytes.reserve(column_bytes(inputs));
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

// map_all for the forms whose form of ASCII text is its ASCII match form;
// AppendNonAscii appends the form of other text. The column's buffer is sized
// once and ASCII text written straight into it; other text is appended to a
// scratch string and copied in. So the common case costs no call into the
// string's library code (libc++ compiles its resize and append out of line).
template <void (*AppendNonAscii)(std::string_view, std::string&)>
TextColumn map_all_ascii_first(std::span<const std::string_view> inputs) {
    TextColumn out;
    out.ends.resize(inputs.size());
    std::string& bytes = out.bytes;
    bytes.resize(column_bytes(inputs));
    // The buffer's start and size are kept apart from the string, whose
    // accessors test for a short string at every call.
    char* data = bytes.data();
    std::size_t size = bytes.size();
    std::size_t used = 0;
    std::string scratch;
    // Room for `n` bytes after `used`; doubling, as a string grows.
    auto room = [&](std::size_t n) {
        if (size - used < n) {
            bytes.resize(std::max(used + n, 2 * size));
            data = bytes.data();
            size = bytes.size();
        }
        return data + used;
    };
    for_each_block_polled(inputs.size(), [&](std::size_t begin, std::size_t end) {
        const std::size_t before = used;
        for (std::size_t i = begin; i < end; ++i) {
            const std::string_view s = inputs[i];
            std::size_t n = write_ascii_match_form(s, room(s.size()));
            if (n == kNotAscii) {
                scratch.clear();
                AppendNonAscii(s, scratch);
                n = scratch.size();
                std::memcpy(room(n), scratch.data(), n);
            }
            used += n;
            out.ends[i] = used;
        }
        return 4 * (used - before) + 64 * (end - begin);  // a few times a copy per byte
    });
    bytes.resize(used);
    return out;
}

}  // namespace detail

TextColumn batch_to_storage_form(std::span<const std::string_view> inputs) {
    return detail::map_all<&append_storage_form>(inputs);
}

TextColumn batch_to_match_form(std::span<const std::string_view> inputs) {
    return detail::map_all_ascii_first<&detail::append_match_form_of_non_ascii>(inputs);
}

TextColumn batch_to_ascii_form(std::span<const std::string_view> inputs) {
    return detail::map_all_ascii_first<&detail::append_ascii_form_of_non_ascii>(inputs);
}

}  // namespace zemo::text
