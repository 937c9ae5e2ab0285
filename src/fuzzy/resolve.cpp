#include "fuzzy/resolve.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "fuzzy/catalogue.hpp"
#include "fuzzy/chars.hpp"
#include "fuzzy/kernels.hpp"

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

// Below this many rows a trie node's entries are checked one by one.
constexpr std::size_t kLeafRows = 16;

// Sum over buckets of the smaller count.
inline std::uint32_t common_count(const Row& q, const Row& e) noexcept {
#if defined(__SSE2__)
    const auto* a = reinterpret_cast<const __m128i*>(q.counts);
    const auto* b = reinterpret_cast<const __m128i*>(e.counts);
    const __m128i zero = _mm_setzero_si128();
    const __m128i s = _mm_add_epi64(_mm_sad_epu8(_mm_min_epu8(_mm_load_si128(a), _mm_load_si128(b)), zero),
                                    _mm_sad_epu8(_mm_min_epu8(_mm_load_si128(a + 1), _mm_load_si128(b + 1)), zero));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(s, s)));
#else
    std::uint32_t n = 0;
    for (std::size_t k = 0; k < kBuckets; ++k) n += std::min(q.counts[k], e.counts[k]);
    return n;
#endif
}

// The search for one name. Equivalent to scoring every entry, ranking with a
// stable sort and looking at the first two: only the best score (earliest
// position among equals) and the runner-up's score decide, so an entry whose
// upper bound shows it can change neither, nor bring the runner-up within
// the ambiguity gap of the best, is never scored. The bound only ever
// tightens as scores come in, so the order of the visit does not matter for
// the result; nearby lengths and the query's own first character go first
// because they raise the best score early.
class Search {
public:
    Search(const PreparedCatalogue& catalogue, std::string_view name, const ResolveOptions& o)
        : cat_(catalogue), o_(o) {
        if (detail::is_ascii(name)) {
            q_ = {reinterpret_cast<const unsigned char*>(name.data()), nullptr, name.size()};
        } else if (detail::decode_latin1(name, narrow_)) {
            q_ = {narrow_.data(), nullptr, narrow_.size()};
        } else {
            detail::decode(name, wide_);
            q_ = {nullptr, wide_.data(), wide_.size()};
        }
        la_ = q_.size;
        std::uint32_t counts[kBuckets] = {};
        detail::visit(q_, [&](const auto* s, std::size_t n) {
            for (std::size_t k = 0; k < n; ++k) {
                const std::uint8_t b = cat_.bucket(static_cast<char32_t>(s[k]));
                if (b != PreparedCatalogue::kAbsent) ++counts[b];
            }
        });
        // A count past a byte is bounded as if every bucket were unlimited.
        const bool huge = *std::max_element(counts, counts + kBuckets) > PreparedCatalogue::kMaxCount;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            hist_.counts[b] = huge ? 0xFF : static_cast<std::uint8_t>(counts[b]);
            in_buckets_ += hist_.counts[b];
        }
        if (la_ > 0) initial_ = detail::visit(q_, [](const auto* s, std::size_t) { return char32_t(s[0]); });

        guard_ = o.limit > 1 && cat_.size() > 1;
        // Without a positive gap the runner-up cannot reject anything
        // (a NaN gap included).
        need_second_ = guard_ && o.ambiguity > 0;
        // Entries below this can neither be accepted as the best nor come
        // within the gap of a best that is. A NaN leaves it open.
        static_floor_ = need_second_ ? o.threshold - o.ambiguity - kSlack : o.threshold;
        if (std::isnan(static_floor_)) static_floor_ = -kInf;
        floor_ = static_floor_;
    }

    std::optional<std::size_t> run() {
        if (cat_.size() == 0) return std::nullopt;
        if (la_ > 0) {
            const Layout& by_initial = cat_.by_initial();
            const auto first = std::lower_bound(by_initial.runs.begin(), by_initial.runs.end(), initial_,
                                                [](const Run& r, char32_t c) { return r.initial < c; });
            for (auto it = first; it != by_initial.runs.end() && it->initial == initial_; ++it)
                plan_.push_back({&by_initial, &*it, true, 0.0});
        }
        for (const Run& r : cat_.by_length().runs) plan_.push_back({&cat_.by_length(), &r, false, 0.0});
        for (Step& s : plan_) {
            s.bound = detail::jaro_winkler_bound(la_, s.run->length, in_buckets_, s.shares_initial ? 4 : 0);
        }
        std::stable_sort(plan_.begin(), plan_.end(), [](const Step& a, const Step& b) { return a.bound > b.bound; });
        for (const Step& s : plan_) {
            if (s.bound < floor_) break;  // so are all that follow
            search_run(*s.layout, *s.run, s.shares_initial);
        }
        for (std::uint32_t id : cat_.oversized()) {
            const CharSpan e = cat_.chars(id);
            consider(id, e, std::min<std::size_t>(la_, e.size), prefix(e));
        }
        if (seen_ == 0 || best_ < o_.threshold) return std::nullopt;
        // An unscored runner-up lies further than the gap below the best.
        if (guard_ && std::abs(best_ - second_) < o_.ambiguity) return std::nullopt;
        return best_at_;
    }

private:
    // Room for rounding in the gap test, on the side of scoring more.
    static constexpr double kSlack = 1e-12;

    struct Step {
        const Layout* layout;
        const Run* run;
        bool shares_initial;
        double bound;
    };

    std::size_t prefix(const CharSpan& e) const {
        return detail::visit(q_, e, [](const auto* a, std::size_t n, const auto* b, std::size_t m) {
            return detail::common_prefix4(a, n, b, m);
        });
    }

    void search_run(const Layout& layout, const Run& run, bool shares_initial) {
        layout_ = &layout;
        le_ = run.length;
        shares_initial_ = shares_initial;
        max_prefix_ = shares_initial ? std::min<std::size_t>({4, la_, le_}) : 0;
        update_least_common();
        walk(run.begin, run.end, 0, 0, in_buckets_, le_);
    }

    // The fewest common characters an entry of the current run needs for
    // its bound to reach the floor (one past the most when none can).
    void update_least_common() {
        const std::size_t most = std::min(la_, le_);
        std::size_t c = 0;
        while (c <= most && detail::jaro_winkler_bound(la_, le_, c, max_prefix_) < floor_) ++c;
        least_common_ = c;
    }

    // Rows [lo, hi) agree on the counts of buckets before `depth`; `common`
    // is what those buckets share with the query, `query_left` and
    // `entry_left` the characters of each side in the buckets from `depth` on.
    void walk(std::size_t lo, std::size_t hi, std::size_t depth, std::size_t common, std::size_t query_left,
              std::size_t entry_left) {
        if (common + std::min(query_left, entry_left) < least_common_) return;
        const Row* rows = layout_->rows.data();
        if (hi - lo <= kLeafRows || depth == kBuckets) {
            for (std::size_t r = lo; r < hi; ++r) {
                const std::uint32_t c = common_count(hist_, rows[r]);
                if (c < least_common_) continue;
                leaf(layout_->ids[r], c);
            }
            return;
        }
        // Children in increasing count of this bucket. The bound peaks at
        // the query's own count and falls off on either side, so each side
        // is walked outwards until it fails.
        const std::size_t q = hist_.counts[depth];
        const auto count = [&](std::size_t r) { return static_cast<std::size_t>(rows[r].counts[depth]); };
        std::size_t mid = lo, step_hi = hi;
        while (mid < step_hi) {  // first row with a count >= q
            const std::size_t m = mid + (step_hi - mid) / 2;
            if (count(m) < q) {
                mid = m + 1;
            } else {
                step_hi = m;
            }
        }
        for (std::size_t i = mid; i < hi;) {
            const std::size_t v = count(i);
            const std::size_t j = run_end(i, hi, depth, v);
            const std::size_t c = common + std::min(q, v);
            if (c + std::min(query_left - q, entry_left - v) < least_common_) break;
            walk(i, j, depth + 1, c, query_left - q, entry_left - v);
            i = j;
        }
        for (std::size_t j = mid; j > lo;) {
            const std::size_t v = count(j - 1);
            const std::size_t i = run_begin(lo, j, depth, v);
            const std::size_t c = common + v;
            if (c + std::min(query_left - q, entry_left - v) < least_common_) break;
            walk(i, j, depth + 1, c, query_left - q, entry_left - v);
            j = i;
        }
    }

    // End of the rows from i on whose count at `depth` is v (galloping).
    std::size_t run_end(std::size_t i, std::size_t hi, std::size_t depth, std::size_t v) const {
        const Row* rows = layout_->rows.data();
        std::size_t step = 1, last = i;  // rows[last] has count v
        while (last + step < hi && rows[last + step].counts[depth] == v) {
            last += step;
            step *= 2;
        }
        std::size_t end = std::min(hi, last + step);
        while (last + 1 < end) {
            const std::size_t m = last + (end - last) / 2;
            if (rows[m].counts[depth] == v) {
                last = m;
            } else {
                end = m;
            }
        }
        return last + 1;
    }

    // Start of the rows before j whose count at `depth` is v.
    std::size_t run_begin(std::size_t lo, std::size_t j, std::size_t depth, std::size_t v) const {
        const Row* rows = layout_->rows.data();
        std::size_t step = 1, first = j - 1;  // rows[first] has count v
        while (first >= lo + step && rows[first - step].counts[depth] == v) {
            first -= step;
            step *= 2;
        }
        std::size_t begin = first >= lo + step ? first - step : lo;  // rows[begin] may differ
        if (rows[begin].counts[depth] == v) return begin;
        while (begin + 1 < first) {
            const std::size_t m = begin + (first - begin) / 2;
            if (rows[m].counts[depth] == v) {
                first = m;
            } else {
                begin = m;
            }
        }
        return first;
    }

    void leaf(std::uint32_t id, std::size_t common) {
        const CharSpan e = cat_.chars(id);
        std::size_t p = 0;
        if (shares_initial_) {
            p = prefix(e);
        } else if (la_ > 0 && e.size > 0 &&
                   detail::visit(e, [](const auto* s, std::size_t) { return char32_t(s[0]); }) == initial_) {
            return;  // searched with the entries that share the query's first character
        }
        consider(id, e, common, p);
    }

    void consider(std::uint32_t id, const CharSpan& e, std::size_t common, std::size_t prefix) {
        if (detail::jaro_winkler_bound(la_, e.size, common, prefix) < floor_) return;
        const double s = detail::visit(q_, e, [](const auto* a, std::size_t n, const auto* b, std::size_t m) {
            return detail::jaro_winkler(a, n, b, m);
        });
        ++seen_;
        if (s > best_ || (s == best_ && id < best_at_)) {
            second_ = best_;
            best_ = s;
            best_at_ = id;
        } else {
            second_ = std::max(second_, s);
        }
        const double before = floor_;
        if (!need_second_) {
            // Only a strictly higher score (or an equal earlier one, which
            // the padded bound lets through) can change the outcome.
            floor_ = std::max(static_floor_, best_);
        } else {
            // A score below the runner-up changes nothing; one further than
            // the gap below the best cannot reject it.
            floor_ = std::max({static_floor_, second_, best_ - o_.ambiguity - kSlack});
        }
        if (floor_ != before) update_least_common();
    }

    const PreparedCatalogue& cat_;
    const ResolveOptions& o_;
    std::vector<unsigned char> narrow_;
    std::vector<char32_t> wide_;
    CharSpan q_;
    std::size_t la_ = 0;
    Row hist_{};
    std::size_t in_buckets_ = 0;  // query characters some entry could match
    char32_t initial_ = 0;
    bool guard_ = false;
    bool need_second_ = false;
    double static_floor_ = -kInf;
    double floor_ = -kInf;  // entries whose bound is below this cannot matter

    std::vector<Step> plan_;
    const Layout* layout_ = nullptr;
    std::size_t le_ = 0;
    bool shares_initial_ = false;
    std::size_t max_prefix_ = 0;
    std::size_t least_common_ = 0;

    std::size_t seen_ = 0;
    double best_ = -kInf;
    double second_ = -kInf;
    std::size_t best_at_ = 0;
};

}  // namespace

std::optional<std::size_t> PreparedCatalogue::resolve_position(std::string_view name,
                                                               const ResolveOptions& options) const {
    return Search(*this, name, options).run();
}

std::vector<std::optional<std::string>> PreparedCatalogue::resolve(const std::vector<std::string_view>& names,
                                                                   const ResolveOptions& options) const {
    std::vector<std::optional<std::string>> out;
    out.reserve(names.size());
    for (std::string_view name : names) {
        const std::optional<std::size_t> at = resolve_position(name, options);
        out.push_back(at ? std::optional<std::string>(std::string(entry(*at))) : std::nullopt);
    }
    return out;
}

std::optional<std::string> resolve_one(std::string_view name, const std::vector<std::string_view>& catalog,
                                       const ResolveOptions& options) {
    const std::vector<std::optional<std::string>> r = PreparedCatalogue(catalog).resolve({name}, options);
    return r.front();
}

std::vector<std::optional<std::string>> batch_fuzzy_resolve(const std::vector<std::string_view>& names,
                                                            const std::vector<std::string_view>& catalog,
                                                            const ResolveOptions& options) {
    if (catalog.empty()) return std::vector<std::optional<std::string>>(names.size());
    return PreparedCatalogue(catalog).resolve(names, options);
}

}  // namespace zemo::fuzzy
