#include "fuzzy/resolve.hpp"

#include <cmath>

#include "fuzzy/chars.hpp"
#include "fuzzy/kernels.hpp"

namespace zemo::fuzzy {
namespace {

using detail::CharSpan;

// The catalogue decoded once for all queries.
class Catalog {
public:
    explicit Catalog(const std::vector<std::string_view>& entries)
        : entries_(entries), spans_(entries.size()), histograms_(entries.size()) {
        // Latin-1 entries become one byte per character; the rest code points.
        std::vector<std::size_t> narrow_at(entries.size(), SIZE_MAX), wide_at(entries.size(), SIZE_MAX);
        std::vector<unsigned char> latin1;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string_view e = entries[i];
            if (detail::is_ascii(e)) {
                spans_[i] = {reinterpret_cast<const unsigned char*>(e.data()), nullptr, e.size()};
            } else if (detail::decode_latin1(e, latin1)) {
                narrow_at[i] = narrow_.size();
                narrow_.insert(narrow_.end(), latin1.begin(), latin1.end());
                spans_[i].size = latin1.size();
            } else {
                wide_at[i] = wide_.size();
                detail::decode_append(e, wide_);
                spans_[i].size = wide_.size() - wide_at[i];
            }
        }
        // Pointers into the buffers are taken once they have stopped growing.
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (narrow_at[i] != SIZE_MAX) spans_[i].narrow = narrow_.data() + narrow_at[i];
            if (wide_at[i] != SIZE_MAX) spans_[i].wide = wide_.data() + wide_at[i];
            histograms_[i] = detail::visit(spans_[i], [](const auto* s, std::size_t n) {
                return detail::Histogram::of(s, n);
            });
        }
    }

    std::size_t size() const { return spans_.size(); }
    const CharSpan& chars(std::size_t i) const { return spans_[i]; }
    const detail::Histogram& histogram(std::size_t i) const { return histograms_[i]; }
    std::string_view entry(std::size_t i) const { return entries_[i]; }

private:
    const std::vector<std::string_view>& entries_;
    std::vector<CharSpan> spans_;
    std::vector<detail::Histogram> histograms_;
    std::vector<unsigned char> narrow_;
    std::vector<char32_t> wide_;
};

struct Query {
    Query(const Query&) = delete;  // `chars` may point into the buffers
    explicit Query(std::string_view name) {
        if (detail::is_ascii(name)) {
            chars = {reinterpret_cast<const unsigned char*>(name.data()), nullptr, name.size()};
        } else if (detail::decode_latin1(name, narrow)) {
            chars = {narrow.data(), nullptr, narrow.size()};
        } else {
            detail::decode(name, wide);
            chars = {nullptr, wide.data(), wide.size()};
        }
        histogram = detail::visit(chars, [](const auto* s, std::size_t n) { return detail::Histogram::of(s, n); });
    }
    std::vector<unsigned char> narrow;
    std::vector<char32_t> wide;
    CharSpan chars;
    detail::Histogram histogram;
};

// Equivalent to ranking every entry with a stable sort and looking at the
// first two: only the best score (earliest position among equals) and the
// runner-up's score decide. Entries whose length bound cannot change either
// one, or cannot bring the runner-up within the ambiguity gap, are skipped.
std::optional<std::string> resolve(const Query& q, const Catalog& catalog, const ResolveOptions& o) {
    if (catalog.size() == 0) return std::nullopt;
    const bool guard = o.limit > 1 && catalog.size() > 1;
    std::size_t best_at = 0;
    double best = -1.0;
    double second = -1.0;
    std::size_t seen = 0;
    for (std::size_t i = 0; i < catalog.size(); ++i) {
        const CharSpan& e = catalog.chars(i);
        if (seen > 0) {
            // A score that cannot change the best, the runner-up or the gap
            // decision is not computed. First with the largest possible
            // prefix boost, then with the actual prefix.
            const auto useless = [&](double bound) {
                if (!guard) return bound <= best;
                if (seen > 1 && bound <= second) return true;
                // Below the best by more than the gap: as runner-up it would
                // not reject the best (a negative gap rejects nothing).
                return bound <= best && bound + 1e-12 < best - o.ambiguity;
            };
            const detail::Histogram& h = catalog.histogram(i);
            const std::size_t matches =
                q.histogram.ok && h.ok ? detail::common_count(q.histogram, h) : SIZE_MAX;
            if (useless(detail::jaro_winkler_bound(q.chars.size, e.size, matches, 4))) continue;
            const std::size_t prefix = detail::visit(q.chars, e, [](const auto* a, std::size_t n, const auto* b,
                                                                      std::size_t m) {
                return detail::common_prefix4(a, n, b, m);
            });
            if (useless(detail::jaro_winkler_bound(q.chars.size, e.size, matches, prefix))) continue;
        }
        const double s = detail::visit(q.chars, e, [](const auto* a, std::size_t n, const auto* b, std::size_t m) {
            return detail::jaro_winkler(a, n, b, m);
        });
        if (seen == 0 || s > best) {
            second = best;
            best = s;
            best_at = i;
        } else if (seen == 1 || s > second) {
            second = s;
        }
        ++seen;
    }
    if (best < o.threshold) return std::nullopt;
    // A runner-up that was never scored lies further than the gap below.
    if (guard && seen > 1 && std::abs(best - second) < o.ambiguity) return std::nullopt;
    return std::string(catalog.entry(best_at));
}

}  // namespace

std::optional<std::string> resolve_one(std::string_view name, const std::vector<std::string_view>& catalog,
                                       const ResolveOptions& options) {
    return resolve(Query(name), Catalog(catalog), options);
}

std::vector<std::optional<std::string>> batch_fuzzy_resolve(const std::vector<std::string_view>& names,
                                                            const std::vector<std::string_view>& catalog,
                                                            const ResolveOptions& options) {
    std::vector<std::optional<std::string>> out;
    out.reserve(names.size());
    if (catalog.empty()) {
        out.resize(names.size());
        return out;
    }
    const Catalog decoded(catalog);
    for (std::string_view name : names) out.push_back(resolve(Query(name), decoded, options));
    return out;
}

}  // namespace zemo::fuzzy
