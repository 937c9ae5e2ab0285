#include "fuzzy/classify.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <stdexcept>

#include "fuzzy/chars.hpp"
#include "fuzzy/kernels.hpp"
#include "fuzzy/metrics.hpp"
#include "text/forms.hpp"

namespace zemo::fuzzy {
namespace {

constexpr std::string_view kSeparator = " ||| ";
constexpr std::string_view kBars = "|||";
constexpr std::uint32_t kNoEntry = std::numeric_limits<std::uint32_t>::max();

// Calls fn(token) for each index token of `s`: lower-cased, "|||" left out.
template <typename Fn>
void for_each_index_token(std::string_view s, Fn&& fn) {
    detail::for_each_piece(s, [&](std::string_view piece) {
        if (piece != kBars) fn(detail::lower_token(piece));
    });
}

std::size_t pair_hash(std::string_view artist, std::string_view title) {
    const std::size_t h = std::hash<std::string_view>{}(artist);
    return (h * 0x9E3779B97F4A7C15ULL) ^ std::hash<std::string_view>{}(title);
}

// Inverts rows of targets (row r holds targets(r), a pair of pointers) into
// rows of sources: row t lists, ascending, the rows r whose targets hold t.
template <typename Targets>
void invert(std::size_t n_rows, std::size_t n_targets, Targets targets, std::vector<std::uint32_t>& starts,
            std::vector<std::uint32_t>& values) {
    starts.assign(n_targets + 1, 0);
    for (std::size_t r = 0; r < n_rows; ++r)
        for (auto [p, end] = targets(r); p != end; ++p) ++starts[*p + 1];
    for (std::size_t t = 0; t < n_targets; ++t) starts[t + 1] += starts[t];
    values.resize(starts[n_targets]);
    std::vector<std::uint32_t> fill(starts.begin(), starts.end() - 1);
    for (std::size_t r = 0; r < n_rows; ++r)
        for (auto [p, end] = targets(r); p != end; ++p) values[fill[*p]++] = static_cast<std::uint32_t>(r);
}

// The characters of `s` for the kernels: its own bytes when ASCII, one byte
// per character when Latin-1 (in `narrow`), else code points (in `wide`).
detail::CharSpan chars_of(std::string_view s, std::vector<unsigned char>& narrow, std::vector<char32_t>& wide) {
    if (detail::is_ascii(s)) return {reinterpret_cast<const unsigned char*>(s.data()), nullptr, s.size()};
    if (detail::decode_latin1(s, narrow)) return {narrow.data(), nullptr, narrow.size()};
    detail::decode(s, wide);
    return {nullptr, wide.data(), wide.size()};
}

double lcs_ratio_of(std::string_view a, std::string_view b, std::size_t extra, std::size_t n, std::size_t m) {
    thread_local std::vector<unsigned char> tls_na, tls_nb;
    thread_local std::vector<char32_t> tls_wa, tls_wb;
    const detail::CharSpan x = chars_of(a, tls_na, tls_wa);
    const detail::CharSpan y = chars_of(b, tls_nb, tls_wb);
    std::size_t l;
    if (x.wide == nullptr && y.wide == nullptr) {
        l = detail::lcs_length(x.narrow, x.size, y.narrow, y.size);
    } else {
        // Mixed widths: widen both.
        detail::decode(a, tls_wa);
        detail::decode(b, tls_wb);
        l = detail::lcs_length(tls_wa.data(), tls_wa.size(), tls_wb.data(), tls_wb.size());
    }
    return detail::ratio_from_lcs(extra + l, n, m);
}

double jaro_winkler_of(const detail::CharSpan& a, std::string_view b) {
    thread_local std::vector<unsigned char> tls_narrow;
    thread_local std::vector<char32_t> tls_wide;
    return detail::visit(a, chars_of(b, tls_narrow, tls_wide),
                         [](const auto* x, std::size_t n, const auto* y, std::size_t m) {
                             return detail::jaro_winkler(x, n, y, m);
                         });
}

// Leading characters (at most four) that `a` and `b` share.
std::size_t prefix_of(const detail::CharSpan& a, std::string_view b) {
    char32_t head[4];
    std::size_t n_head = 0;
    for (std::size_t i = 0; i < b.size() && n_head < 4;) head[n_head++] = detail::next_char(b, i);
    return detail::visit(a, [&](const auto* x, std::size_t n) { return detail::common_prefix4(x, n, head, n_head); });
}

using detail::bucket;
using detail::kBuckets;
using detail::kSpaceBucket;

void add_histogram(std::string_view s, std::uint32_t* h) {
    for (std::size_t i = 0; i < s.size();) ++h[bucket(detail::next_char(s, i))];
}

// Sum over buckets (optionally without spaces) of the smaller count.
std::size_t common_chars(const std::uint32_t* q, const std::uint8_t* e, bool spaces) {
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

}  // namespace

std::string_view to_string(Classification c) noexcept {
    switch (c) {
        case Classification::Keep: return "keep";
        case Classification::Prune: return "prune";
        case Classification::Review: return "review";
    }
    return "review";
}

std::string combined_key(std::string_view artist, std::string_view title) {
    std::string key;
    key.reserve(artist.size() + kSeparator.size() + title.size());
    key.append(artist).append(kSeparator).append(title);
    return key;
}

// ---------------------------------------------------------------------------
// Building

LibraryIndex LibraryIndex::from_pairs(const Pairs& pairs) {
    if (pairs.size() >= kNoEntry) throw std::length_error("library index holds at most 2^32 - 1 pairs");
    LibraryIndex ix;
    ix.entries_.resize(pairs.size());
    ix.lengths_.resize(pairs.size());
    ix.histograms_.resize(pairs.size());

    // Match forms are rarely longer than their input: reserve for the keys
    // and sorted tokens up front rather than growing (and copying) the buffer.
    std::size_t input_bytes = 0;
    for (const auto& [artist, title] : pairs) input_bytes += artist.size() + title.size() + kSeparator.size();
    ix.text_.reserve(2 * input_bytes + input_bytes / 8);
    ix.entry_tokens_.reserve(4 * pairs.size());

    std::unordered_map<std::string, std::uint32_t> provisional;  // token -> first-seen id
    std::vector<std::uint32_t> ids;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::string artist = text::to_match_form(pairs[i].first);
        const std::string title = text::to_match_form(pairs[i].second);
        const std::string key = combined_key(artist, title);
        Entry& e = ix.entries_[i];
        e.key_at = ix.text_.size();
        e.key_size = static_cast<std::uint32_t>(key.size());
        e.artist_size = static_cast<std::uint32_t>(artist.size());
        ix.text_ += key;

        const std::string sorted = sorted_tokens(key);
        e.sorted_at = ix.text_.size();
        e.sorted_size = static_cast<std::uint32_t>(sorted.size());
        ix.lengths_[i].sorted_chars = static_cast<std::uint32_t>(detail::char_count(sorted));
        e.sorted_ascii = detail::is_ascii(sorted);
        ix.text_ += sorted;
        std::uint32_t histogram[kBuckets] = {};
        add_histogram(sorted, histogram);
        detail::Histogram& h = ix.histograms_[i];
        h.ok = std::all_of(histogram, histogram + kBuckets, [](std::uint32_t n) { return n <= 255; });
        if (h.ok) std::copy(histogram, histogram + kBuckets, h.counts);

        ids.clear();
        for_each_index_token(key, [&](std::string&& token) {
            const auto next = static_cast<std::uint32_t>(provisional.size());
            ids.push_back(provisional.try_emplace(std::move(token), next).first->second);
        });
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        e.tokens_at = static_cast<std::uint32_t>(ix.entry_tokens_.size());
        ix.lengths_[i].token_count = static_cast<std::uint32_t>(ids.size()) + 1;  // and "|||"
        ix.entry_tokens_.insert(ix.entry_tokens_.end(), ids.begin(), ids.end());
    }

    // Final ids follow token order, so sorted id lists are sorted token lists.
    std::vector<const std::string*> by_order(provisional.size());
    for (const auto& [token, id] : provisional) by_order[id] = &token;
    std::vector<std::uint32_t> order(by_order.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) order[k] = k;
    std::sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) { return *by_order[x] < *by_order[y]; });
    std::vector<std::uint32_t> final_id(order.size());
    std::vector<std::uint64_t> vocab_at(order.size());
    ix.token_chars_.resize(order.size());
    std::size_t vocab_bytes = 0;
    for (const std::string* t : by_order) vocab_bytes += t->size();
    ix.vocabulary_text_.reserve(vocab_bytes);
    for (std::uint32_t k = 0; k < order.size(); ++k) {
        final_id[order[k]] = k;
        vocab_at[k] = ix.vocabulary_text_.size();
        ix.vocabulary_text_ += *by_order[order[k]];
        ix.token_chars_[k] = static_cast<std::uint32_t>(detail::char_count(*by_order[order[k]]));
    }
    by_order = {};
    provisional = {};
    ix.vocabulary_.resize(order.size());
    ix.token_ids_.reserve(order.size());
    for (std::uint32_t k = 0; k < order.size(); ++k) {
        const std::uint64_t end = k + 1 < order.size() ? vocab_at[k + 1] : ix.vocabulary_text_.size();
        ix.vocabulary_[k] = std::string_view(ix.vocabulary_text_).substr(vocab_at[k], end - vocab_at[k]);
        ix.token_ids_.emplace(ix.vocabulary_[k], k);
    }

    for (std::size_t i = 0; i < pairs.size(); ++i) {
        Lengths& len = ix.lengths_[i];
        std::uint32_t* first = ix.entry_tokens_.data() + ix.entries_[i].tokens_at;
        std::uint32_t* last = first + (len.token_count - 1);
        for (std::uint32_t* id = first; id != last; ++id) *id = final_id[*id];
        std::sort(first, last);
        len.token_chars = static_cast<std::uint32_t>(kBars.size());
        for (std::uint32_t* id = first; id != last; ++id) len.token_chars += ix.token_chars_[*id];
    }
    ix.entry_tokens_.shrink_to_fit();
    const auto entry_tokens = [&](std::size_t i) {
        const std::uint32_t* first = ix.entry_tokens_.data() + ix.entries_[i].tokens_at;
        return std::pair(first, first + (ix.lengths_[i].token_count - 1));
    };
    invert(pairs.size(), order.size(), entry_tokens, ix.combined_postings_.starts, ix.combined_postings_.values);

    // Artists: distinct, sorted, with their entries and their own token index.
    std::vector<std::string_view> artist_views(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const Entry& e = ix.entries_[i];
        artist_views[i] = ix.text(e.key_at, e.artist_size);
    }
    ix.artists_ = artist_views;
    std::sort(ix.artists_.begin(), ix.artists_.end());
    ix.artists_.erase(std::unique(ix.artists_.begin(), ix.artists_.end()), ix.artists_.end());
    ix.artist_chars_.resize(ix.artists_.size());
    ix.artist_histograms_.resize(ix.artists_.size());
    {
        std::vector<unsigned char> narrow;
        std::vector<char32_t> wide;
        for (std::size_t p = 0; p < ix.artists_.size(); ++p) {
            const detail::CharSpan chars = chars_of(ix.artists_[p], narrow, wide);
            ix.artist_chars_[p] = static_cast<std::uint32_t>(chars.size);
            ix.artist_histograms_[p] =
                detail::visit(chars, [](const auto* c, std::size_t n) { return detail::Histogram::of(c, n); });
        }
    }
    ix.artist_of_entry_.resize(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const auto at = std::lower_bound(ix.artists_.begin(), ix.artists_.end(), artist_views[i]);
        ix.artist_of_entry_[i] = static_cast<std::uint32_t>(at - ix.artists_.begin());
    }
    const auto artist_of = [&](std::size_t i) {
        const std::uint32_t* p = &ix.artist_of_entry_[i];
        return std::pair(p, p + 1);
    };
    invert(pairs.size(), ix.artists_.size(), artist_of, ix.artist_entries_.starts, ix.artist_entries_.values);

    std::vector<std::uint32_t> artist_token_starts{0}, artist_tokens;
    for (std::size_t p = 0; p < ix.artists_.size(); ++p) {
        ids.clear();
        for_each_index_token(ix.artists_[p], [&](std::string&& token) { ids.push_back(ix.token_ids_.at(token)); });
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        artist_tokens.insert(artist_tokens.end(), ids.begin(), ids.end());
        artist_token_starts.push_back(static_cast<std::uint32_t>(artist_tokens.size()));
    }
    const auto tokens_of_artist = [&](std::size_t p) {
        return std::pair(artist_tokens.data() + artist_token_starts[p], artist_tokens.data() + artist_token_starts[p + 1]);
    };
    invert(ix.artists_.size(), order.size(), tokens_of_artist, ix.artist_postings_.starts, ix.artist_postings_.values);

    // The pair set: open addressing over entry positions, one slot per distinct pair.
    std::size_t cap = 16;
    while (cap < 2 * pairs.size()) cap *= 2;
    ix.pair_slots_.assign(cap, kNoEntry);
    ix.pair_mask_ = cap - 1;
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        const std::string_view artist = artist_views[i];
        const std::string_view title = ix.title(i);
        for (std::size_t s = pair_hash(artist, title) & ix.pair_mask_;; s = (s + 1) & ix.pair_mask_) {
            const std::uint32_t at = ix.pair_slots_[s];
            if (at == kNoEntry) {
                ix.pair_slots_[s] = static_cast<std::uint32_t>(i);
                break;
            }
            if (artist_views[at] == artist && ix.title(at) == title) break;
        }
    }
    return ix;
}

// ---------------------------------------------------------------------------
// Queries

std::string_view LibraryIndex::combined(std::size_t i) const noexcept {
    return text(entries_[i].key_at, entries_[i].key_size);
}

std::string_view LibraryIndex::title(std::size_t i) const {
    return combined(i).substr(entries_[i].artist_size + kSeparator.size());
}

std::vector<std::string_view> LibraryIndex::titles_of(std::size_t artist) const {
    std::vector<std::string_view> out;
    for (const std::uint32_t* e = artist_entries_.begin(artist); e != artist_entries_.end(artist); ++e)
        out.push_back(title(*e));
    return out;
}

std::int64_t LibraryIndex::token_id(std::string_view token) const {
    const auto it = token_ids_.find(token);
    return it == token_ids_.end() ? -1 : static_cast<std::int64_t>(it->second);
}

std::size_t LibraryIndex::find_pair(std::string_view artist, std::string_view title) const {
    for (std::size_t s = pair_hash(artist, title) & pair_mask_;; s = (s + 1) & pair_mask_) {
        const std::uint32_t at = pair_slots_[s];
        if (at == kNoEntry) return kNoEntry;
        if (entries_[at].artist_size == artist.size() && combined(at).substr(0, artist.size()) == artist &&
            this->title(at) == title)
            return at;
    }
}

bool LibraryIndex::contains_pair(std::string_view artist, std::string_view title) const {
    return find_pair(artist, title) != kNoEntry;
}

std::vector<std::uint32_t> LibraryIndex::combined_postings(std::string_view token) const {
    const std::int64_t id = token_id(token);
    if (id < 0) return {};
    return {combined_postings_.begin(id), combined_postings_.end(id)};
}

std::vector<std::uint32_t> LibraryIndex::artist_postings(std::string_view token) const {
    const std::int64_t id = token_id(token);
    if (id < 0) return {};
    return {artist_postings_.begin(id), artist_postings_.end(id)};
}

// ---------------------------------------------------------------------------
// Classification
//
// The decision depends only on whether each score reaches the review floor
// and its keep value (and, for the two-stage score, on its exact best
// artist). So each scan stops as soon as both thresholds are reached, and a
// candidate is scored only if a cheap upper bound can reach a threshold not
// yet reached. In the token-set score the shared-token string is a prefix of
// both combined strings: two of its ratios are closed forms in the token
// lengths, and the third needs the LCS of the two remainders only.

class Classifier {
public:
    Classification classify(const LibraryIndex& ix, const ClassifyThresholds& th, std::string_view artist,
                            std::string_view title) {
        ix_ = &ix;
        th_ = &th;
        finish(Classification::Keep);  // in case an earlier release was interrupted
        if (ix.find_pair(artist, title) != kNoEntry) return Classification::Keep;
        prepare_query(artist, title);
        gather_candidates();

        Reach s1(th_->review_floor, th_->token_set_keep);
        scan_token_set(s1);
        if (s1.low() && !s1.high()) return finish(Classification::Review);
        Reach s2(th_->review_floor, th_->token_sort_keep);
        scan_token_sort(s2);
        if (s2.low() && !s2.high()) return finish(Classification::Review);

        const bool both_keep = s1.high() && s2.high();
        const bool both_low = !s1.low() && !s2.low();
        if (!both_keep && !both_low) return finish(Classification::Review);
        Reach s3(th_->review_floor, th_->two_stage_keep);
        scan_two_stage(artist, title, s3);
        if (both_keep && s3.high()) return finish(Classification::Keep);
        if (both_low && !s3.low()) return finish(Classification::Prune);
        return finish(Classification::Review);
    }

private:
    struct QueryToken {
        std::string text;
        std::int64_t id;
        std::uint32_t chars;
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

        std::fill(std::begin(sorted_histogram_), std::end(sorted_histogram_), 0);
        add_histogram(sorted_, sorted_histogram_);
        std::fill(std::begin(set_histogram_), std::end(set_histogram_), 0);
        for (const QueryToken& t : tokens_) add_histogram(t.text, set_histogram_);
        sorted_ascii_ = detail::is_ascii(sorted_);
        if (sorted_ascii_) {
            sorted_pattern_.assign(reinterpret_cast<const unsigned char*>(sorted_.data()), sorted_.size());
        } else {
            detail::decode(sorted_, sorted_wide_);
            sorted_pattern_.assign(sorted_wide_.data(), sorted_wide_.size());
        }
    }

    // Every entry sharing an index token, with the count and characters of
    // the shared tokens, ordered by shared count (most first) so that strong
    // candidates settle a scan early.
    void gather_candidates() {
        if (shared_.size() < ix_->size()) {
            shared_.resize(ix_->size());
            seen_.resize((ix_->size() + 63) / 64, 0);
        }
        touched_.clear();
        for (std::uint32_t id : query_ids_) {
            const std::uint32_t chars = ix_->token_chars_[id];
            for (const std::uint32_t* p = ix_->combined_postings_.begin(id); p != ix_->combined_postings_.end(id); ++p) {
                Shared& sh = shared_[*p];
                if (sh.count++ == 0) {
                    touched_.push_back(*p);
                    seen_[*p / 64] |= std::uint64_t{1} << (*p % 64);
                }
                sh.chars += chars;
            }
        }
        // Ascending positions read the per-entry arrays nearly in order.
        if (query_ids_.size() > 1) {
            touched_.clear();
            for (std::size_t w = 0; w < seen_.size(); ++w) {
                for (std::uint64_t bits = seen_[w]; bits != 0; bits &= bits - 1)
                    touched_.push_back(static_cast<std::uint32_t>(w * 64 + std::countr_zero(bits)));
                seen_[w] = 0;
            }
        } else {
            for (std::uint32_t p : touched_) seen_[p / 64] = 0;
        }
        // Most shared tokens first (stable, so ascending within a count).
        candidates_.resize(touched_.size());
        const std::size_t max_count = query_ids_.size();
        bucket_.assign(max_count + 2, 0);
        for (std::uint32_t c : touched_) ++bucket_[max_count - shared_[c].count + 1];
        for (std::size_t k = 1; k < bucket_.size(); ++k) bucket_[k] += bucket_[k - 1];
        for (std::uint32_t c : touched_) candidates_[bucket_[max_count - shared_[c].count]++] = c;
    }

    // Candidates are random positions: ask for the per-entry data of a later
    // one while this one is scored.
    static constexpr std::size_t kPrefetchAhead = 8;
    void prefetch(std::size_t k) const {
        if (k >= candidates_.size()) return;
        const std::uint32_t c = candidates_[k];
        __builtin_prefetch(&ix_->lengths_[c]);
        __builtin_prefetch(&ix_->histograms_[c]);
    }

    Classification finish(Classification c) {
        for (std::uint32_t p : touched_) {
            shared_[p] = Shared{};
            seen_[p / 64] = 0;
        }
        touched_.clear();
        return c;
    }

    void scan_token_set(Reach& reach) {
        const std::size_t n_a = tokens_.size();
        for (std::size_t k = 0; k < candidates_.size(); ++k) {
            if (reach.settled()) return;
            prefetch(k + kPrefetchAhead);
            const std::uint32_t c = candidates_[k];
            const LibraryIndex::Lengths& e = ix_->lengths_[c];
            // Shared tokens, "|||" included, and the lengths of the three joined strings.
            const std::size_t n_i = shared_[c].count + 1;
            const std::size_t chars_i = shared_[c].chars + kBars.size();
            const std::size_t l_i = chars_i + n_i - 1;
            const std::size_t l_a = n_a > n_i ? (token_chars_ - chars_i) + (n_a - n_i) - 1 : 0;
            const std::size_t l_b = e.token_count > n_i ? (e.token_chars - chars_i) + (e.token_count - n_i) - 1 : 0;
            const std::size_t lc_a = l_i + l_a + (l_a > 0);
            const std::size_t lc_b = l_i + l_b + (l_b > 0);
            reach.see(detail::ratio_from_lcs(l_i, l_i, lc_a));
            reach.see(detail::ratio_from_lcs(l_i, l_i, lc_b));
            if (reach.settled()) return;
            if (l_a == 0 || l_b == 0) {
                reach.see(detail::ratio_from_lcs(std::min(lc_a, lc_b), lc_a, lc_b));
                continue;
            }
            std::size_t most = std::min(l_a, l_b);
            if (detail::ratio_from_lcs(l_i + 1 + most, lc_a, lc_b) < reach.need()) continue;
            const detail::Histogram& h = ix_->histograms_[c];
            if (h.ok) {
                // Letters of the remainders: the shared tokens ("|||" included)
                // take the same characters from both sides. Spaces separately.
                const std::size_t shared = chars_i;
                const std::size_t letters = common_chars(set_histogram_, h.counts, false) - shared;
                const std::size_t n_rest_a = n_a - n_i, n_rest_b = e.token_count - n_i;
                most = std::min(most, letters + std::min(n_rest_a, n_rest_b) - 1);
                if (detail::ratio_from_lcs(l_i + 1 + most, lc_a, lc_b) < reach.need()) continue;
            }
            remainders(ix_->entries_[c], e.token_count);
            reach.see(lcs_ratio_of(rest_a_, rest_b_, l_i + 1, lc_a, lc_b));
        }
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
            rest_b_ += ix_->vocabulary_[*id];
        }
    }

    void scan_token_sort(Reach& reach) {
        const std::size_t n = sorted_chars_;
        for (std::size_t k = 0; k < candidates_.size(); ++k) {
            if (reach.settled()) return;
            prefetch(k + kPrefetchAhead);
            const std::uint32_t c = candidates_[k];
            const LibraryIndex::Lengths& len = ix_->lengths_[c];
            const std::size_t m = len.sorted_chars;
            std::size_t most = std::min(n, m);
            if (detail::ratio_from_lcs(most, n, m) < reach.need()) continue;
            const detail::Histogram& h = ix_->histograms_[c];
            if (h.ok) {
                most = std::min(most, common_chars(sorted_histogram_, h.counts, true));
                if (detail::ratio_from_lcs(most, n, m) < reach.need()) continue;
            }
            const LibraryIndex::Entry& e = ix_->entries_[c];
            // The query's sorted tokens are the pattern, built once per release.
            const std::string_view other = ix_->text(e.sorted_at, e.sorted_size);
            std::size_t lcs;
            if (e.sorted_ascii) {
                lcs = detail::lcs_with_pattern(sorted_pattern_, reinterpret_cast<const unsigned char*>(other.data()),
                                               other.size());
            } else {
                detail::decode(other, other_wide_);
                lcs = detail::lcs_with_pattern(sorted_pattern_, other_wide_.data(), other_wide_.size());
            }
            reach.see(detail::ratio_from_lcs(lcs, n, m));
        }
    }

    void scan_two_stage(std::string_view artist, std::string_view title, Reach& reach) {
        artist_ids_.clear();
        for_each_index_token(artist, [&](std::string&& token) {
            const std::int64_t id = ix_->token_id(token);
            if (id >= 0) artist_ids_.push_back(static_cast<std::uint32_t>(id));
        });
        if (artist_ids_.empty()) return;
        if (artist_mark_.size() < ix_->artists_.size()) artist_mark_.resize(ix_->artists_.size(), 0);
        if (++epoch_ == 0) {
            std::fill(artist_mark_.begin(), artist_mark_.end(), 0);
            epoch_ = 1;
        }
        const detail::CharSpan a = chars_of(artist, artist_narrow_, artist_wide_);
        const detail::Histogram histogram =
            detail::visit(a, [](const auto* c, std::size_t n) { return detail::Histogram::of(c, n); });
        double best = 0.0;
        std::size_t best_at = 0;
        for (std::uint32_t id : artist_ids_) {
            for (const std::uint32_t* p = ix_->artist_postings_.begin(id); p != ix_->artist_postings_.end(id); ++p) {
                if (artist_mark_[*p] == epoch_) continue;
                artist_mark_[*p] = epoch_;
                const std::string_view other = ix_->artists_[*p];
                if (best > 0.0) {
                    // Bounds from the lengths and characters, then the actual prefix.
                    const std::size_t lb = ix_->artist_chars_[*p];
                    const detail::Histogram& h = ix_->artist_histograms_[*p];
                    const std::size_t matches = histogram.ok && h.ok ? detail::common_count(histogram, h) : SIZE_MAX;
                    if (detail::jaro_winkler_bound(a.size, lb, matches, 4) < best) continue;
                    if (detail::jaro_winkler_bound(a.size, lb, matches, prefix_of(a, other)) < best) continue;
                }
                const double s = jaro_winkler_of(a, other);
                if (s > best || (best > 0.0 && s == best && *p < best_at)) {
                    best = s;
                    best_at = *p;
                }
            }
        }
        if (best == 0.0 || best < th_->artist_gate) return;
        const detail::CharSpan t = chars_of(title, title_narrow_, title_wide_);
        double bt = 0.0;
        for (const std::uint32_t* e = ix_->artist_entries_.begin(best_at); e != ix_->artist_entries_.end(best_at); ++e) {
            bt = std::max(bt, jaro_winkler_of(t, ix_->title(*e)));
            reach.see(std::sqrt(best * bt));
            if (reach.settled()) return;
        }
    }

    const LibraryIndex* ix_ = nullptr;
    const ClassifyThresholds* th_ = nullptr;

    std::string query_;
    std::vector<std::string> all_tokens_;
    std::string sorted_;
    std::size_t sorted_chars_ = 0;
    std::vector<QueryToken> tokens_;
    std::size_t token_chars_ = 0;
    std::vector<std::uint32_t> query_ids_;
    std::vector<std::uint32_t> artist_ids_;
    std::string rest_a_, rest_b_;
    std::vector<char32_t> artist_wide_, title_wide_, sorted_wide_, other_wide_;
    std::vector<unsigned char> artist_narrow_, title_narrow_;
    std::uint32_t sorted_histogram_[kBuckets] = {};  // the sorted query tokens, spaces included
    std::uint32_t set_histogram_[kBuckets] = {};     // the distinct query tokens
    bool sorted_ascii_ = true;
    detail::PatternMasks sorted_pattern_;

    // Per library entry, zero between releases (reset through touched_).
    struct Shared {
        std::uint32_t count = 0;  // query index tokens the entry holds
        std::uint32_t chars = 0;  // their characters
    };
    std::vector<Shared> shared_;
    std::vector<std::uint64_t> seen_;  // bit per entry, zero between releases
    std::vector<std::uint32_t> touched_;
    std::vector<std::uint32_t> candidates_;
    std::vector<std::uint32_t> bucket_;
    std::vector<std::uint32_t> artist_mark_;
    std::uint32_t epoch_ = 0;
};

Classification classify_release(std::string_view artist, std::string_view title, const LibraryIndex& index,
                                const ClassifyThresholds& thresholds) {
    // Scratch sized to the library is kept per thread across releases.
    thread_local Classifier scratch;
    return scratch.classify(index, thresholds, artist, title);
}

}  // namespace zemo::fuzzy
