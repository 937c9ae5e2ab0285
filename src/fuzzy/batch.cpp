#include "fuzzy/batch.hpp"

#include <algorithm>
#include <string>

#include "common/interrupt.hpp"
#include "fuzzy/pool.hpp"
#include "text/forms.hpp"

namespace zemo::fuzzy {

std::vector<bool> batch_filter_artists(const std::vector<std::string_view>& names, const StringSet& library) {
    std::vector<bool> out(names.size());
    std::string form;  // one buffer for every name's match form
    for_each_block_polled(names.size(), [&](std::size_t begin, std::size_t end) {
        std::size_t bytes = 0;
        for (std::size_t i = begin; i < end; ++i) {
            bytes += names[i].size();
            form.clear();
            text::append_match_form(names[i], form);
            out[i] = library.contains(form);
        }
        return bytes + 64 * (end - begin);
    });
    return out;
}

std::vector<Classification> batch_classify_releases(const std::vector<std::string_view>& artists,
                                                    const std::vector<std::string_view>& titles,
                                                    const LibraryIndex& index,
                                                    const ClassifyThresholds& thresholds) {
    return over_releases<Classification>(artists, titles, [&](std::string_view artist, std::string_view title) {
        return classify_release(artist, title, index, thresholds);
    });
}

}  // namespace zemo::fuzzy
