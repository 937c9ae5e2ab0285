#pragma once
// The evidence behind a classification (classify.hpp): the exact test, the
// best score of each of the three measures over the blocked candidates with
// the library entries that reach it, which comparison decided and why.
// Optionally, numbers in titles (digits, years, roman numerals, "vol. 2")
// tell releases apart that the measures rate alike.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzzy/classify.hpp"
#include "fuzzy/library_index.hpp"
#include "fuzzy/thresholds.hpp"

namespace zemo::fuzzy {

struct ExplainOptions {
    std::size_t top = 1;            // entries reported per measure
    bool distinct_numbers = false;  // the number guard (classify_release_guarded)
    // Every best score exactly. Otherwise (evidence mode) a token score only
    // as far as the decision needs it, which costs about what the decision
    // does: see MeasureBest.
    bool exact = true;
};

// The best score of one measure and the entries reaching it: positions in
// the pairs the index was built from, ascending, at most `top` of them;
// none when nothing was compared.
//
// Where `exact` is false (evidence mode) the best score lies in [score,
// below): `score` is what the one entry given reaches at least (none when no
// candidate scored above 0.0), `below` a bound no candidate reaches
// (infinity: none proved, the scores end at 1.0).
struct MeasureBest {
    double score = 0.0;
    std::vector<std::uint32_t> entries;
    bool exact = true;
    double below = std::numeric_limits<double>::infinity();
};


// The step that decided: the exact pair, a token score in its review band,
// the three scores together, or the number guard turning a keep into review.
enum class DecidedBy : std::uint8_t { Exact, TokenSet, TokenSort, All, Numbers };

// "exact", "token_set", "token_sort", "all" or "numbers".
std::string_view to_string(DecidedBy d) noexcept;

struct Explanation {
    Classification decision = Classification::Prune;
    bool exact = false;
    MeasureBest token_set, token_sort, two_stage;  // two-stage: the best artist's best titles
    DecidedBy decided_by = DecidedBy::All;
    std::string reason;                // one line for a person
    std::vector<std::string> numbers;  // of the release's title, with the number guard only
};

// Explains one release whose artist and title are already match forms. The
// decision is classify_release's, or classify_release_guarded's with the
// number guard.
Explanation explain_release(std::string_view artist, std::string_view title, const LibraryIndex& index,
                            const ClassifyThresholds& thresholds, const ExplainOptions& options,
                            ArtistMemo* memo = nullptr);

// classify_release, except that a keep of a release whose title carries
// numbers becomes review unless the library entry it is compared with
// carries the same set of numbers. That entry is the first of the two-stage
// score (the best artist's best title); without one, the first of the
// token-sort score, then of the token-set score. An exact pair keeps.
Classification classify_release_guarded(std::string_view artist, std::string_view title, const LibraryIndex& index,
                                        const ClassifyThresholds& thresholds, ArtistMemo* memo = nullptr);

// A release's explanation and the library entry a person should compare it
// with: of the entries the explanation names (the best of each measure), the
// one with the best mean of the three scores against that one entry (ties:
// the first in library order); none when it names none. The best entry of
// one measure alone can be far from the release on the others.
struct ExplainedRelease {
    Explanation explanation;
    std::optional<std::uint32_t> likeliest;  // a position in the index's pairs
};

// Over whole lists, after converting both to match forms, on the worker
// pool; one result per position of the shorter list. The batch forms below
// do the same.
std::vector<ExplainedRelease> batch_explain_likeliest(const std::vector<std::string_view>& artists,
                                                      const std::vector<std::string_view>& titles,
                                                      const LibraryIndex& index, const ClassifyThresholds& thresholds,
                                                      const ExplainOptions& options);

std::vector<Classification> batch_classify_releases_guarded(const std::vector<std::string_view>& artists,
                                                            const std::vector<std::string_view>& titles,
                                                            const LibraryIndex& index,
                                                            const ClassifyThresholds& thresholds);

}  // namespace zemo::fuzzy
