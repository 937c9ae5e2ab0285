#include "text/split.hpp"

#include <algorithm>
#include <array>

#include "common/ascii.hpp"
#include "text/forms.hpp"
#include "text/identity_detail.hpp"

namespace zemo::text {

namespace {

using Views = std::vector<std::string_view>;

// Cuts `s` at every occurrence of `sep`, left to right, and trims each piece;
// empty pieces stay.
Views split_trimmed(std::string_view s, std::string_view sep) {
    Views pieces;
    std::size_t start = 0;
    for (std::size_t at; (at = s.find(sep, start)) != std::string_view::npos; start = at + sep.size()) {
        pieces.push_back(detail::trim_white_space(s.substr(start, at - start)));
    }
    pieces.push_back(detail::trim_white_space(s.substr(start)));
    return pieces;
}

bool is_digits_and_commas(std::string_view piece) noexcept {
    return !piece.empty() &&
           std::all_of(piece.begin(), piece.end(), [](char c) { return ascii::is_digit(c) || c == ','; });
}

// An ordered list that keeps the first occurrence of each value. Lists are
// short, so a linear scan serves until one grows long.
class UniqueViews {
public:
    void add(std::string_view v) {
        if (index_.empty() && items_.size() < kLinearLimit) {
            if (std::find(items_.begin(), items_.end(), v) == items_.end()) items_.push_back(v);
            return;
        }
        if (index_.empty()) index_.insert(items_.begin(), items_.end());
        if (index_.insert(v).second) items_.push_back(v);
    }
    const Views& items() const { return items_; }
    Views take() && { return std::move(items_); }

private:
    static constexpr std::size_t kLinearLimit = 16;
    Views items_;
    std::unordered_set<std::string_view> index_;
};

std::vector<std::string> to_strings(const Views& views) {
    return std::vector<std::string>(views.begin(), views.end());
}

// The context-free split, as views into `name`.
std::optional<Views> split_views(std::string_view name) {
    const std::string_view t = detail::trim_white_space(name);
    if (t.empty()) return std::nullopt;
    static constexpr std::array<std::string_view, 3> kSeparators{", ", " / ", " + "};
    for (const std::string_view sep : kSeparators) {
        if (t.find(sep) == std::string_view::npos) continue;
        Views pieces = split_trimmed(t, sep);
        if (pieces.size() < 2) continue;
        if (sep == ", ") {
            // A number with thousands separators, not a list of artists.
            if (std::any_of(pieces.begin(), pieces.end(), is_digits_and_commas)) continue;
            std::string_view& last = pieces.back();
            if (last.size() >= 4 &&
                (last.starts_with("and ") || last.starts_with("And ") || last.starts_with("AND "))) {
                last = detail::trim_white_space(last.substr(4));
            }
        }
        UniqueViews out;
        for (const std::string_view piece : pieces) {
            if (piece.size() >= 2) out.add(piece);
        }
        if (out.items().empty()) return std::nullopt;
        return std::move(out).take();
    }
    return std::nullopt;
}

std::optional<Views> ampersand_views(std::string_view s, const KnownArtists& known) {
    if (s.find(" & ") == std::string_view::npos) return std::nullopt;
    Views pieces = split_trimmed(s, " & ");
    if (pieces.size() < 2 || known.empty()) return std::nullopt;
    const bool any_known = std::any_of(pieces.begin(), pieces.end(), [&known](std::string_view piece) {
        return known.contains(to_match_form(piece));
    });
    if (!any_known) return std::nullopt;
    std::erase_if(pieces, [](std::string_view piece) { return piece.size() < 2; });
    if (pieces.size() < 2) return std::nullopt;
    return pieces;
}

}  // namespace

std::optional<std::vector<std::string>> split_artist_name(std::string_view name) {
    std::optional<Views> views = split_views(name);
    if (!views) return std::nullopt;
    return to_strings(*views);
}

std::optional<std::vector<std::string>> try_ampersand_split(std::string_view s, const KnownArtists& known) {
    std::optional<Views> views = ampersand_views(s, known);
    if (!views) return std::nullopt;
    return to_strings(*views);
}

std::optional<std::vector<std::string>> split_artist_name_contextual(std::string_view name,
                                                                      const KnownArtists& known) {
    std::optional<Views> parts = split_views(name);
    if (!parts) return try_ampersand_split(detail::trim_white_space(name), known);
    UniqueViews combined;
    for (const std::string_view part : *parts) {
        if (std::optional<Views> pieces = ampersand_views(part, known)) {
            for (const std::string_view piece : *pieces) combined.add(piece);
        } else {
            combined.add(part);
        }
    }
    return to_strings(combined.items());
}

}  // namespace zemo::text
