#pragma once
// The library index and the keep/prune/review classification of one release.
//
// The index is built once from (artist, title) pairs in match form and only
// read afterwards, so any number of threads may classify against it at once.
// Blocking: a release is compared only with library entries that share an
// index token (a lower-cased white-space token other than "|||") with it.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fuzzy/chars.hpp"

namespace zemo::fuzzy {

enum class Classification : std::uint8_t { Keep, Prune, Review };

// "keep", "prune" or "review".
std::string_view to_string(Classification c) noexcept;

struct ClassifyThresholds {
    double token_set_keep = 0.8;
    double token_sort_keep = 0.8;
    double two_stage_keep = 0.8;
    double artist_gate = 0.7;
    double review_floor = 0.4;
};

// The key of a pair in the combined index: artist + " ||| " + title.
std::string combined_key(std::string_view artist, std::string_view title);

class LibraryIndex {
public:
    // Characters by bucket (detail::bucket), each count capped at 255: a
    // bound against a query whose own counts are at most 255. Half a cache
    // line, read for every candidate of the token-sort scan.
    struct alignas(32) Counts {
        std::uint8_t n[detail::kBuckets] = {};
    };

    using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;

    // Converts every artist and title to its match form and indexes them.
    static LibraryIndex from_pairs(const Pairs& pairs);

    // Combined keys, one per input pair, in input order.
    std::size_t size() const noexcept { return entries_.size(); }
    std::string_view combined(std::size_t i) const noexcept;
    // Distinct artists, sorted byte-wise.
    const std::vector<std::string_view>& artists() const noexcept { return artists_; }
    // Titles of the artist at `artist` (a position in artists()), in input order.
    std::vector<std::string_view> titles_of(std::size_t artist) const;
    bool contains_pair(std::string_view artist, std::string_view title) const;

    // Posting lists: ascending positions in combined() or artists() of the
    // strings holding `token`; empty for an unknown token.
    std::vector<std::uint32_t> combined_postings(std::string_view token) const;
    std::vector<std::uint32_t> artist_postings(std::string_view token) const;

private:
    friend class Classifier;

    struct Entry {
        std::uint64_t key_at = 0;       // combined key in text_
        std::uint32_t key_size = 0;     // bytes
        std::uint32_t artist_size = 0;  // bytes of the artist prefix
        std::uint64_t sorted_at = 0;    // sorted metric tokens in text_
        std::uint32_t sorted_size = 0;  // bytes
        std::uint32_t tokens_at = 0;    // distinct index-token ids in entry_tokens_, ascending
        bool sorted_ascii = true;
    };

    // What the candidate scans read for every candidate, apart from the
    // entries so that those reads stay within a few cache lines.
    struct Lengths {
        std::uint32_t sorted_chars = 0;  // of the sorted metric tokens
        std::uint32_t token_chars = 0;   // of its distinct metric tokens, "|||" included
        std::uint32_t token_count = 0;   // distinct metric tokens, "|||" included
    };

    // Compressed rows: row r is values[starts[r] .. starts[r + 1]).
    struct Rows {
        std::vector<std::uint32_t> starts{0};
        std::vector<std::uint32_t> values;
        std::size_t size(std::size_t r) const { return starts[r + 1] - starts[r]; }
        const std::uint32_t* begin(std::size_t r) const { return values.data() + starts[r]; }
        const std::uint32_t* end(std::size_t r) const { return values.data() + starts[r + 1]; }
    };

    std::string_view text(std::uint64_t at, std::uint32_t size) const { return {text_.data() + at, size}; }
    // By internal id: entries are numbered by the length of their sorted tokens.
    std::string_view key(std::size_t id) const { return text(entries_[id].key_at, entries_[id].key_size); }
    std::string_view title(std::size_t id) const;
    // Token id, or -1 for a token no library string holds. Ids follow token order.
    std::int64_t token_id(std::string_view token) const;
    std::size_t find_pair(std::string_view artist, std::string_view title) const;

    std::string text_;                     // every combined key and sorted token string
    std::vector<Entry> entries_;
    std::vector<Lengths> lengths_;
    std::vector<Counts> counts_;                 // characters of the sorted tokens
    std::vector<std::uint32_t> entry_tokens_;
    std::vector<std::string_view> vocabulary_;  // token by id, views into vocabulary_text_
    std::string vocabulary_text_;
    std::vector<std::uint32_t> token_chars_;     // characters of each token
    std::unordered_map<std::string_view, std::uint32_t> token_ids_;
    Rows combined_postings_;                     // by token id
    Rows artist_postings_;                       // by token id
    std::vector<std::string_view> artists_;      // views into text_
    std::vector<std::uint32_t> artist_chars_;    // characters of each artist
    std::vector<detail::Histogram> artist_histograms_;
    std::vector<std::uint32_t> artist_of_entry_;
    Rows artist_entries_;                        // by artist position: entries in input order
    std::vector<std::uint32_t> input_of_;        // internal id -> input position
    std::vector<std::uint32_t> id_of_input_;     // input position -> internal id
    std::vector<std::uint32_t> length_start_;    // first id whose sorted tokens have >= m characters
    std::vector<std::uint32_t> pair_slots_;      // open addressing over entries, kNoEntry empty
    std::uint64_t pair_mask_ = 0;
};

// Classifies one release whose artist and title are already match forms.
Classification classify_release(std::string_view artist, std::string_view title, const LibraryIndex& index,
                                const ClassifyThresholds& thresholds);

}  // namespace zemo::fuzzy
