#pragma once
// The candidate scans of one release against the library index, shared by
// classify_release (classify.cpp), which asks of each score only whether it
// reaches a threshold, and explain_release (explain.cpp), which wants the
// scores themselves and the entries behind them. Internal to src/fuzzy.

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "common/utf8.hpp"
#include "fuzzy/chars.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/kernels.hpp"
#include "fuzzy/library_index.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zemo::fuzzy {
namespace scan {

using detail::bucket;
using detail::kBars;
using detail::kBuckets;
using detail::kSpaceBucket;

inline double lcs_ratio_of(std::string_view a, std::string_view b, std::size_t extra, std::size_t n, std::size_t m) {
    thread_local utf8::CharBuffers tls_a, tls_b;
    const std::size_t l = utf8::with_common_width(a, b, tls_a, tls_b, [](const auto* x, std::size_t nx, const auto* y, std::size_t ny) {
        return detail::lcs_length(x, nx, y, ny);
    });
    return detail::ratio_from_lcs(extra + l, n, m);
}

inline double jaro_winkler_of(const utf8::CharSpan& a, std::string_view b) {
    thread_local utf8::CharBuffers tls;
    return utf8::visit(a, utf8::narrowest(b, tls), [](const auto* x, std::size_t n, const auto* y, std::size_t m) {
        return detail::jaro_winkler(x, n, y, m);
    });
}

// Sum over buckets of the smaller count.
inline std::size_t common_count(const LibraryIndex::Counts& a, const LibraryIndex::Counts& b) {
#if defined(__SSE2__)
    const auto* x = reinterpret_cast<const __m128i*>(a.n);
    const auto* y = reinterpret_cast<const __m128i*>(b.n);
    return detail::common_count(_mm_load_si128(x), _mm_load_si128(x + 1), _mm_load_si128(y), _mm_load_si128(y + 1));
#else
    std::size_t n = 0;
    for (std::size_t k = 0; k < kBuckets; ++k) n += std::min(a.n[k], b.n[k]);
    return n;
#endif
}

// The same with four-bit counts, 15 standing for any count from 15 up.
inline std::size_t common_count(const LibraryIndex::Counts& a, const LibraryIndex::Nibbles& b) {
#if defined(__SSE2__)
    const auto* x = reinterpret_cast<const __m128i*>(a.n);
    __m128i lo, hi;
    detail::unpack_nibbles(b.packed, lo, hi);
    // 15 becomes 255, above any count of `a`.
    const __m128i top = _mm_set1_epi8(15);
    lo = _mm_or_si128(lo, _mm_cmpeq_epi8(lo, top));
    hi = _mm_or_si128(hi, _mm_cmpeq_epi8(hi, top));
    return detail::common_count(_mm_load_si128(x), _mm_load_si128(x + 1), lo, hi);
#else
    std::size_t n = 0;
    for (std::size_t k = 0; k < kBuckets; ++k) {
        const std::uint8_t nibble = (b.packed[k % (kBuckets / 2)] >> (k < kBuckets / 2 ? 0 : 4)) & 15;
        n += nibble == 15 ? a.n[k] : std::min(a.n[k], nibble);
    }
    return n;
#endif
}

// Sum over buckets (optionally without spaces) of the smaller count.
inline std::size_t common_chars(const std::uint32_t* q, const std::uint8_t* e, bool spaces) {
    std::size_t n = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) n += std::min<std::uint32_t>(q[b], e[b]);
    if (!spaces) n -= std::min<std::uint32_t>(q[kSpaceBucket], e[kSpaceBucket]);
    return n;
}

// Whether the maximum of a stream of scores reaches each of two thresholds.
// The maximum of an empty stream is 0.0.
class Reach {
public:
    Reach(double low, double high) : t_{low, high}, hit_{0.0 >= low, 0.0 >= high} {}
    void see(double s) {
        hit_[0] = hit_[0] || s >= t_[0];
        hit_[1] = hit_[1] || s >= t_[1];
    }
    bool settled() const { return hit_[0] && hit_[1]; }
    // The least threshold not yet reached: scores below it change nothing.
    double need() const {
        if (hit_[0]) return t_[1];
        if (hit_[1]) return t_[0];
        return std::min(t_[0], t_[1]);
    }
    bool low() const { return hit_[0]; }
    bool high() const { return hit_[1]; }

private:
    double t_[2];
    bool hit_[2];
};

// The decision is Keep when all three scores reach their keep values, else
// Review when any reaches the review floor, else Prune; only the exact best
// artist of the two-stage score matters beyond that. So each score is asked
// only whether it reaches a threshold, the questions are asked cheapest and
// most decisive first, and a scan stops at the first candidate that reaches
// the threshold. A candidate is scored only if cheap upper bounds (lengths,
// shared tokens, character counts) can reach it, and the token-sort scan
// visits only the sub-ranges of the posting lists whose lengths can.
//
// In the token-set score the shared-token string is a prefix of both
// combined strings: two of its ratios are closed forms in the token lengths,
// and the third needs the LCS of the two remainders only.

class Classifier {
public:
    // Lends a pass's artist memo to the classifier for one release (none: no memo).
    class MemoInUse {
    public:
        MemoInUse(Classifier& c, ArtistMemo* memo) : c_(c), previous_(c.memo_) { c.memo_ = memo; }
        ~MemoInUse() { c_.memo_ = previous_; }
        MemoInUse(const MemoInUse&) = delete;
        MemoInUse& operator=(const MemoInUse&) = delete;

    private:
        Classifier& c_;
        ArtistMemo* previous_;
    };

    Classification classify(const LibraryIndex& ix, const ClassifyThresholds& th, std::string_view artist,
                            std::string_view title) {
        ix_ = &ix;
        th_ = &th;
        if (ix.find_pair(artist, title) != LibraryIndex::kNoEntry) return Classification::Keep;
        start(artist, title);
        return scanned([this]() -> const Reach& { return two_stage(); });
    }

protected:
    // The decision of a release that is not an exact pair, by the scans
    // (start first); `two_stage` gives the Reach of the two-stage score.
    template <class TwoStage>
    Classification scanned(TwoStage two_stage) {
        const ClassifyThresholds& th = *th_;
        // The token-set score reaches its keep value after a few candidates
        // (an entry whose tokens are a subset of the release's scores 1.0);
        // the two-stage score looks at artists only; proving that no entry
        // reaches the token-sort keep value costs the most.
        if (reaches_set(th.token_set_keep) && two_stage().high() && reaches_sort(th.token_sort_keep))
            return Classification::Keep;
        if (reaches_set(th.review_floor) || two_stage().low() || reaches_sort(th.review_floor))
            return Classification::Review;
        return Classification::Prune;
    }

    // Prepares the scans for a release; ix_ and th_ are set.
    void start(std::string_view artist, std::string_view title) {
        prepare_query(artist, title);
        set_ = Memo{};
        sort_ = Memo{};
        two_stage_ = Reach(th_->review_floor, th_->two_stage_keep);
        two_stage_done_ = false;
        own_artist_known_ = false;
        artist_ = artist;
        title_ = title;
    }

    struct QueryToken {
        std::string text;
        std::int64_t id;
        std::uint32_t chars;
    };

    // What is known of a score, the maximum over the candidates (0.0 for
    // none): at least `best`, which entry `best_at` reaches (kNoEntry: no
    // candidate scored above 0.0), and below `below`.
    struct Memo {
        double best = 0.0;
        double below = std::numeric_limits<double>::infinity();
        std::uint32_t best_at = LibraryIndex::kNoEntry;

        void see(std::uint32_t c, double s) {
            if (s > best) {
                best = s;
                best_at = c;
            }
        }
    };

    void prepare_query(std::string_view artist, std::string_view title) {
        query_ = combined_key(artist, title);
        all_tokens_.clear();
        detail::for_each_piece(query_, [&](std::string_view piece) { all_tokens_.push_back(detail::lower_token(piece)); });
        std::sort(all_tokens_.begin(), all_tokens_.end());
        sorted_.clear();
        for (const std::string& t : all_tokens_) {
            if (!sorted_.empty()) sorted_ += ' ';
            sorted_ += t;
        }
        sorted_chars_ = detail::char_count(sorted_);
        tokens_.clear();
        token_chars_ = 0;
        for (std::size_t k = 0; k < all_tokens_.size(); ++k) {
            if (k > 0 && all_tokens_[k] == all_tokens_[k - 1]) continue;
            const auto chars = static_cast<std::uint32_t>(detail::char_count(all_tokens_[k]));
            token_chars_ += chars;
            const std::int64_t id = all_tokens_[k] == kBars ? -1 : ix_->token_id(all_tokens_[k]);
            tokens_.push_back({all_tokens_[k], id, chars});
        }
        query_ids_.clear();
        for (const QueryToken& t : tokens_)
            if (t.id >= 0) query_ids_.push_back(static_cast<std::uint32_t>(t.id));
        // Rarest first: the lists that hold the release's near copies are
        // short, and a near copy settles a scan.
        by_rarity_ = query_ids_;
        std::sort(by_rarity_.begin(), by_rarity_.end(), [&](std::uint32_t x, std::uint32_t y) {
            return ix_->combined_postings_.size(x) < ix_->combined_postings_.size(y);
        });

        // The entries' counts are capped at 255: they bound only against
        // queries whose counts fit a byte as well.
        std::uint32_t sorted_histogram[kBuckets] = {};
        detail::add_histogram(sorted_, sorted_histogram);
        sorted_counts_ = LibraryIndex::Counts::capped(sorted_histogram, &sorted_counts_fit_);
        sorted_counts_small_ = std::all_of(std::begin(sorted_histogram), std::end(sorted_histogram), [](std::uint32_t n) { return n <= 15; });
#if defined(__SSE2__)
        sorted_lo_ = _mm_load_si128(reinterpret_cast<const __m128i*>(sorted_counts_.n));
        sorted_hi_ = _mm_load_si128(reinterpret_cast<const __m128i*>(sorted_counts_.n) + 1);
#endif
        std::fill(std::begin(set_histogram_), std::end(set_histogram_), 0);
        for (const QueryToken& t : tokens_) detail::add_histogram(t.text, set_histogram_);
        set_counts_fit_ = std::all_of(std::begin(set_histogram_), std::end(set_histogram_), [](std::uint32_t n) { return n <= 255; });
        sorted_pattern_ready_ = false;
        signature_table_ready_ = false;
    }

    // Marks candidates already looked at in the current scan: a bit per
    // entry, or per artist, of the `ids` the scan visits (a million fit the
    // L2 cache), cleared word by word.
    void start_scan(std::size_t ids) {
        if (seen_.size() < (ids + 63) / 64) seen_.resize((ids + 63) / 64, 0);
        for (std::uint32_t w : seen_words_) seen_[w] = 0;
        seen_words_.clear();
    }
    bool first_visit(std::uint32_t c) {
        std::uint64_t& word = seen_[c / 64];
        const std::uint64_t bit = std::uint64_t{1} << (c % 64);
        if (word & bit) return false;
        if (word == 0) seen_words_.push_back(c / 64);
        word |= bit;
        return true;
    }

    // Query index tokens the entry holds, and their characters.
    std::pair<std::size_t, std::size_t> shared_with(const LibraryIndex::Entry& e, std::size_t token_count) const {
        const std::uint32_t* p = ix_->entry_tokens_.data() + e.tokens_at;
        const std::uint32_t* end = p + (token_count - 1);
        auto q = query_ids_.begin();
        std::size_t count = 0, chars = 0;
        while (p != end && q != query_ids_.end()) {
            if (*p < *q) {
                ++p;
            } else if (*q < *p) {
                ++q;
            } else {
                ++count;
                chars += ix_->token_chars_[*p];
                ++p, ++q;
            }
        }
        return {count, chars};
    }

    bool reaches_set(double t) {
        if (set_.best >= t) return true;
        if (set_.below <= t) return false;
        start_scan(ix_->size());
        // The entries of the release's own artist first, where the library
        // holds it as it is: a near copy among them settles the scan at once.
        // They are candidates when the artist has an index token.
        if (const std::size_t own = own_artist(); own != kNoArtist) {
            for (const std::uint32_t* e = ix_->artist_entries_.begin(own); e != ix_->artist_entries_.end(own); ++e)
                if (first_visit(*e) && token_set_at_least(*e, t)) return true;
        }
        for (std::uint32_t id : by_rarity_) {
            const std::uint32_t* end = ix_->combined_postings_.end(id);
            for (const std::uint32_t* p = ix_->combined_postings_.begin(id); p != end; ++p) {
                if (!first_visit(*p)) continue;
                if (token_set_at_least(*p, t)) return true;
            }
        }
        set_.below = t;
        return false;
    }

    // The position of the release's artist among the library's, when the
    // library holds it as it is and it has an index token; else kNoArtist.
    std::size_t own_artist() {
        if (!own_artist_known_) {
            own_artist_known_ = true;
            own_artist_ = kNoArtist;
            bool indexed = false;
            detail::for_each_piece(artist_, [&](std::string_view piece) { indexed = indexed || piece != kBars; });
            if (indexed) {
                const std::size_t p = artist_position(artist_);
                if (p < ix_->artist_count() && ix_->artist(p) == artist_) own_artist_ = p;
            }
        }
        return own_artist_;
    }

    // Whether the token-set ratio of the release and entry c reaches t;
    // records the scores it computes.
    bool token_set_at_least(std::uint32_t c, double t) {
        const auto [count, chars] = shared_with(ix_->entries_[c], ix_->lengths_[c].token_count);
        const double s = token_set_score(c, count, chars, t, false);
        set_.see(c, s);
        return s >= t;
    }

    // The token-set ratio of the release and entry c, which share
    // `shared_count` index tokens of `shared_chars` characters, when it
    // reaches t (when not `exact`, perhaps only some value of at least t),
    // else some value below t.
    double token_set_score(std::uint32_t c, std::size_t shared_count, std::size_t shared_chars, double t, bool exact) {
        const LibraryIndex::Lengths& e = ix_->lengths_[c];
        const std::size_t n_a = tokens_.size();
        // Shared tokens, "|||" included, and the lengths of the three joined strings.
        const std::size_t n_i = shared_count + 1;
        const std::size_t chars_i = shared_chars + kBars.size();
        const std::size_t l_i = chars_i + n_i - 1;
        const std::size_t l_a = n_a > n_i ? (token_chars_ - chars_i) + (n_a - n_i) - 1 : 0;
        const std::size_t l_b = e.token_count > n_i ? (e.token_chars - chars_i) + (e.token_count - n_i) - 1 : 0;
        const std::size_t lc_a = l_i + l_a + (l_a > 0);
        const std::size_t lc_b = l_i + l_b + (l_b > 0);
        double s = std::max(detail::ratio_from_lcs(l_i, l_i, lc_a), detail::ratio_from_lcs(l_i, l_i, lc_b));
        // The third ratio matters where it can reach t and exceed s.
        const auto worth = [&](double bound) { return bound >= t && bound > s; };
        if (s < t || exact) {
            if (l_a == 0 || l_b == 0) {
                s = std::max(s, detail::ratio_from_lcs(std::min(lc_a, lc_b), lc_a, lc_b));
            } else {
                std::size_t most = std::min(l_a, l_b);
                if (worth(detail::ratio_from_lcs(l_i + 1 + most, lc_a, lc_b))) {
                    if (set_counts_fit_) {
                        // Letters of the remainders: the shared tokens ("|||" included)
                        // take the same characters from both sides. Spaces separately.
                        const std::size_t letters = common_chars(set_histogram_, ix_->counts_[c].n, false) - chars_i;
                        const std::size_t n_rest_a = n_a - n_i, n_rest_b = e.token_count - n_i;
                        most = std::min(most, letters + std::min(n_rest_a, n_rest_b) - 1);
                    }
                    if (worth(detail::ratio_from_lcs(l_i + 1 + most, lc_a, lc_b))) {
                        remainders(ix_->entries_[c], e.token_count);
                        s = std::max(s, lcs_ratio_of(rest_a_, rest_b_, l_i + 1, lc_a, lc_b));
                    }
                }
            }
        }
        return s;
    }

    // The query's and the entry's tokens that the other lacks, each joined.
    void remainders(const LibraryIndex::Entry& e, std::size_t token_count) {
        const std::uint32_t* first = ix_->entry_tokens_.data() + e.tokens_at;
        const std::uint32_t* last = first + (token_count - 1);
        rest_a_.clear();
        for (const QueryToken& t : tokens_) {
            if (t.text == kBars) continue;
            if (t.id >= 0 && std::binary_search(first, last, static_cast<std::uint32_t>(t.id))) continue;
            if (!rest_a_.empty()) rest_a_ += ' ';
            rest_a_ += t.text;
        }
        rest_b_.clear();
        for (const std::uint32_t* id = first; id != last; ++id) {
            if (std::binary_search(query_ids_.begin(), query_ids_.end(), *id)) continue;
            if (!rest_b_.empty()) rest_b_ += ' ';
            rest_b_ += ix_->vocabulary(*id);
        }
    }

    // The lengths m of entries whose token-sort ratio with a query of n
    // characters can reach t: 2 min(n, m) / (n + m) >= t, an interval
    // around n. Widened by one on each side; every candidate is checked again.
    std::pair<std::size_t, std::size_t> sort_window(double t) const {
        const std::size_t n = sorted_chars_;
        const std::size_t longest = ix_->length_start_.size() - 2;
        if (t <= 0.0 || n == 0) return {0, longest};
        if (!(t <= 1.0)) return {1, 0};  // no ratio exceeds 1.0 (or reaches NaN)
        const double lo = std::floor(t * static_cast<double>(n) / (2.0 - t));
        const double hi = std::ceil((2.0 - t) * static_cast<double>(n) / t);
        const std::size_t first = lo > 1.0 ? static_cast<std::size_t>(lo) - 1 : 0;
        if (first > longest) return {1, 0};
        const std::size_t last = hi + 1.0 >= static_cast<double>(longest) ? longest : static_cast<std::size_t>(hi) + 1;
        return {first, last};
    }

    bool reaches_sort(double t) {
        if (sort_.best >= t) return true;
        if (sort_.below <= t) return false;
        if (ix_->size() == 0) {
            sort_.below = t;
            return false;
        }
        const auto [lo, hi] = sort_window(t);
        if (lo > hi) {
            sort_.below = t;
            return false;
        }
        const std::uint32_t first_id = ix_->length_start_[lo];
        const std::uint32_t end_id = ix_->length_start_[hi + 1];
        const bool use_signatures = prepare_sort(end_id - first_id);
        start_scan(ix_->size());
        // The entry of the best token-set score first: a near copy reaches
        // both, and then no list needs scanning.
        if (const std::uint32_t c = set_.best_at; c != LibraryIndex::kNoEntry && first_visit(c)) {
            const std::size_t m = ix_->lengths_[c].sorted_chars;
            const double s = sort_score(c, m, least_lcs(t, sorted_chars_, m));
            sort_.see(c, s);
            if (s >= t) return true;
        }
        const std::size_t n = sorted_chars_;
        const std::uint32_t* length_start = ix_->length_start_.data();
        for (std::uint32_t id : by_rarity_) {
            if (const LibraryIndex::Nibbles* counts = sorted_counts_fit_ ? ix_->sort_list(id) : nullptr) {
                if (sort_list_reaches(id, counts, first_id, end_id, lo, t)) return true;
                continue;
            }
            const std::uint32_t* p = std::lower_bound(ix_->combined_postings_.begin(id), ix_->combined_postings_.end(id), first_id);
            const std::uint32_t* end = std::lower_bound(p, ix_->combined_postings_.end(id), end_id);
            admitted_.clear();
            // Ids ascend with the length: follow it instead of reading it.
            std::size_t m = lo;
            std::size_t most_by_length = std::min(n, m);
            std::size_t need = least_lcs(t, n, m);
            for (; p != end; ++p) {
                // The counts of those the signatures let through are a miss
                // each when fetched late.
                if (p + kPrefetchAhead < end) {
                    __builtin_prefetch(&ix_->signatures_[p[kPrefetchAhead]]);
                    __builtin_prefetch(&ix_->counts_[p[kPrefetchAhead]]);
                }
                const std::uint32_t c = *p;
                if (length_start[m + 1] <= c) {
                    while (length_start[m + 1] <= c) ++m;
                    most_by_length = std::min(n, m);
                    need = least_lcs(t, n, m);
                }
                if (need > most_by_length || !first_visit(c)) continue;
                if (!sort_may_reach(c, most_by_length, use_signatures, need)) continue;
                __builtin_prefetch(&ix_->entries_[c]);
                admitted_.push_back({c, static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(need)});
                if (admitted_.size() >= kAdmittedBatch && sort_admitted_reach(t)) return true;
            }
            if (sort_admitted_reach(t)) return true;
        }
        sort_.below = t;
        return false;
    }

    // The token-sort scan of a list that has its entries' counts beside it
    // (`counts`; the query's fit a byte): the bound of each entry of the
    // window from those in sequence, a run of one length at a time, then the
    // LCS of those it lets through, a few dozen at a time so that a list
    // holding a match stops soon after it.
    bool sort_list_reaches(std::uint32_t id, const LibraryIndex::Nibbles* counts, std::uint32_t first_id,
                           std::uint32_t end_id, std::size_t lo, double t) {
        const std::uint32_t* begin = ix_->combined_postings_.begin(id);
        const std::uint32_t* p = std::lower_bound(begin, ix_->combined_postings_.end(id), first_id);
        const std::uint32_t* end = std::lower_bound(p, ix_->combined_postings_.end(id), end_id);
        const std::uint32_t* length_start = ix_->length_start_.data();
        const std::size_t n = sorted_chars_;
        admitted_.clear();
        for (std::size_t m = lo; p != end;) {
            while (length_start[m + 1] <= *p) ++m;
            const std::uint32_t* run_end = std::lower_bound(p, end, length_start[m + 1]);
            const std::size_t need = least_lcs(t, n, m);
            if (need <= std::min(n, m)) {
                const LibraryIndex::Nibbles* record = counts + (p - begin);
                const std::size_t size = static_cast<std::size_t>(run_end - p);
                const auto admit = [&](std::uint32_t c) {
                    if (!first_visit(c)) return;
                    __builtin_prefetch(&ix_->entries_[c]);
                    admitted_.push_back({c, static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(need)});
                };
                std::size_t k = 0;
#if defined(__SSE2__)
                // Four records to a comparison: no branch per record, and
                // nearly every group lets none through.
                const __m128i below = _mm_set1_epi16(static_cast<short>(need - 1));
                const auto ahead = static_cast<std::size_t>(end - p);  // ids to the window's end
                for (; k + 4 <= size; k += 4) {
                    // The ids of the few let through would be a miss each:
                    // the hardware fetches ahead only the records read.
                    if ((k & 15) == 0 && k + kIdsAhead < ahead) __builtin_prefetch(p + k + kIdsAhead);
                    for (unsigned reach = reaching_of_four(record + k, below); reach != 0; reach &= reach - 1)
                        admit(p[k + static_cast<std::size_t>(std::countr_zero(reach)) / 4]);
                }
#endif
                for (; k < size; ++k)
                    if (sorted_common_count(record[k]) >= need) admit(p[k]);
            }
            p = run_end;
            if ((admitted_.size() >= kAdmittedBatch || p == end) && sort_admitted_reach(t)) return true;
        }
        return false;
    }

#if defined(__SSE2__)
    // sorted_common_count of four records at once against `below` (the least
    // that reaches, less one, in each 16-bit lane): bit 4k set when record
    // k's reaches.
    unsigned reaching_of_four(const LibraryIndex::Nibbles* records, __m128i below) const {
        const __m128i zero = _mm_setzero_si128();
        __m128i sums[4];
        for (std::size_t k = 0; k < 4; ++k) {
            __m128i lo, hi;
            detail::unpack_nibbles(records[k].packed, lo, hi);
            if (sorted_counts_small_) {
                sums[k] = _mm_sad_epu8(_mm_add_epi8(_mm_min_epu8(lo, sorted_lo_), _mm_min_epu8(hi, sorted_hi_)), zero);
            } else {
                // 15 becomes 255, above any count of the query's.
                const __m128i top = _mm_set1_epi8(15);
                lo = _mm_or_si128(lo, _mm_cmpeq_epi8(lo, top));
                hi = _mm_or_si128(hi, _mm_cmpeq_epi8(hi, top));
                sums[k] = _mm_add_epi64(_mm_sad_epu8(_mm_min_epu8(lo, sorted_lo_), zero),
                                        _mm_sad_epu8(_mm_min_epu8(hi, sorted_hi_), zero));
            }
        }
        // Each sum in the low 32 bits of a 64-bit lane, at most 32 x 255: as
        // 16-bit lanes 0, 2, 4 and 6 of one vector.
        const __m128i a = _mm_add_epi64(_mm_unpacklo_epi64(sums[0], sums[1]), _mm_unpackhi_epi64(sums[0], sums[1]));
        const __m128i b = _mm_add_epi64(_mm_unpacklo_epi64(sums[2], sums[3]), _mm_unpackhi_epi64(sums[2], sums[3]));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi16(_mm_packs_epi32(a, b), below))) & 0x1111u;
    }
#endif

    // At least the characters the sorted query tokens and an entry of these
    // four-bit counts have in common (sorted_counts_fit_).
    std::size_t sorted_common_count(const LibraryIndex::Nibbles& record) const {
#if defined(__SSE2__)
        if (sorted_counts_small_) {
            // A count of 15 or more bounds as 15 does against counts of at
            // most 15, and two minima of at most 15 add up within a byte.
            __m128i lo, hi;
            detail::unpack_nibbles(record.packed, lo, hi);
            const __m128i sum = _mm_add_epi8(_mm_min_epu8(lo, sorted_lo_), _mm_min_epu8(hi, sorted_hi_));
            const __m128i halves = _mm_sad_epu8(sum, _mm_setzero_si128());
            return static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_add_epi32(halves, _mm_srli_si128(halves, 8))));
        }
#endif
        return scan::common_count(sorted_counts_, record);
    }

    // Whether the token-sort ratio of any entry of admitted_ reaches t;
    // records the scores and empties admitted_. Where the query's sorted
    // tokens fit a word, the ASCII entries stream through four LCS lanes,
    // each left as soon as it cannot reach its least LCS.
    bool sort_admitted_reach(double t) {
        const bool reached = admitted_reach(t);
        admitted_.clear();
        return reached;
    }
    bool admitted_reach(double t) {
        const std::size_t size = admitted_.size();
        const auto one = [&](const Admitted& a) {
            const double s = sort_score(a.c, a.m, a.need);
            sort_.see(a.c, s);
            return s >= t;
        };
        if (sorted_pattern_.words() != 1) {
            for (std::size_t k = 0; k < size; ++k) {
                if (k + kLcsAhead < size)
                    __builtin_prefetch(ix_->text_.data() + ix_->entries_[admitted_[k + kLcsAhead].c].sorted_at);
                if (one(admitted_[k])) return true;
            }
            return false;
        }
        bool reached = false;
        std::size_t k = 0;
        const auto next = [&](const unsigned char*& text, std::size_t& bytes, std::size_t& least, std::uint32_t& tag) {
            for (; k < size && !reached; ++k) {
                // Their sorted tokens fetched ahead (their entries were when admitted).
                if (k + kLcsAhead < size)
                    __builtin_prefetch(ix_->text_.data() + ix_->entries_[admitted_[k + kLcsAhead].c].sorted_at);
                const LibraryIndex::Entry& e = ix_->entries_[admitted_[k].c];
                if (!e.sorted_ascii) {
                    reached = one(admitted_[k]);
                    continue;
                }
                text = reinterpret_cast<const unsigned char*>(ix_->text_.data() + e.sorted_at);
                bytes = e.sorted_size;
                least = admitted_[k].need;
                tag = static_cast<std::uint32_t>(k++);
                return true;
            }
            return false;
        };
        const auto done = [&](std::uint32_t tag, std::size_t lcs) {
            const Admitted& a = admitted_[tag];
            const double s = detail::ratio_from_lcs(lcs, sorted_chars_, a.m);
            sort_.see(a.c, s);
            reached = reached || s >= t;
            return reached;
        };
        detail::lcs_stream_x4(sorted_pattern_, next, done);
        return reached;
    }

    // The least LCS of strings of n and m characters whose ratio reaches t;
    // one more than the shorter length when none does.
    static std::size_t least_lcs(double t, std::size_t n, std::size_t m) {
        if (!(t > 0.0)) return 0;
        const std::size_t most = std::min(n, m);
        // Near t (n + m) / 2, then settled by the comparison itself.
        const double guess = std::floor(t * static_cast<double>(n + m) / 2.0);
        auto l = guess >= static_cast<double>(most) ? most + 1 : static_cast<std::size_t>(std::max(0.0, guess));
        while (l > 0 && detail::ratio_from_lcs(l - 1, n, m) >= t) --l;
        while (l <= most && detail::ratio_from_lcs(l, n, m) < t) ++l;
        return l;
    }

    // Makes the query's sorted tokens the LCS pattern, and the signature
    // table too when a scan of `candidates` entries pays for it; tells
    // whether to bound by signatures.
    bool prepare_sort(std::size_t candidates) {
        if (!sorted_pattern_ready_) {
            // Latin-1 bytes are the code points they stand for: either matches an entry's characters.
            utf8::visit(utf8::narrowest(sorted_, sorted_chars_buffers_),
                        [&](const auto* chars, std::size_t size) { sorted_pattern_.assign(chars, size); });
            sorted_pattern_ready_ = true;
        }
        // The table costs as much as a few hundred candidates' exact counts.
        const bool use_signatures = sorted_counts_fit_ && candidates >= kSignatureTableCandidates;
        if (use_signatures && !signature_table_ready_) {
            // Entry j of table k: the bound of the four buckets of byte k of a
            // signature holding j; a code of 3 stands for any count from 3 up.
            for (std::size_t k = 0; k < 8; ++k) {
                for (std::size_t j = 0; j < 256; ++j) {
                    std::uint16_t sum = 0;
                    for (std::size_t i = 0; i < 4; ++i) {
                        const std::uint8_t q = sorted_counts_.n[4 * k + i];
                        const std::uint8_t code = (j >> (2 * i)) & 3;
                        sum += code == 3 ? q : std::min(q, code);
                    }
                    signature_table_[k][j] = sum;
                }
            }
            signature_table_ready_ = true;
        }
        return use_signatures;
    }

    // Whether the character counts of entry c (`most` common characters by
    // the lengths) let the LCS with the sorted query tokens reach `need`;
    // the signatures first where they are used.
    bool sort_may_reach(std::uint32_t c, std::size_t most, bool use_signatures, std::size_t need) const {
        if (!sorted_counts_fit_) return most >= need;
        if (use_signatures && std::min(most, signature_bound(c)) < need) return false;
        return std::min(most, common_count(sorted_counts_, ix_->counts_[c])) >= need;
    }

    // The characters entry c has in common with the sorted query tokens at
    // most, by its signature (prepare_sort said to use them).
    std::size_t signature_bound(std::uint32_t c) const {
        const std::uint64_t signature = ix_->signatures_[c];
        std::size_t coarse = 0;
        for (std::size_t k = 0; k < 8; ++k) coarse += signature_table_[k][(signature >> (8 * k)) & 255];
        return coarse;
    }

    // The token-sort ratio of the release and entry c, of m characters
    // (prepare_sort first); when its LCS is below `least`, perhaps a lower
    // ratio than the exact one.
    double sort_score(std::uint32_t c, std::size_t m, std::size_t least = 0) {
        const LibraryIndex::Entry& e = ix_->entries_[c];
        // The query's sorted tokens are the pattern, built once per release.
        const std::string_view other = ix_->text(e.sorted_at, e.sorted_size);
        std::size_t lcs;
        if (e.sorted_ascii) {
            lcs = detail::lcs_with_pattern(sorted_pattern_, reinterpret_cast<const unsigned char*>(other.data()),
                                           other.size(), least);
        } else {
            const utf8::CharSpan wide = utf8::widest(other, other_buffers_);
            lcs = detail::lcs_with_pattern(sorted_pattern_, wide.wide, wide.size, least);
        }
        return detail::ratio_from_lcs(lcs, sorted_chars_, m);
    }

    const Reach& two_stage() {
        if (!two_stage_done_) {
            scan_two_stage(artist_, title_, two_stage_);
            two_stage_done_ = true;
        }
        return two_stage_;
    }

    // The best artist exactly (ties to the earliest), then its titles until
    // the product reaches what is asked. An artist below the gate can only
    // matter as the best when no artist reaches the gate, and then the score
    // is 0.0 whichever it is, so artists whose bound is below the gate are
    // never scored.
    void scan_two_stage(std::string_view artist, std::string_view title, Reach& reach) {
        const auto [best, best_at] = best_artist(artist);
        if (best == 0.0 || best < th_->artist_gate) return;
        const utf8::CharSpan t = utf8::narrowest(title, title_buffers_);
        double bt = 0.0;
        for (const std::uint32_t* e = ix_->artist_entries_.begin(best_at); e != ix_->artist_entries_.end(best_at); ++e) {
            bt = std::max(bt, jaro_winkler_of(t, ix_->title(*e)));
            reach.see(std::sqrt(best * bt));
            if (reach.settled()) return;
        }
    }

    // The best artist score (0.0 for no candidate) and its artist position;
    // scores below the gate are not exact. It depends on the artist, the
    // index and the gate alone: the memo answers a repeated artist.
    std::pair<double, std::uint32_t> best_artist(std::string_view artist) {
        if (memo_ == nullptr) return search_best_artist(artist);
        if (!memo_->set || memo_->artist != artist) {
            std::tie(memo_->best, memo_->at) = search_best_artist(artist);
            memo_->artist.assign(artist);
            memo_->set = true;
        }
        return {memo_->best, memo_->at};
    }

    std::pair<double, std::uint32_t> search_best_artist(std::string_view artist) {
        artist_ids_.clear();
        artist_tokens_.clear();
        detail::for_each_index_token(artist, [&](std::string&& token) {
            const std::int64_t id = ix_->token_id(token);
            if (id < 0) return;
            artist_ids_.push_back(static_cast<std::uint32_t>(id));
            artist_tokens_.push_back(std::move(token));
        });
        if (artist_ids_.empty()) return {0.0, 0};
        // Only the artist itself scores 1.0, and the library's artists are
        // distinct: no scan can find a better one or an earlier equal.
        const std::size_t position = artist_position(artist);
        if (position < ix_->artist_count() && ix_->artist(position) == artist)
            return {1.0, static_cast<std::uint32_t>(position)};
        std::sort(artist_ids_.begin(), artist_ids_.end(), [&](std::uint32_t x, std::uint32_t y) {
            return ix_->artist_postings_.size(x) < ix_->artist_postings_.size(y);
        });
        start_scan(ix_->artist_count());
        const utf8::CharSpan a = utf8::narrowest(artist, artist_buffers_);
        std::uint32_t histogram[kBuckets] = {};
        char32_t head[4];
        const std::size_t head_size = std::min<std::size_t>(detail::add_histogram(artist, histogram, head), 4);
        bool counts_fit;
        const LibraryIndex::Counts counts = LibraryIndex::Counts::capped(histogram, &counts_fit);
        const double gate = th_->artist_gate;
        double best = 0.0;
        std::uint32_t best_at = 0;
        const auto see = [&](double s, std::uint32_t at) {
            if (s > best || (best > 0.0 && s == best && at < best_at)) {
                best = s;
                best_at = at;
            }
        };
        // The artists beside the query in byte order share its first
        // characters, which the score weighs most: those among the candidates
        // (sharing a token) come first, so that the floor of every scan
        // starts near the best.
        const std::size_t from = position > kNeighbours ? position - kNeighbours : 0;
        const std::size_t to = std::min(position + kNeighbours, ix_->artist_count());
        for (std::size_t p = from; p < to; ++p) {
            bool shares = false;
            detail::for_each_index_token(ix_->artist(p), [&](std::string&& token) {
                shares = shares || std::find(artist_tokens_.begin(), artist_tokens_.end(), token) != artist_tokens_.end();
            });
            if (shares && first_visit(static_cast<std::uint32_t>(p)))
                see(jaro_winkler_of(a, ix_->artist(p)), static_cast<std::uint32_t>(p));
        }
        // The trees cut the query to its compared prefix, as the batch does.
        const bool use_trees = artist.size() <= detail::kComparedChars;
        for (std::uint32_t id : artist_ids_) {
            // A long list (the rarest first: they come last) is searched by
            // its tree, from the floor the others have raised. An artist of
            // several lists is scored once: the tree skips those seen, whose
            // scores are below the floor or in `best` already.
            if (const PreparedCatalogue* tree = use_trees ? ix_->artist_tree(id) : nullptr) {
                const std::uint32_t* postings = ix_->artist_postings_.begin(id);
                const std::function<bool(std::size_t)> admit = [&](std::size_t k) { return first_visit(postings[k]); };
                if (const auto found = tree->best_entry(artist, std::max(best, gate), admit))
                    see(found->first, postings[found->second]);
                continue;
            }
            const std::uint32_t* end = ix_->artist_postings_.end(id);
            for (const std::uint32_t* p = ix_->artist_postings_.begin(id); p != end; ++p) {
                if (p + kPrefetchAhead < end) __builtin_prefetch(&ix_->artist_summaries_[p[kPrefetchAhead]]);
                if (!first_visit(*p)) continue;
                // Scores below this change nothing: below the best, or below
                // a positive gate while nothing has reached it.
                const double floor = std::max(best, gate);
                if (floor > 0.0) {
                    // Bounds from the lengths and characters, then the actual prefix.
                    const LibraryIndex::ArtistSummary& other = ix_->artist_summaries_[*p];
                    const std::size_t matches = counts_fit ? common_count(counts, other.counts) : SIZE_MAX;
                    if (detail::jaro_winkler_bound(a.size, other.chars, matches, 4) < floor) continue;
                    std::size_t prefix = 0;
                    const std::size_t other_head = std::min<std::size_t>(other.chars, 4);
                    while (prefix < head_size && prefix < other_head && head[prefix] == other.head[prefix]) ++prefix;
                    if (detail::jaro_winkler_bound(a.size, other.chars, matches, prefix) < floor) continue;
                }
                see(jaro_winkler_of(a, ix_->artist(*p)), *p);
            }
        }
        return {best, best_at};
    }

    // The first position among the library's artists (sorted byte-wise)
    // that does not sort before `artist`.
    std::size_t artist_position(std::string_view artist) const {
        std::size_t lo = 0, hi = ix_->artist_count();
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (ix_->artist(mid) < artist) {
                lo = mid + 1;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

    static constexpr std::size_t kPrefetchAhead = 16;
    // Artists on each side of the query's place in byte order scored first.
    static constexpr std::size_t kNeighbours = 4;
    static constexpr std::size_t kLcsAhead = 8;
    // Ids of a sort list fetched this far ahead of the records compared.
    static constexpr std::size_t kIdsAhead = 128;
    // Entries of a sort list let through before their LCS are computed.
    static constexpr std::size_t kAdmittedBatch = 64;
    // Candidates in a token-sort window from which the signature table pays off.
    static constexpr std::uint32_t kSignatureTableCandidates = 512;

    const LibraryIndex* ix_ = nullptr;
    const ClassifyThresholds* th_ = nullptr;
    std::string_view artist_, title_;
    Memo set_, sort_;
    Reach two_stage_{0.0, 0.0};
    bool two_stage_done_ = false;
    static constexpr std::size_t kNoArtist = static_cast<std::size_t>(-1);
    bool own_artist_known_ = false;
    std::size_t own_artist_ = kNoArtist;

    std::string query_;
    std::vector<std::string> all_tokens_;
    std::string sorted_;
    std::size_t sorted_chars_ = 0;
    std::vector<QueryToken> tokens_;
    std::size_t token_chars_ = 0;
    std::vector<std::uint32_t> query_ids_;  // ascending
    std::vector<std::uint32_t> by_rarity_;  // the same, shortest posting list first
    ArtistMemo* memo_ = nullptr;  // the pass's, while a release of it is classified
    std::vector<std::uint32_t> artist_ids_;
    std::vector<std::string> artist_tokens_;  // the artist's tokens that the index holds
    std::string rest_a_, rest_b_;
    utf8::CharBuffers artist_buffers_, title_buffers_, sorted_chars_buffers_, other_buffers_;
    LibraryIndex::Counts sorted_counts_;          // the sorted query tokens, spaces included
    bool sorted_counts_fit_ = true;
    bool sorted_counts_small_ = true;  // and each at most 15
#if defined(__SSE2__)
    __m128i sorted_lo_, sorted_hi_;  // sorted_counts_ in two halves
#endif
    std::uint32_t set_histogram_[kBuckets] = {};  // the distinct query tokens
    bool set_counts_fit_ = true;
    bool sorted_pattern_ready_ = false;
    bool signature_table_ready_ = false;
    std::uint16_t signature_table_[8][256];
    detail::PatternMasks sorted_pattern_;

    // Entries of a sort list's block whose bound reaches the threshold:
    // internal id, characters, and the least LCS that reaches it.
    struct Admitted {
        std::uint32_t c, m, need;
    };
    std::vector<Admitted> admitted_;

    std::vector<std::uint64_t> seen_;
    std::vector<std::uint32_t> seen_words_;  // the words of seen_ that are not zero
};

}  // namespace scan

using scan::Classifier;

}  // namespace zemo::fuzzy
