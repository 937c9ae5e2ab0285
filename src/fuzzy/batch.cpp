#include "fuzzy/batch.hpp"

#include <algorithm>
#include <string>

#include "common/interrupt.hpp"
#include "fuzzy/pool.hpp"
#include "text/forms.hpp"

namespace zemo::fuzzy {

std::vector<bool> batch_filter_artists(const std::vector<std::string_view>& names, const StringSet& library) {
    std::vector<bool> out(names.size());
    // One buffer for every name's match form, written through a pointer when
    // the name is ASCII.
    std::string form, other;
    for_each_block_polled(names.size(), [&](std::size_t begin, std::size_t end) {
        std::size_t bytes = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const std::string_view name = names[i];
            bytes += name.size();
            if (form.size() < name.size()) form.resize(2 * name.size());
            const std::size_t n = text::detail::write_ascii_match_form(name, form.data());
            if (n != text::detail::kNotAscii) {
                out[i] = library.contains(std::string_view(form.data(), n));
                continue;
            }
            other.clear();
            text::detail::append_match_form_of_non_ascii(name, other);
            out[i] = library.contains(other);
        }
        return bytes + 64 * (end - begin);
    });
    return out;
}

std::vector<Classification> batch_classify_releases(const std::vector<std::string_view>& artists,
                                                    const std::vector<std::string_view>& titles,
                                                    const LibraryIndex& index,
                                                    const ClassifyThresholds& thresholds) {
    return over_releases<Classification>(artists, titles,
                                         [&](std::string_view artist, std::string_view title, ArtistMemo& memo) {
                                             return classify_release(artist, title, index, thresholds, &memo);
                                         });
}

}  // namespace zemo::fuzzy
