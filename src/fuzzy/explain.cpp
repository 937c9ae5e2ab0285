#include "fuzzy/explain.hpp"

#include <algorithm>
#include <cmath>

#include "fuzzy/batch.hpp"
#include "fuzzy/classifier.hpp"
#include "text/numbers.hpp"

namespace zemo::fuzzy {

using text::title_numbers;

namespace {

// The entries reaching the best score seen so far, by internal id.
struct Ties {
    double best = -1.0;  // below every score: nothing seen
    std::vector<std::uint32_t> ids;

    void see(std::uint32_t id, double s) {
        if (s > best) {
            best = s;
            ids.assign(1, id);
        } else if (s == best) {
            ids.push_back(id);
        }
    }
};

std::string joined(const std::vector<std::string>& parts) {
    if (parts.empty()) return "none";
    std::string out;
    for (const std::string& p : parts) {
        if (!out.empty()) out += ", ";
        out += p;
    }
    return out;
}

std::vector<std::string> number_set(std::vector<std::string> numbers) {
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

}  // namespace

std::string_view to_string(DecidedBy d) noexcept {
    switch (d) {
        case DecidedBy::Exact: return "exact";
        case DecidedBy::TokenSet: return "token_set";
        case DecidedBy::TokenSort: return "token_sort";
        case DecidedBy::All: return "all";
        case DecidedBy::Numbers: return "numbers";
    }
    return "all";
}

namespace scan {

// The classifier's scans asked for the best score and the entries reaching
// it rather than whether a threshold is reached: each scan keeps the best
// score so far as its rising threshold, scores a candidate only where its
// bounds reach that, and keeps the candidates that tie.
class Explainer : public Classifier {
public:
    Explanation explain(const LibraryIndex& ix, const ClassifyThresholds& th, std::string_view artist,
                        std::string_view title, const ExplainOptions& options) {
        ix_ = &ix;
        th_ = &th;
        if (!options.exact) return evidence(artist, title, options);
        Explanation out;
        out.exact = ix.find_pair(artist, title) != LibraryIndex::kNoEntry;
        start(artist, title);
        ++need_generation_;  // a query of another length
        Ties set, sort;
        best_combined(set, sort);
        const Ties two_stage = best_two_stage();
        out.token_set = finish(set, options.top);
        out.token_sort = finish(sort, options.top);
        out.two_stage = finish(two_stage, options.top);
        if (!two_stage.ids.empty()) out.two_stage.score = two_stage_score_;
        decide(out);
        if (options.distinct_numbers) guard_numbers(out, title);
        return out;
    }

    // Of the entries `out` names (the best of each measure), the one with
    // the best mean of the three scores against that one entry; ties go to
    // the first in library order. Scored on the query the explanation of
    // the same release prepared.
    std::optional<std::uint32_t> likeliest(const Explanation& out) {
        const auto first = [](const MeasureBest& m) { return m.entries.empty() ? -1 : std::int64_t{m.entries.front()}; };
        // One entry best on every measure needs no comparing.
        if (out.token_set.entries.size() <= 1 && out.token_sort.entries.size() <= 1 &&
            out.two_stage.entries.size() <= 1 && first(out.token_set) == first(out.token_sort) &&
            first(out.token_sort) == first(out.two_stage)) {
            if (first(out.token_set) < 0) return std::nullopt;
            return out.token_set.entries.front();
        }
        // Each entry once, in library order: the measures often name the same ones.
        named_.clear();
        for (const MeasureBest* m : {&out.token_set, &out.token_sort, &out.two_stage})
            named_.insert(named_.end(), m->entries.begin(), m->entries.end());
        std::sort(named_.begin(), named_.end());
        named_.erase(std::unique(named_.begin(), named_.end()), named_.end());
        const utf8::CharSpan artist = utf8::narrowest(artist_, artist_buffers_);
        const utf8::CharSpan title = utf8::narrowest(title_, title_buffers_);
        prepare_sort(0);
        std::optional<std::uint32_t> best;
        double best_mean = -1.0;
        for (const std::uint32_t i : named_) {
            const std::uint32_t c = ix_->id_of_input_[i];
            double two_stage = out.two_stage.score;  // of its own entries: the best artist's, at the best title score
            if (std::find(out.two_stage.entries.begin(), out.two_stage.entries.end(), i) == out.two_stage.entries.end()) {
                const auto [their_artist, their_title] = ix_->pair(i);
                const double jw = jaro_winkler_of(artist, their_artist);
                two_stage = jw >= th_->artist_gate ? std::sqrt(jw * jaro_winkler_of(title, their_title)) : 0.0;
            }
            const LibraryIndex::Lengths& lengths = ix_->lengths_[c];
            const auto [count, chars] = shared_with(ix_->entries_[c], lengths.token_count);
            const double set = token_set_score(c, count, chars, 0.0, true);
            const double mean = (set + sort_score(c, lengths.sorted_chars) + two_stage) / 3.0;
            if (mean > best_mean) {
                best = i;
                best_mean = mean;
            }
        }
        return best;
    }

private:
    // Evidence mode: the classifier's own questions, so the decision at its
    // price: each score is known as far as the decision needed it.
    Explanation evidence(std::string_view artist, std::string_view title, const ExplainOptions& options) {
        Explanation out;
        const std::size_t pair = ix_->find_pair(artist, title);
        out.exact = pair != LibraryIndex::kNoEntry;
        pair_entry_ = static_cast<std::uint32_t>(pair);
        start(artist, title);
        out.two_stage.exact = false;  // until scored
        const auto two_stage = [&]() -> const Reach& {
            if (!two_stage_done_) {
                out.two_stage = two_stage_as_asked();
                two_stage_done_ = true;
            }
            return two_stage_;
        };
        if (out.exact) {
            // Kept whatever the scores: the pair's own entry, whose combined
            // key is the release's, reaches 1.0 on both and is evidence
            // enough. It is a candidate where the release has an index token
            // at all. The two-stage scan looks at it first too.
            if (!query_ids_.empty()) {
                set_.see(pair_entry_, 1.0);
                sort_.see(pair_entry_, 1.0);
            }
            two_stage();
            return finish_evidence(out, Classification::Keep, title, options);
        }
        const Classification decided = scanned(two_stage);
        return finish_evidence(out, decided, title, options);
    }

    Explanation finish_evidence(Explanation& out, Classification decided, std::string_view title,
                                const ExplainOptions& options) {
        out.token_set = bounded(set_);
        out.token_sort = bounded(sort_);
        decide(out, decided);
        if (options.distinct_numbers) {
            // The guard compares the numbers of the best entry in library
            // order: a keep it may turn is explained exactly, as
            // classify_release_guarded does.
            if (out.decision == Classification::Keep && !out.exact && !title_numbers(title).empty())
                return explain(*ix_, *th_, artist_, title, {.top = options.top, .distinct_numbers = true});
            guard_numbers(out, title);
        }
        return out;
    }

    // The classifier's two-stage scan (scan_two_stage: the best artist's
    // titles until the two-stage Reach settles), keeping the best product
    // and its title's entry: exact where no title was left, else a lower
    // bound. 0.0 exactly when no artist passes the gate.
    MeasureBest two_stage_as_asked() {
        MeasureBest out;
        const auto [best, best_at] = best_artist(artist_);
        if (best == 0.0 || best < th_->artist_gate) return out;
        const utf8::CharSpan t = utf8::narrowest(title_, title_buffers_);
        double bt = -1.0;
        const auto look = [&, best = best](std::uint32_t e) {  // a structured binding is captured by copy
            const double s = jaro_winkler_of(t, ix_->title(e));
            if (s > bt) {
                bt = s;
                out.entries.assign(1, ix_->input_of_[e]);
            }
            two_stage_.see(std::sqrt(best * bt));
            return two_stage_.settled();
        };
        // Only the artist itself scores 1.0: an exact pair's best artist is
        // its own, and its own title settles the scan at once.
        const bool settled = pair_entry_ != LibraryIndex::kNoEntry && best == 1.0 && look(pair_entry_);
        const std::uint32_t* end = ix_->artist_entries_.end(best_at);
        for (const std::uint32_t* e = ix_->artist_entries_.begin(best_at); !settled && e != end; ++e) {
            if (look(*e)) {
                out.exact = e + 1 == end;
                break;
            }
        }
        if (bt >= 0.0) out.score = std::sqrt(best * bt);
        out.exact = out.exact || out.score >= 1.0;  // none scores above 1.0
        return out;
    }

    MeasureBest bounded(const Memo& memo) const {
        MeasureBest out;
        out.score = memo.best;
        if (memo.best_at != LibraryIndex::kNoEntry) out.entries.assign(1, ix_->input_of_[memo.best_at]);
        // No score exceeds 1.0; without an index token there is no candidate.
        out.exact = memo.best >= 1.0 || query_ids_.empty();
        if (!out.exact) out.below = memo.below;
        return out;
    }

    // One pass over the posting lists of the release's tokens counts the
    // tokens and characters each candidate shares with it (cheaper than a
    // merge per candidate); one pass over the candidates then gives the
    // token-set score of each whose bounds reach the best so far, and a
    // lower bound of its token-sort score: the shared tokens are a common
    // subsequence of both sorted token strings. The token-sort scan starts
    // from the best of those lower bounds and computes the LCS only of
    // candidates whose length and character bounds reach the best so far.
    void best_combined(Ties& set, Ties& sort) {
        if (shared_.size() < ix_->size()) shared_.resize(ix_->size(), 0);
        touched_.clear();
        for (std::uint32_t id : by_rarity_) {
            const std::uint64_t add = kOneToken | ix_->token_chars_[id];
            const std::uint32_t* end = ix_->combined_postings_.end(id);
            for (const std::uint32_t* p = ix_->combined_postings_.begin(id); p != end; ++p) {
                if (p + kFar < end) __builtin_prefetch(&shared_[p[kFar]], 1);
                std::uint64_t& shared = shared_[*p];
                if (shared == 0) touched_.push_back(*p);
                shared += add;
            }
        }
        const std::size_t n = sorted_chars_;
        double floor = 0.0;  // the best token-sort score is at least this
        for (auto& bucket : by_least_) bucket.clear();
        for (std::size_t k = 0; k < touched_.size(); ++k) {
            if (k + kFar < touched_.size()) {
                __builtin_prefetch(&ix_->lengths_[touched_[k + kFar]]);
                __builtin_prefetch(&shared_[touched_[k + kFar]], 1);
                __builtin_prefetch(&ix_->counts_[touched_[k + kFar]]);
            }
            const std::uint32_t c = touched_[k];
            const std::uint64_t shared = shared_[c];
            shared_[c] = 0;
            const std::size_t count = shared / kOneToken, chars = shared % kOneToken;
            const LibraryIndex::Lengths& lengths = ix_->lengths_[c];
            // At 1.0 only an entry holding all the release's tokens, or
            // whose tokens the release holds all of, can tie.
            if (set.best < 1.0 || count + 1 == tokens_.size() || count + 1 == lengths.token_count) {
                const double s = token_set_score(c, count, chars, set.best, true);
                if (s >= set.best) set.see(c, s);
            }
            const std::size_t m = lengths.sorted_chars;
            const std::size_t most = std::min(n, m);
            if (detail::ratio_from_lcs(most, n, m) < floor) continue;
            // The character counts while the candidate is at hand: they
            // rule out most candidates, and a second visit costs a miss.
            const std::size_t bound = sorted_counts_fit_ ? std::min(most, common_count(sorted_counts_, ix_->counts_[c])) : most;
            if (detail::ratio_from_lcs(bound, n, m) < floor) continue;
            // The shared tokens and "|||", with a space between each two.
            const double least = detail::ratio_from_lcs(chars + kBars.size() + count, n, m);
            floor = std::max(floor, least);
            by_least_[std::min<std::size_t>(static_cast<std::size_t>(least * kLeastBuckets), kLeastBuckets - 1)]
                .push_back({c, static_cast<std::uint32_t>(m), static_cast<std::uint32_t>(bound)});
        }
        // Those with the most in common first: the best score rises at once
        // and the bounds rule out most of the others.
        std::size_t survivors = 0;
        for (const auto& bucket : by_least_) survivors += bucket.size();
        if (survivors == 0) return;
        prepare_sort(0);  // the pattern only: the bounds are known
        for (std::size_t b = kLeastBuckets; b-- > 0;) {
            // Those of the bucket whose bounds still reach the best, then
            // their LCS, with their entries and sorted tokens fetched ahead.
            const auto& bucket = by_least_[b];
            pending_.clear();
            for (const Pending& p : bucket)
                if (p.bound >= need_lcs(sort.best, p.m)) pending_.push_back(p);
            for (std::size_t k = 0; k < pending_.size(); ++k) {
                if (k + 2 * kAhead < pending_.size()) __builtin_prefetch(&ix_->entries_[pending_[k + 2 * kAhead].c]);
                if (k + kAhead < pending_.size())
                    __builtin_prefetch(ix_->text_.data() + ix_->entries_[pending_[k + kAhead].c].sorted_at);
                const Pending& p = pending_[k];
                const std::size_t need = need_lcs(sort.best, p.m);
                if (p.bound >= need) sort.see(p.c, sort_score(p.c, p.m, need));
            }
        }
    }

    // The least LCS of the sorted query tokens and an entry's, of m
    // characters, whose ratio reaches t: the very comparison the ties make,
    // answered once per length while t stays. Beyond the shorter length
    // when no LCS reaches t.
    std::size_t need_lcs(double t, std::size_t m) {
        if (t != need_t_) {
            need_t_ = t;
            ++need_generation_;
        }
        if (m >= need_.size()) {
            need_.resize(m + 1);
            need_stamp_.resize(m + 1, 0);
        }
        if (need_stamp_[m] != need_generation_) {
            need_[m] = least_lcs(t, sorted_chars_, m);
            need_stamp_[m] = need_generation_;
        }
        return need_[m];
    }

    // The best artist's titles that reach its best title score; none when
    // no artist passes the gate.
    Ties best_two_stage() {
        Ties ties;
        two_stage_score_ = 0.0;
        const auto [best, at] = best_artist(artist_);
        if (best == 0.0 || best < th_->artist_gate) return ties;
        const utf8::CharSpan t = utf8::narrowest(title_, title_buffers_);
        for (const std::uint32_t* e = ix_->artist_entries_.begin(at); e != ix_->artist_entries_.end(at); ++e)
            ties.see(*e, jaro_winkler_of(t, ix_->title(*e)));
        if (!ties.ids.empty()) two_stage_score_ = std::sqrt(best * ties.best);
        return ties;
    }

    // The first `top` tied entries in library order.
    MeasureBest finish(const Ties& ties, std::size_t top) const {
        MeasureBest out;
        if (ties.ids.empty()) return out;
        out.score = ties.best;
        out.entries.reserve(ties.ids.size());
        for (std::uint32_t id : ties.ids) out.entries.push_back(ix_->input_of_[id]);
        std::sort(out.entries.begin(), out.entries.end());
        if (out.entries.size() > top) out.entries.resize(top);
        return out;
    }

    // Whether a best score reaches t as far as it is known: 1 or 0, or -1
    // where its bounds leave it open (evidence mode only).
    static int reaches(const MeasureBest& m, double t) {
        if (m.score >= t) return 1;
        if (m.exact || m.below <= t) return 0;
        return -1;
    }

    // Whether a score lies in its review band, as far as it is known.
    static int in_band(const MeasureBest& m, double floor, double keep) {
        const int f = reaches(m, floor), k = reaches(m, keep);
        if (f == 0 || k == 1) return 0;
        return f == 1 && k == 0 ? 1 : -1;
    }

    // The classifier's steps in their order, on the scores. In evidence
    // mode a step may be left open by a score the decision did not need:
    // then the decision is `decided`, the classifier's (a review: a keep or
    // a prune settles every step), told by what is known of all three.
    void decide(Explanation& out, Classification decided = Classification::Review) const {
        const ClassifyThresholds& th = *th_;
        const std::string floor = detail::score_text(th.review_floor);
        const auto band = [&](const char* name, const MeasureBest& s, double keep) {
            return std::string(name) + " " + shown(s) + " in the review band [" + floor + ", " + detail::score_text(keep) +
                   ")";
        };
        const int set_band = in_band(out.token_set, th.review_floor, th.token_set_keep);
        const int sort_band = set_band == 0 ? in_band(out.token_sort, th.review_floor, th.token_sort_keep) : 0;
        if (out.exact) {
            out.decision = Classification::Keep;
            out.decided_by = DecidedBy::Exact;
            out.reason = "exact pair in the library";
        } else if (set_band == 1) {
            out.decision = Classification::Review;
            out.decided_by = DecidedBy::TokenSet;
            out.reason = band("token_set", out.token_set, th.token_set_keep);
        } else if (set_band == 0 && sort_band == 1) {
            out.decision = Classification::Review;
            out.decided_by = DecidedBy::TokenSort;
            out.reason = band("token_sort", out.token_sort, th.token_sort_keep);
        } else if (set_band == 0 && sort_band == 0 && reaches(out.token_set, th.token_set_keep) == 1 &&
                   reaches(out.token_sort, th.token_sort_keep) == 1 && reaches(out.two_stage, th.two_stage_keep) == 1) {
            out.decision = Classification::Keep;
            out.decided_by = DecidedBy::All;
            out.reason = "all three scores at or above their keep values";
        } else if (set_band == 0 && sort_band == 0 && reaches(out.token_set, th.review_floor) == 0 &&
                   reaches(out.token_sort, th.review_floor) == 0 && reaches(out.two_stage, th.review_floor) == 0) {
            out.decision = Classification::Prune;
            out.decided_by = DecidedBy::All;
            out.reason = "all three scores below the review floor " + floor;
        } else {
            out.decision = decided;
            out.decided_by = DecidedBy::All;
            // The token scores are each below the floor or at their keep values here, or one is open.
            out.reason = set_band == 0 && sort_band == 0 && in_band(out.two_stage, th.review_floor, th.two_stage_keep) == 1
                             ? band("two_stage", out.two_stage, th.two_stage_keep)
                             : "token_set " + shown(out.token_set) + ", token_sort " + shown(out.token_sort) + ", two_stage " +
                                   shown(out.two_stage) + ": some at or above the review floor " + floor +
                                   ", not all at their keep values";
        }
    }

    // A score as a reason gives it: the number where exact, else what is known.
    static std::string shown(const MeasureBest& m) {
        if (m.exact) return detail::score_text(m.score);
        if (m.score == 0.0 && m.below > 1.0) return "not scored";
        if (m.below > 1.0) return "at least " + detail::score_text(m.score);
        if (m.score == 0.0) return "below " + detail::score_text(m.below);
        return detail::score_text(m.score) + " to below " + detail::score_text(m.below);
    }

    void guard_numbers(Explanation& out, std::string_view title) const {
        out.numbers = title_numbers(title);
        if (out.decision != Classification::Keep || out.exact || out.numbers.empty()) return;
        const MeasureBest* by = !out.two_stage.entries.empty()    ? &out.two_stage
                                : !out.token_sort.entries.empty() ? &out.token_sort
                                                                  : &out.token_set;
        if (by->entries.empty()) return;  // kept on no entry at all: thresholds of zero
        const std::vector<std::string> theirs = title_numbers(ix_->pair(by->entries.front()).second);
        const std::vector<std::string> ours = number_set(out.numbers);
        if (ours == number_set(theirs)) return;
        out.decision = Classification::Review;
        out.decided_by = DecidedBy::Numbers;
        out.reason = "title numbers " + joined(ours) + " differ from the library entry's " + joined(number_set(theirs));
    }

    // Prefetch distances: of the candidate loops that compute, and of those that little more than read.
    static constexpr std::size_t kAhead = 16;
    static constexpr std::size_t kFar = 48;
    // Per candidate: shared tokens times this plus their characters.
    static constexpr std::uint64_t kOneToken = std::uint64_t{1} << 40;
    double two_stage_score_ = 0.0;
    std::vector<std::uint64_t> shared_;    // by internal id, zero outside touched_
    std::vector<std::uint32_t> touched_;
    // A token-sort candidate: internal id, sorted characters, and a bound of the LCS.
    struct Pending {
        std::uint32_t c, m, bound;
    };
    // Token-sort candidates by their lower bound.
    static constexpr std::size_t kLeastBuckets = 32;
    std::vector<Pending> by_least_[kLeastBuckets];
    // Candidates of a bucket whose bounds reach the best so far.
    std::vector<Pending> pending_;
    // need_lcs's answers by length, valid where stamped with the generation
    // of the current threshold; a new threshold starts a new generation.
    double need_t_ = -1.0;
    std::uint64_t need_generation_ = 1;
    std::vector<std::size_t> need_;
    std::vector<std::uint64_t> need_stamp_;
    std::vector<std::uint32_t> named_;  // likeliest's candidates
    std::uint32_t pair_entry_ = LibraryIndex::kNoEntry;  // evidence mode: the exact pair's entry, if any
};

}  // namespace scan

namespace {

// One per thread: its scratch grows with the index (exact mode: a counter per entry).
scan::Explainer& thread_explainer() {
    thread_local scan::Explainer scratch;
    return scratch;
}

}  // namespace

Explanation explain_release(std::string_view artist, std::string_view title, const LibraryIndex& index,
                            const ClassifyThresholds& thresholds, const ExplainOptions& options, ArtistMemo* memo) {
    scan::Explainer& scratch = thread_explainer();
    const scan::Classifier::MemoInUse in_use(scratch, memo);
    return scratch.explain(index, thresholds, artist, title, options);
}

Classification classify_release_guarded(std::string_view artist, std::string_view title, const LibraryIndex& index,
                                        const ClassifyThresholds& thresholds, ArtistMemo* memo) {
    const Classification c = classify_release(artist, title, index, thresholds, memo);
    if (c != Classification::Keep || title_numbers(title).empty()) return c;
    return explain_release(artist, title, index, thresholds, {.top = 1, .distinct_numbers = true}, memo).decision;
}

std::vector<ExplainedRelease> batch_explain_likeliest(const std::vector<std::string_view>& artists,
                                                      const std::vector<std::string_view>& titles,
                                                      const LibraryIndex& index, const ClassifyThresholds& thresholds,
                                                      const ExplainOptions& options) {
    return over_releases<ExplainedRelease>(
        artists, titles, [&](std::string_view artist, std::string_view title, ArtistMemo& memo) {
            scan::Explainer& scratch = thread_explainer();
            const scan::Classifier::MemoInUse in_use(scratch, &memo);
            ExplainedRelease out{scratch.explain(index, thresholds, artist, title, options), std::nullopt};
            out.likeliest = scratch.likeliest(out.explanation);
            return out;
        });
}

std::vector<Classification> batch_classify_releases_guarded(const std::vector<std::string_view>& artists,
                                                            const std::vector<std::string_view>& titles,
                                                            const LibraryIndex& index,
                                                            const ClassifyThresholds& thresholds) {
    return over_releases<Classification>(artists, titles,
                                         [&](std::string_view artist, std::string_view title, ArtistMemo& memo) {
                                             return classify_release_guarded(artist, title, index, thresholds, &memo);
                                         });
}

}  // namespace zemo::fuzzy
