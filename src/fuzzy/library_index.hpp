#pragma once
// The library index: (artist, title) pairs in match form, laid out once for
// classifying many releases against them (classify.hpp) and only read
// afterwards, so any number of threads may use it at once.
//
// Blocking: a release is compared only with library entries that share an
// index token (a lower-cased white-space token other than "|||") with it.
// Everything is held in flat arrays indexed by position; they are saved as
// they are (library_file.cpp) and a loaded index views them in place.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/flat_array.hpp"
#include "fuzzy/catalogue.hpp"
#include "fuzzy/chars.hpp"
#include "fuzzy/thresholds.hpp"

namespace zemo::fuzzy {

namespace scan {
class Classifier;
class Explainer;
}  // namespace scan

namespace detail {

inline constexpr std::string_view kSeparator = " ||| ";
inline constexpr std::string_view kBars = "|||";

// Calls fn(token) for each index token of `s`: lower-cased, "|||" left out.
template <typename Fn>
void for_each_index_token(std::string_view s, Fn&& fn) {
    for_each_piece(s, [&](std::string_view piece) {
        if (piece != kBars) fn(lower_token(piece));
    });
}

// Adds the characters of `s` to `histogram` by bucket, and the first four
// to `head` when given; returns how many characters `s` has.
inline std::size_t add_histogram(std::string_view s, std::uint32_t* histogram, char32_t* head = nullptr) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < s.size(); ++chars) {
        const char32_t c = next_char(s, i);
        ++histogram[bucket(c)];
        if (head != nullptr && chars < 4) head[chars] = c;
    }
    return chars;
}

// The hashes of the index's tables and their size for n keys (a power of
// two, at most half full): fixed, since saved indexes hold tables built with them.
std::uint64_t token_hash(std::string_view s);
std::uint64_t pair_hash(std::string_view artist, std::string_view title);
// token_hash of `count` strings at once (faster than one by one), and
// pair_hash from the two token hashes.
void token_hashes(const std::string_view* s, std::size_t count, std::uint64_t* out);
std::uint64_t combine_pair_hash(std::uint64_t artist, std::uint64_t title);
std::size_t table_capacity(std::size_t n);

}  // namespace detail

// The key of a pair in the combined index: artist + " ||| " + title.
std::string combined_key(std::string_view artist, std::string_view title);

class LibraryIndex {
public:
    // Characters by bucket (detail::bucket), each count capped at 255: a
    // bound against a query whose own counts are at most 255. Half a cache
    // line, read for every candidate of the token-sort scan.
    struct alignas(32) Counts {
        std::uint8_t n[detail::kBuckets] = {};

        // The histogram capped; `fits` (when given) tells whether no count was.
        static Counts capped(const std::uint32_t* histogram, bool* fits = nullptr) {
            Counts counts;
            bool all = true;
            for (std::size_t b = 0; b < detail::kBuckets; ++b) {
                all = all && histogram[b] <= 255;
                counts.n[b] = static_cast<std::uint8_t>(histogram[b] < 255 ? histogram[b] : 255);
            }
            if (fits != nullptr) *fits = all;
            return counts;
        }
    };

    // Counts in four bits each, 15 standing for any count from 15 up; two
    // buckets to a byte: bucket b in the low half of byte b, b + 16 in the high.
    struct alignas(16) Nibbles {
        std::uint8_t packed[detail::kBuckets / 2] = {};
    };

    using Pairs = std::vector<std::pair<std::string_view, std::string_view>>;

    // An empty slot of its hash tables; no such entry.
    static constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;

    // Converts every artist and title to its match form and indexes them.
    static LibraryIndex from_pairs(const Pairs& pairs);

    LibraryIndex(LibraryIndex&&) noexcept = default;
    LibraryIndex& operator=(LibraryIndex&&) noexcept = default;

    // Combined keys, one per input pair, in input order.
    std::size_t size() const noexcept { return entries_.size(); }
    std::string_view combined(std::size_t i) const noexcept;
    // The artist and title of input pair i, in match form.
    std::pair<std::string_view, std::string_view> pair(std::size_t i) const;
    // Distinct artists, sorted byte-wise.
    std::size_t artist_count() const noexcept { return artist_summaries_.size(); }
    std::vector<std::string_view> artists() const;
    // Titles of the artist at `artist` (a position in artists()), in input order.
    std::vector<std::string_view> titles_of(std::size_t artist) const;

    // Posting lists: ascending positions in combined() or artists() of the
    // strings holding `token`; empty for an unknown token.
    std::vector<std::uint32_t> combined_postings(std::string_view token) const;
    std::vector<std::uint32_t> artist_postings(std::string_view token) const;

    // Bytes of the arrays this object holds itself (a loaded index views
    // its file instead) and bytes of the arrays it reads either way.
    std::size_t owned_bytes() const noexcept;
    std::size_t data_bytes() const noexcept;

    // The index as bytes (a header with a magic string, the format version,
    // the array sizes and a checksum, then each array), and back. A loaded
    // index views `bytes`, which `keep` keeps alive; every offset, size and
    // id is checked before use.
    std::string to_bytes() const;
    static Result<LibraryIndex> from_bytes(std::string_view bytes, std::shared_ptr<const void> keep);

    // The thresholds the index classifies with by default, saved with it:
    // the defaults until set. Set them before the index is shared; the
    // caller has checked them (invalid_thresholds).
    const ClassifyThresholds& thresholds() const noexcept;
    void set_thresholds(const ClassifyThresholds& thresholds);
    // Whether classifying uses the number guard (explain.hpp), saved with
    // the index as well: off until set, and in files of format version 2.
    bool distinct_numbers() const noexcept { return !options_.empty() && (options_[0] & 1) != 0; }
    void set_distinct_numbers(bool on);

private:
    friend class scan::Classifier;
    friend class scan::Explainer;
    friend struct IndexLayout;
    struct Builder;
    LibraryIndex() = default;

    struct Entry {
        std::uint64_t key_at = 0;       // combined key in text_
        std::uint64_t sorted_at = 0;    // sorted metric tokens in text_
        std::uint32_t key_size = 0;     // bytes
        std::uint32_t artist_size = 0;  // bytes of the artist prefix
        std::uint32_t sorted_size = 0;  // bytes
        std::uint32_t tokens_at = 0;    // distinct index-token ids in entry_tokens_, ascending
        std::uint32_t sorted_ascii = 1;
        std::uint32_t unused = 0;
    };

    // What the candidate scans read for every candidate, apart from the
    // entries so that those reads stay within a few cache lines.
    struct Lengths {
        std::uint32_t sorted_chars = 0;  // of the sorted metric tokens
        std::uint32_t token_chars = 0;   // of its distinct metric tokens, "|||" included
        std::uint32_t token_count = 0;   // distinct metric tokens, "|||" included
    };

    // What the artist scan reads to bound an artist's score: one cache line.
    struct alignas(64) ArtistSummary {
        Counts counts;
        char32_t head[4] = {};   // the first characters
        std::uint64_t at = 0;    // the artist in text_
        std::uint32_t size = 0;  // bytes
        std::uint32_t chars = 0;
    };

    // Compressed rows: row r is values[starts[r] .. starts[r + 1]).
    struct Rows {
        FlatArray<std::uint32_t> starts;
        FlatArray<std::uint32_t> values;
        std::size_t size(std::size_t r) const { return starts[r + 1] - starts[r]; }
        const std::uint32_t* begin(std::size_t r) const { return values.data() + starts[r]; }
        const std::uint32_t* end(std::size_t r) const { return values.data() + starts[r + 1]; }
    };

    // The artists of the longest artist posting lists (a common word's, a
    // common first name's) as catalogues: their count-box trees find the
    // best artist of such a list without visiting each. Built from the
    // arrays once the index is made or loaded, never saved.
    struct ArtistTrees {
        std::vector<std::uint32_t> tokens;  // ascending token ids
        std::vector<PreparedCatalogue> lists;  // of each token: catalogue position = place in its posting list
    };
    // Posting lists from this many artists get a tree.
    static constexpr std::size_t kArtistTreeFrom = 512;
    void prepare_artist_trees();
    std::size_t artist_tree_bytes() const noexcept;
    // The tree of token id's artist posting list, or null.
    const PreparedCatalogue* artist_tree(std::uint32_t id) const;

    // The character counts of the entries of the longest combined posting
    // lists (a common word's), in the order of each list: the token-sort scan
    // bounds their entries reading these in sequence, where fetching each
    // entry's own counts would cost a cache miss apiece. Built from the arrays
    // once the index is made or loaded, never saved.
    struct SortLists {
        std::vector<std::uint32_t> tokens;  // ascending token ids
        std::vector<std::size_t> at;        // of each: its list's first record in `counts`
        std::vector<Nibbles> counts;
    };
    // Lists of at least this many entries, the longest first, as long as
    // they hold at most kSortListRecords records per entry in all.
    static constexpr std::size_t kSortListFrom = 4096;
    static constexpr std::size_t kSortListRecords = 6;
    void prepare_sort_lists();
    // The arrays this index holds itself in huge pages (a loaded index's
    // file is read into them already).
    void back_with_huge_pages() const;
    std::size_t sort_list_bytes() const noexcept;
    // The counts of token id's combined posting list, record k for its k-th
    // entry, or null.
    const Nibbles* sort_list(std::uint32_t id) const;

    std::string_view text(std::uint64_t at, std::uint32_t size) const { return {text_.data() + at, size}; }
    // By internal id: entries are numbered by the length of their sorted tokens.
    std::string_view key(std::size_t id) const { return text(entries_[id].key_at, entries_[id].key_size); }
    std::string_view title(std::size_t id) const;
    std::string_view artist(std::size_t p) const { return text(artist_summaries_[p].at, artist_summaries_[p].size); }
    std::string_view vocabulary(std::size_t id) const {
        return {vocabulary_text_.data() + vocabulary_at_[id], vocabulary_at_[id + 1] - vocabulary_at_[id]};
    }
    // Token id, or -1 for a token no library string holds. Ids follow token order.
    std::int64_t token_id(std::string_view token) const;
    // The internal id of an entry holding exactly this pair, or kNoEntry.
    std::size_t find_pair(std::string_view artist, std::string_view title) const;

    FlatArray<char> text_;  // every combined key and sorted token string
    FlatArray<Entry> entries_;
    FlatArray<Lengths> lengths_;
    FlatArray<Counts> counts_;  // characters of the sorted tokens
    // The same counts in two bits each (0, 1, 2, 3 or more): a weaker bound
    // from an array small enough to stay in the last-level cache.
    FlatArray<std::uint64_t> signatures_;
    FlatArray<std::uint32_t> entry_tokens_;
    FlatArray<char> vocabulary_text_;            // tokens in id order
    FlatArray<std::uint64_t> vocabulary_at_;     // token id -> start in vocabulary_text_, one more at the end
    FlatArray<std::uint32_t> token_chars_;       // characters of each token
    FlatArray<std::uint32_t> token_slots_;       // open addressing over token ids, kNoEntry empty
    Rows combined_postings_;                     // by token id
    Rows artist_postings_;                       // by token id
    FlatArray<ArtistSummary> artist_summaries_;  // by artist position (byte-wise order)
    FlatArray<std::uint32_t> artist_of_entry_;
    Rows artist_entries_;                        // by artist position: entries in input order
    FlatArray<std::uint32_t> input_of_;          // internal id -> input position
    FlatArray<std::uint32_t> id_of_input_;       // input position -> internal id
    FlatArray<std::uint32_t> length_start_;      // first id whose sorted tokens have >= m characters
    FlatArray<std::uint32_t> pair_slots_;        // open addressing over entries, kNoEntry empty
    FlatArray<ClassifyThresholds> thresholds_;   // none (the defaults) or one
    FlatArray<std::uint32_t> options_;           // none (all off) or one: bit 0 the number guard
    std::shared_ptr<const void> backing_;        // what the views of a loaded index point into
    std::shared_ptr<const ArtistTrees> artist_trees_;
    std::shared_ptr<const SortLists> sort_lists_;
};

}  // namespace zemo::fuzzy
