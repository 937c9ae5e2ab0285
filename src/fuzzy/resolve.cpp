#include "fuzzy/resolve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/interrupt.hpp"
#include "common/utf8.hpp"
#include "fuzzy/catalogue.hpp"
#include "fuzzy/chars.hpp"
#include "fuzzy/kernels.hpp"
#include "fuzzy/pool.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zemo::fuzzy {
namespace {

using detail::CharSpan;
using Row = PreparedCatalogue::Row;
using Run = PreparedCatalogue::Run;
using Layout = PreparedCatalogue::Layout;
constexpr std::size_t kBuckets = PreparedCatalogue::kBuckets;
constexpr double kInf = std::numeric_limits<double>::infinity();

// The query's bucket counts, capped at what a row can hold (which changes
// no minimum with a row), one byte each.
struct QueryCounts {
    alignas(16) std::uint8_t counts[kBuckets] = {};
};

#if defined(__SSE2__)
using detail::byte_sum;

// The two halves of a row's buckets, one byte per count.
inline void unpack(const Row& r, __m128i& lo, __m128i& hi) { detail::unpack_nibbles(r.packed, lo, hi); }

inline __m128i half(const QueryCounts& q, std::size_t h) {
    return _mm_load_si128(reinterpret_cast<const __m128i*>(q.counts) + h);
}
#endif

// Sum over buckets of the smaller count.
inline std::uint32_t common_count(const QueryCounts& q, const Row& e) noexcept {
#if defined(__SSE2__)
    __m128i lo, hi;
    unpack(e, lo, hi);
    return detail::common_count(half(q, 0), half(q, 1), lo, hi);
#else
    std::uint32_t n = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) n += std::min<unsigned>(q.counts[b], e.count(b));
    return n;
#endif
}

// Sum over buckets of the amount by which `e` exceeds `q`.
inline std::uint32_t excess(const Row& e, const QueryCounts& q) noexcept {
#if defined(__SSE2__)
    __m128i lo, hi;
    unpack(e, lo, hi);
    return byte_sum(_mm_subs_epu8(lo, half(q, 0)), _mm_subs_epu8(hi, half(q, 1)));
#else
    std::uint32_t n = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) n += e.count(b) > q.counts[b] ? e.count(b) - q.counts[b] : 0;
    return n;
#endif
}

// The search for one name. Equivalent to scoring every entry, ranking with a
// stable sort and looking at the first two: only the best score (earliest
// position among equals) and the runner-up's score decide, so an entry whose
// upper bound shows it can change neither, nor bring the runner-up within
// the ambiguity gap of the best, is never scored. Asked for the `keep` best
// entries instead, it scores every entry whose bound reaches the least of
// them and nothing else. The bound only ever
// tightens as scores come in, so the order of the visit does not matter for
// the result; nearby lengths and the query's own first character go first
// because they raise the best score early.
class Search {
public:
    // Counts its work on `poller`, shared by the names of one batch.
    Search(const PreparedCatalogue& catalogue, std::string_view name, const ResolveOptions& o,
           InterruptPoller& poller, std::size_t keep = 0, double least = -kInf,
           const std::function<bool(std::size_t)>* admit = nullptr)
        : cat_(catalogue), o_(o), poller_(poller), keep_(keep), admit_(admit) {
        name = detail::compared_prefix(name);
        poller_.tick(name.size() + 64);
        q_ = utf8::narrowest(name, chars_);
        la_ = q_.size;
        std::uint32_t counts[kBuckets] = {};
        detail::visit(q_, [&](const auto* s, std::size_t n) {
            for (std::size_t k = 0; k < n; ++k) {
                const std::uint8_t b = cat_.bucket(static_cast<char32_t>(s[k]));
                if (b != PreparedCatalogue::kAbsent) ++counts[b];
            }
        });
        for (std::size_t b = 0; b < kBuckets; ++b) {
            hist_.counts[b] = static_cast<std::uint8_t>(std::min(counts[b], PreparedCatalogue::kMaxCount));
            in_buckets_ += hist_.counts[b];
        }
        if (la_ > 0) {
            initial_ = detail::visit(q_, [](const auto* s, std::size_t) { return char32_t(s[0]); });
            second_char_ = la_ > 1 ? detail::visit(q_, [](const auto* s, std::size_t) { return char32_t(s[1]); })
                                   : PreparedCatalogue::kNone;
        }

        guard_ = o.limit > 1 && cat_.size() > 1;
        // Without a positive gap the runner-up cannot reject anything
        // (a NaN gap included).
        need_second_ = guard_ && o.ambiguity > 0;
        // Nothing below the threshold can be accepted as the best (a NaN
        // threshold accepts everything); a runner-up may lie up to the gap
        // lower, but is looked for only once a best has been accepted.
        accept_floor_ = std::isnan(o.threshold) ? -kInf : o.threshold;
        second_floor_ = o.threshold - o.ambiguity - kSlack;
        if (std::isnan(second_floor_)) second_floor_ = -kInf;
        if (keep_ > 0) {
            // Entries below `least` are left out (a NaN leaves none out).
            need_second_ = false;
            accept_floor_ = std::isnan(least) ? -kInf : least;
        }
    }

    // The best `keep` entries as (score, position), best first, ties by position.
    const std::vector<std::pair<double, std::uint32_t>>& best_entries() {
        run();
        return top_;
    }

    std::optional<std::size_t> run() {
        if (cat_.size() == 0) return std::nullopt;
        if (la_ > 0) {
            const Layout& by_initial = cat_.by_initial();
            const auto first = std::lower_bound(by_initial.runs.begin(), by_initial.runs.end(), initial_,
                                                [](const Run& r, char32_t c) { return r.initial < c; });
            for (auto it = first; it != by_initial.runs.end() && it->initial == initial_; ++it) {
                const std::size_t most = it->second == second_char_ ? std::min<std::size_t>({4, la_, it->length}) : 1;
                plan_.push_back({&by_initial, &*it, true, most, 0.0});
            }
        }
        for (const Run& r : cat_.by_length().runs) plan_.push_back({&cat_.by_length(), &r, false, 0, 0.0});
        for (Step& s : plan_) s.bound = detail::jaro_winkler_bound(la_, s.run->length, in_buckets_, s.max_prefix);
        std::stable_sort(plan_.begin(), plan_.end(), [](const Step& a, const Step& b) { return a.bound > b.bound; });
        // Bands of decreasing bound: a close match found in a cheap narrow
        // band raises the floor for the wide ones.
        for (double band : kBands) {
            if (band > accept_floor_) search_band(band);
        }
        search_band(accept_floor_);
        if (need_second_ && seen_ > 0 && !(best_ < o_.threshold) && !(std::abs(best_ - second_) < o_.ambiguity)) {
            // The best is accepted so far: look for a runner-up within the
            // gap below it and below the threshold.
            search_band(second_floor_);
        }
        if (seen_ == 0 || best_ < o_.threshold) return std::nullopt;
        // An unscored runner-up lies further than the gap below the best.
        if (guard_ && std::abs(best_ - second_) < o_.ambiguity) return std::nullopt;
        return best_at_;
    }

private:
    // Room for rounding in the gap test, on the side of scoring more.
    static constexpr double kSlack = 1e-12;
    static constexpr double kBands[] = {0.95};

    struct Step {
        const Layout* layout;
        const Run* run;
        bool shares_initial;
        std::size_t max_prefix;  // of every entry in the run
        double bound;
    };

    // Scores the entries whose bound lies in [max(band, floor), previous band).
    void search_band(double band) {
        band_ = band;
        raise_floor();
        if (floor_ >= done_above_) {  // every bound in the band is useless by now
            done_above_ = band;
            return;
        }
        for (const Step& s : plan_) {
            if (s.bound < floor_) break;  // so are all that follow
            search_run(*s.layout, *s.run, s.shares_initial, s.max_prefix);
        }
        for (std::uint32_t id : cat_.oversized()) {
            const CharSpan e = cat_.chars(id);
            consider(id, e, std::min<std::size_t>(la_, e.size), prefix(e));
        }
        done_above_ = band;
    }

    std::size_t prefix(const CharSpan& e) const {
        return detail::visit(q_, e, [](const auto* a, std::size_t n, const auto* b, std::size_t m) {
            return detail::common_prefix4(a, n, b, m);
        });
    }

    void search_run(const Layout& layout, const Run& run, bool shares_initial, std::size_t max_prefix) {
        layout_ = &layout;
        le_ = run.length;
        shares_initial_ = shares_initial;
        max_prefix_ = max_prefix;
        update_least_common();
        const std::size_t root = run.root;
        if (shared_bound(layout.nodes[root]) >= least_common_) visit(root);
        leaves();
    }

    // The fewest common characters an entry of the current run needs for
    // its bound to reach the floor (one past the most when none can). The
    // bound rises with the count: a guess from its inverse is stepped to the
    // least count that reaches the floor, asking the bound itself.
    void update_least_common() {
        const std::size_t most = std::min(la_, le_);
        const auto reaches = [&](std::size_t m) { return !(detail::jaro_winkler_bound(la_, le_, m, max_prefix_) < floor_); };
        std::size_t m = 0;
        if (floor_ > 1.0) {
            m = most + 1;
        } else if (floor_ > 0.0 && la_ > 0 && le_ > 0) {
            const double boost = 0.1 * static_cast<double>(max_prefix_);
            const double jaro = floor_ > 0.7 ? std::max(0.7, (floor_ - boost) / (1.0 - boost)) : floor_;
            const double guess = (3.0 * jaro - 1.0) / (1.0 / static_cast<double>(la_) + 1.0 / static_cast<double>(le_));
            m = guess <= 0.0 ? 0 : std::min(most + 1, static_cast<std::size_t>(std::ceil(guess)));
        }
        while (m > 0 && reaches(m - 1)) --m;
        while (m <= most && !reaches(m)) ++m;
        least_common_ = m;
    }

    // The most characters an entry below the node can share with the query:
    // no more than the query has of each bucket up to the node's largest
    // count, and no more than the entry's length less what its least counts
    // put beyond the query's.
    std::size_t shared_bound(const PreparedCatalogue::Node& n) const {
        return std::min<std::size_t>(common_count(hist_, n.high), le_ - excess(n.low, hist_));
    }

    void visit(std::size_t at) {
        const PreparedCatalogue::Node& n = layout_->nodes[at];
        if (n.after == at + 1) {
            poller_.tick(8 * (n.end - n.begin));
            // The rows that pass the count test wait in a batch, so that the
            // cache misses of their entries overlap.
            for (std::size_t r = n.begin; r < n.end; ++r) {
                const std::uint32_t c = common_count(hist_, layout_->rows[r]);
                if (c < least_common_) continue;
                batch_[batched_++] = {static_cast<std::uint32_t>(r), c};
                if (batched_ == kBatch) leaves();
            }
            return;
        }
        // The more promising child first: it may raise the floor for the other.
        std::size_t first = at + 1, second = layout_->nodes[first].after;
        std::size_t b1 = shared_bound(layout_->nodes[first]), b2 = shared_bound(layout_->nodes[second]);
        if (b2 > b1) {
            std::swap(first, second);
            std::swap(b1, b2);
        }
        // The rows of a leaf to visit are asked for at once, and those of
        // the second child before the first is searched.
        if (b2 >= least_common_) prefetch_rows(layout_->nodes[second]);
        if (b1 >= least_common_) {
            prefetch_rows(layout_->nodes[first]);
            visit(first);
        }
        if (b2 >= least_common_) visit(second);
    }

    void prefetch_rows(const PreparedCatalogue::Node& n) const {
        if (n.end - n.begin > kPrefetchedRows) return;  // not a leaf: its own children will
        const Row* row = layout_->rows.data();
        for (std::size_t r = n.begin; r < n.end; r += 64 / sizeof(Row)) __builtin_prefetch(row + r);
    }

    // Empties batch_, rows of the current run. An entry that does not share
    // the query's first character has no common prefix: its text is read
    // only if its bound reaches the floor.
    void leaves() {
        const PreparedCatalogue::Place* places = cat_.places(*layout_).data();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < batched_; ++i) {
            const auto [r, common] = batch_[i];
            if (!shares_initial_) {
                if (la_ > 0 && shares_query_initial(places[r])) continue;  // searched with the entries that do
                if (!in_band(le_, common, 0)) continue;
            }
            const CharSpan e = cat_.chars(places[r], le_);
            __builtin_prefetch(e.wide != nullptr ? static_cast<const void*>(e.wide) : static_cast<const void*>(e.narrow));
            batch_[kept++] = batch_[i];
        }
        for (std::size_t i = 0; i < kept; ++i) {
            const auto [r, common] = batch_[i];
            const CharSpan e = cat_.chars(places[r], le_);
            consider(layout_->ids[r], e, common, shares_initial_ ? prefix(e) : 0);
        }
        batched_ = 0;
    }

    bool shares_query_initial(PreparedCatalogue::Place p) const {
        if (p.initial != PreparedCatalogue::Place::kUnknown) return p.initial == initial_;
        const CharSpan e = cat_.chars(p, le_);
        return e.size > 0 && detail::visit(e, [](const auto* s, std::size_t) { return char32_t(s[0]); }) == initial_;
    }

    void consider(std::uint32_t id, const CharSpan& e, std::size_t common, std::size_t prefix) {
        if (in_band(e.size, common, prefix)) consider_in_order(id, e, common, prefix);
    }

    // Whether the bound of an entry of `size` characters reaches the floor
    // and was not handled by an earlier band: at or above done_above_ the
    // entry was scored by an earlier band, or skipped under a floor that has
    // only risen since.
    bool in_band(std::size_t size, std::size_t common, std::size_t prefix) const {
        const double bound = detail::jaro_winkler_bound(la_, size, common, prefix);
        return bound >= floor_ && bound < done_above_;
    }

    // Scores an entry in band unless its LCS with the query shows that its
    // score lies below what can matter in any band, or `admit` refuses it.
    void consider_in_order(std::uint32_t id, const CharSpan& e, std::size_t common, std::size_t prefix) {
        if (!pattern_ready_) {
            detail::visit(q_, [&](const auto* s, std::size_t n) { pattern_.assign(s, n); });
            pattern_ready_ = true;
        }
        const std::size_t lcs = detail::visit(e, [&](const auto* s, std::size_t n) { return detail::lcs_with_pattern(pattern_, s, n); });
        if (detail::jaro_winkler_order_bound(la_, e.size, common, lcs, prefix) < lasting_floor()) return;
        if (admit_ != nullptr && !(*admit_)(id)) return;
        score(id, e);
    }

    // The floor without the band's part: scores below it change nothing in
    // this band or any later one.
    double lasting_floor() const {
        if (keep_ > 0) return std::max(accept_floor_, top_.size() == keep_ ? top_.back().first : -kInf);
        if (!need_second_) return std::max(accept_floor_, best_);
        return std::max(second_, best_ - o_.ambiguity - kSlack);
    }

    void score(std::uint32_t id, const CharSpan& e) {
        const double s = detail::visit(q_, e, [](const auto* a, std::size_t n, const auto* b, std::size_t m) {
            return detail::jaro_winkler(a, n, b, m);
        });
        ++seen_;
        if (keep_ > 0) {
            const std::pair<double, std::uint32_t> item{s, id};
            const auto worse = [](const auto& a, const auto& b) { return a.first > b.first || (a.first == b.first && a.second < b.second); };
            top_.insert(std::upper_bound(top_.begin(), top_.end(), item, worse), item);
            if (top_.size() > keep_) top_.pop_back();
        }
        if (s > best_ || (s == best_ && id < best_at_)) {
            second_ = best_;
            best_ = s;
            best_at_ = id;
        } else {
            second_ = std::max(second_, s);
        }
        raise_floor();
    }

    void raise_floor() {
        const double before = floor_;
        if (keep_ > 0) {
            // A score below the least of a full list changes nothing.
            floor_ = std::max(band_, top_.size() == keep_ ? top_.back().first : -kInf);
        } else if (!need_second_) {
            // Only a strictly higher score (or an equal earlier one, which
            // the padded bound lets through) can change the outcome.
            floor_ = std::max(band_, best_);
        } else {
            // A score below the runner-up changes nothing; one further than
            // the gap below the best cannot reject it.
            floor_ = std::max({band_, second_, best_ - o_.ambiguity - kSlack});
        }
        if (floor_ != before) update_least_common();
    }

    const PreparedCatalogue& cat_;
    const ResolveOptions& o_;
    utf8::CharBuffers chars_;
    CharSpan q_;
    std::size_t la_ = 0;
    detail::PatternMasks pattern_;  // of the query, made for the first entry that needs it
    bool pattern_ready_ = false;
    QueryCounts hist_;
    std::size_t in_buckets_ = 0;  // query characters a row could match
    char32_t initial_ = 0;
    char32_t second_char_ = 0;
    bool guard_ = false;
    bool need_second_ = false;
    double accept_floor_ = -kInf;
    double second_floor_ = -kInf;
    double floor_ = -kInf;  // entries whose bound is below this cannot matter
    double band_ = kInf;        // the current band's lower end
    double done_above_ = kInf;  // bounds from here up were handled by earlier bands

    std::vector<Step> plan_;
    const Layout* layout_ = nullptr;
    std::size_t le_ = 0;
    bool shares_initial_ = false;
    std::size_t max_prefix_ = 0;
    std::size_t least_common_ = 0;
    static constexpr std::size_t kBatch = 32;
    static constexpr std::size_t kPrefetchedRows = 64;
    std::pair<std::uint32_t, std::uint32_t> batch_[kBatch];  // row of the run and its common count
    std::size_t batched_ = 0;

    InterruptPoller& poller_;
    std::size_t seen_ = 0;
    double best_ = -kInf;
    double second_ = -kInf;
    std::size_t best_at_ = 0;
    std::size_t keep_ = 0;
    const std::function<bool(std::size_t)>* admit_;
    std::vector<std::pair<double, std::uint32_t>> top_;
};

}  // namespace

std::optional<std::size_t> PreparedCatalogue::resolve_position(std::string_view name,
                                                               const ResolveOptions& options) const {
    InterruptPoller poller;
    return Search(*this, name, options, poller).run();
}

std::optional<std::pair<double, std::size_t>> PreparedCatalogue::best_entry(
    std::string_view name, double least, const std::function<bool(std::size_t)>& admit) const {
    if (size() == 0) return std::nullopt;
    InterruptPoller poller;
    const ResolveOptions options{};  // the search holds it by reference
    Search search(*this, name, options, poller, 1, least, admit ? &admit : nullptr);
    const auto& top = search.best_entries();
    if (top.empty() || top.front().first < least) return std::nullopt;
    return std::pair<double, std::size_t>(top.front().first, top.front().second);
}

std::vector<ResolveExplanation> PreparedCatalogue::explain(const std::vector<std::string_view>& names,
                                                           const ResolveOptions& options) const {
    std::vector<ResolveExplanation> out(names.size());
    parallel_for(names.size(), [&](std::size_t begin, std::size_t end) {
        InterruptPoller poller;
        for (std::size_t i = begin; i < end; ++i) {
            ResolveExplanation& e = out[i];
            if (size() == 0) {
                e.outcome = ResolveOutcome::NoCandidates;
                e.reason = "the catalogue is empty";
                continue;
            }
            const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(options.limit, 1), size()));
            Search search(*this, names[i], options, poller, keep);
            for (const auto& [score, at] : search.best_entries()) e.candidates.emplace_back(at, score);
            // As resolve decides: the best against the threshold, then the
            // runner-up within the gap when the limit asks for the guard.
            const double best = e.candidates.front().second;
            if (best < options.threshold) {
                e.outcome = ResolveOutcome::BelowThreshold;
                e.reason = "best " + detail::score_text(best) + " below the threshold " + detail::score_text(options.threshold);
            } else if (e.candidates.size() > 1 && std::abs(best - e.candidates[1].second) < options.ambiguity) {
                e.outcome = ResolveOutcome::Ambiguous;
                e.reason = "best " + detail::score_text(best) + " and runner-up " + detail::score_text(e.candidates[1].second) +
                           " within the ambiguity gap " + detail::score_text(options.ambiguity);
            } else {
                e.outcome = ResolveOutcome::Resolved;
                e.match = e.candidates.front().first;
                e.reason = "best " + detail::score_text(best) + " at or above the threshold " + detail::score_text(options.threshold);
                if (e.candidates.size() > 1) {
                    e.reason += ", runner-up " + detail::score_text(e.candidates[1].second) + " outside the ambiguity gap " +
                                detail::score_text(options.ambiguity);
                }
            }
        }
    });
    return out;
}

std::vector<std::optional<std::string>> PreparedCatalogue::resolve(const std::vector<std::string_view>& names,
                                                                   const ResolveOptions& options) const {
    // Each name is searched on its own, so the names are shared out on the pool.
    std::vector<std::optional<std::string>> out(names.size());
    parallel_for(names.size(), [&](std::size_t begin, std::size_t end) {
        InterruptPoller poller;
        for (std::size_t i = begin; i < end; ++i) {
            if (const std::optional<std::size_t> at = Search(*this, names[i], options, poller).run())
                out[i].emplace(entry(*at));
        }
    });
    return out;
}

std::optional<std::string> resolve_one(std::string_view name, const std::vector<std::string_view>& catalog,
                                       const ResolveOptions& options) {
    return PreparedCatalogue(catalog).resolve({name}, options).front();
}

std::vector<std::optional<std::string>> batch_fuzzy_resolve(const std::vector<std::string_view>& names,
                                                            const std::vector<std::string_view>& catalog,
                                                            const ResolveOptions& options) {
    if (catalog.empty() || names.empty()) return std::vector<std::optional<std::string>>(names.size());
    return PreparedCatalogue(catalog).resolve(names, options);
}

}  // namespace zemo::fuzzy
