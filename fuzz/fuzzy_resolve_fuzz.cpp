// Compares the pruned resolver with scoring and ranking every entry on
// arbitrary input: the first three bytes pick the limit, the threshold and
// the gap (mostly scores and differences of scores that occur, so that the
// decisions fall on their boundaries), the rest splits at newlines into the
// name and the catalogue, made valid UTF-8 as the binding guarantees.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "fuzzy_reference.hpp"
#include "common/utf8.hpp"
#include "fuzzy/resolve.hpp"

namespace {

std::string valid_utf8(std::string_view in) {
    std::string out;
    for (std::size_t i = 0; i < in.size();) {
        std::size_t len = std::min<std::size_t>(4, in.size() - i);
        while (len > 0 && !zemo::utf8::is_valid(in.substr(i, len))) --len;
        out += len > 0 ? in.substr(i, len) : "?";
        i += len > 0 ? len : 1;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zemo::fuzzy;
    if (size < 3) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data + 3), size - 3);
    std::vector<std::string> pieces;
    for (std::size_t at = 0;;) {
        const std::size_t nl = rest.find('\n', at);
        pieces.push_back(valid_utf8(rest.substr(at, nl == std::string_view::npos ? nl : nl - at)));
        if (nl == std::string_view::npos) break;
        at = nl + 1;
    }
    const std::string name = pieces.front();
    const std::vector<std::string> catalog(pieces.begin() + 1, pieces.end());

    std::vector<std::pair<std::size_t, double>> ranked;
    for (std::size_t i = 0; i < catalog.size(); ++i) ranked.emplace_back(i, reference::jaro_winkler(name, catalog[i]));
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& x, const auto& y) { return x.second > y.second; });
    const auto score = [&](std::uint8_t b) { return ranked.empty() ? 0.5 : ranked[b % ranked.size()].second; };

    const std::uint64_t limits[] = {0, 1, 2, 5};
    ResolveOptions o;
    o.limit = limits[data[0] % 4];
    o.threshold = data[1] < 128 ? score(data[1]) : (data[1] - 128) / 127.0;
    o.ambiguity = data[2] < 128 ? std::abs(score(data[2]) - score(data[2] >> 3)) : (data[2] - 128) / 512.0;
    if (data[1] % 3 == 1) o.threshold = std::nextafter(o.threshold, 2.0);
    if (data[2] % 3 == 1) o.ambiguity = std::nextafter(o.ambiguity, -1.0);

    std::optional<std::size_t> expected;
    if (!ranked.empty()) {
        const std::size_t k = std::min<std::size_t>(std::max<std::uint64_t>(o.limit, 1), ranked.size());
        const bool rejected = ranked[0].second < o.threshold ||
                              (k > 1 && std::abs(ranked[0].second - ranked[1].second) < o.ambiguity);
        if (!rejected) expected = ranked[0].first;
    }
    const std::vector<std::string_view> views(catalog.begin(), catalog.end());
    if (PreparedCatalogue(views).resolve_position(name, o) != expected) std::abort();
    return 0;
}
