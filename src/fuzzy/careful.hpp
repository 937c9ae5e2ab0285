#pragma once
// The careful rule set: an opt-in classifier over (artist, title, aliases)
// rows that keeps a release only when one library entry reaches every keep
// value, finds candidates through character trigrams as well as whole
// words, compares names without edition notes, featuring credits and moved
// articles (in ASCII form across scripts), and keeps numbered neighbours
// apart. The standard classifier (classify.hpp) is untouched by it.
//
// Each rule is a step that can be turned off alone (CarefulSteps), so that
// its effect can be measured; the rule set is all of them.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "fuzzy/classify.hpp"
#include "fuzzy/thresholds.hpp"

namespace zemo::fuzzy {

// Bits of CarefulIndex's steps.
enum CarefulStep : std::uint32_t {
    kOneEntry = 1,        // every score from the same entry; no separator token
    kTrigrams = 2,        // candidates sharing character trigrams, not only whole words
    kNameForms = 4,       // edition notes, years, featuring credits, articles and "&" dropped
    kAsciiAcross = 8,     // different scripts compared in ASCII form
    kAliases = 16,        // the artist's aliases compared as well
    kNumbers = 32,        // title numbers must agree for a keep
};
inline constexpr std::uint32_t kAllCarefulSteps = 63;

// A library row: the artist's aliases (other spellings, a Latin name) count
// as the artist.
struct CarefulRow {
    std::string artist, title;
    std::vector<std::string> aliases;
};

// The name of a field as the careful rules compare it: `s` in match form
// without edition notes and years in brackets or after " - ", featuring
// credits, a leading or moved article and punctuation, "&" read as "and".
std::string careful_form(std::string_view s);

// The evidence of one careful decision: the entry that decided (or, for a
// prune, the best one by the mean of its three scores) and its scores.
struct CarefulExplanation {
    Classification decision = Classification::Prune;
    bool exact = false;                      // the release's names equal the entry's
    std::int64_t entry = -1;                 // row position, or -1 without a candidate
    double token_set = 0.0, token_sort = 0.0, two_stage = 0.0;
    // The best of each measure over every candidate, and the entry reaching it.
    double best_scores[3] = {0.0, 0.0, 0.0};  // token set, token sort, two-stage
    std::int64_t best_token_set = -1, best_token_sort = -1, best_two_stage = -1;
    std::uint32_t candidates = 0;            // entries compared
    std::string decided_by;                  // "exact", "all", "numbers", "review", "none"
    std::string reason;
    std::vector<std::string> numbers;        // of the release's title
};

class CarefulIndex {
public:
    // Builds the index; an empty alias list is no alias.
    static CarefulIndex build(std::vector<CarefulRow> rows, std::uint32_t steps = kAllCarefulSteps);
    CarefulIndex(CarefulIndex&&) noexcept;
    CarefulIndex& operator=(CarefulIndex&&) noexcept;
    ~CarefulIndex();

    std::size_t size() const noexcept;
    std::size_t artist_count() const noexcept;
    std::size_t data_bytes() const noexcept;
    const CarefulRow& row(std::size_t i) const;
    std::uint32_t steps() const noexcept;
    const ClassifyThresholds& thresholds() const noexcept;
    void set_thresholds(const ClassifyThresholds& thresholds);

    // Any number of threads may call these at once.
    CarefulExplanation explain(std::string_view artist, std::string_view title) const;
    std::vector<Classification> classify(const std::vector<std::string_view>& artists,
                                         const std::vector<std::string_view>& titles) const;
    std::vector<CarefulExplanation> explain(const std::vector<std::string_view>& artists,
                                            const std::vector<std::string_view>& titles) const;

    // The saved file: the rows, the steps and the thresholds; the index is
    // built again from them on loading.
    std::string to_bytes() const;
    static Result<CarefulIndex> from_bytes(std::string_view bytes, std::shared_ptr<const void> keep = nullptr);

private:
    struct Impl;
    explicit CarefulIndex(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace zemo::fuzzy
