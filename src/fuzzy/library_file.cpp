// The library index as bytes: the saved file and the pickle of a
// LibraryIndex. Each array is one section; a loaded index views them in
// place, after every count in them has been checked against every array it
// sizes and every offset and id against every array it indexes (a crafted
// file may well lie consistently), so a damaged or hostile file is refused
// rather than read out of bounds.

#include <limits>

#include "common/sections.hpp"
#include "fuzzy/library_index.hpp"

namespace zemo::fuzzy {

namespace {

// Version 2 added the thresholds.
constexpr FileKind kFile{"ZEMOLIX", 2, 23, "library index"};
constexpr std::uint32_t kNone = LibraryIndex::kNoEntry;

Error damaged(std::string_view what) { return zemo::damaged(kFile, what); }

bool ascending(const FlatArray<std::uint32_t>& a) {
    for (std::size_t i = 1; i < a.size(); ++i)
        if (a[i] < a[i - 1]) return false;
    return true;
}

bool all_below(const FlatArray<std::uint32_t>& a, std::size_t limit) {
    for (std::uint32_t v : a)
        if (v >= limit) return false;
    return true;
}

// Ids below `limit`, each larger than the one before: the scans search
// these lists by bisection and stop at the first id past a bound.
bool increasing_below(const std::uint32_t* first, const std::uint32_t* last, std::size_t limit) {
    for (const std::uint32_t* p = first; p != last; ++p)
        if (*p >= limit || (p != first && *p <= p[-1])) return false;
    return true;
}

// An open-addressing table: a power of two in size, with an empty slot
// (so that every probe ends) and ids below `limit` elsewhere.
bool valid_table(const FlatArray<std::uint32_t>& slots, std::size_t limit) {
    if (slots.empty() || (slots.size() & (slots.size() - 1)) != 0) return false;
    bool has_empty = false;
    for (std::uint32_t v : slots) {
        if (v == kNone) has_empty = true;
        else if (v >= limit) return false;
    }
    return has_empty;
}

}  // namespace

struct IndexLayout {
    static constexpr const FileKind& kFile = fuzzy::kFile;

    template <typename Fn>
    static void each_array(LibraryIndex& ix, Fn&& fn) {
        fn(ix.text_);
        fn(ix.entries_);
        fn(ix.lengths_);
        fn(ix.counts_);
        fn(ix.signatures_);
        fn(ix.entry_tokens_);
        fn(ix.vocabulary_text_);
        fn(ix.vocabulary_at_);
        fn(ix.token_chars_);
        fn(ix.token_slots_);
        fn(ix.combined_postings_.starts);
        fn(ix.combined_postings_.values);
        fn(ix.artist_postings_.starts);
        fn(ix.artist_postings_.values);
        fn(ix.artist_summaries_);
        fn(ix.artist_of_entry_);
        fn(ix.artist_entries_.starts);
        fn(ix.artist_entries_.values);
        fn(ix.input_of_);
        fn(ix.id_of_input_);
        fn(ix.length_start_);
        fn(ix.pair_slots_);
        fn(ix.thresholds_);
    }

    static bool valid_starts(const LibraryIndex::Rows& rows, std::size_t n_rows) {
        return rows.starts.size() == n_rows + 1 && rows.starts[0] == 0 && ascending(rows.starts) &&
               rows.starts.back() == rows.values.size();
    }

    // Posting lists: one row per token, each an increasing list of ids below `limit`.
    static bool valid_postings(const LibraryIndex::Rows& rows, std::size_t n_rows, std::size_t limit) {
        if (!valid_starts(rows, n_rows)) return false;
        for (std::size_t r = 0; r < n_rows; ++r)
            if (!increasing_below(rows.begin(r), rows.end(r), limit)) return false;
        return true;
    }

    // Every entry lies in the row of its artist, once, the rows in input
    // order, and no artist is without entries: so there are no more artists
    // than entries.
    static bool valid_artist_entries(const LibraryIndex& ix) {
        const LibraryIndex::Rows& rows = ix.artist_entries_;
        const std::size_t n = ix.entries_.size();
        const std::size_t n_artists = ix.artist_summaries_.size();
        if (n_artists > n || !valid_starts(rows, n_artists) || rows.values.size() != n) return false;
        for (std::size_t p = 0; p < n_artists; ++p) {
            if (rows.size(p) == 0) return false;
            for (const std::uint32_t* e = rows.begin(p); e != rows.end(p); ++e) {
                if (*e >= n || ix.artist_of_entry_[*e] != p) return false;
                if (e != rows.begin(p) && ix.input_of_[*e] <= ix.input_of_[e[-1]]) return false;
            }
        }
        return true;
    }

    static Status validate(const LibraryIndex& ix) {
        const std::size_t n = ix.entries_.size();
        const std::size_t text = ix.text_.size();
        const std::size_t n_tokens = ix.token_chars_.size();
        const std::size_t n_artists = ix.artist_summaries_.size();
        if (n >= kNone) return damaged("too many entries");
        if (ix.thresholds_.size() != 1) return damaged("it holds no thresholds");
        if (auto why = invalid_thresholds(ix.thresholds_[0])) return damaged("its thresholds are invalid: " + *why);
        if (ix.lengths_.size() != n || ix.counts_.size() != n || ix.signatures_.size() != n ||
            ix.artist_of_entry_.size() != n || ix.input_of_.size() != n || ix.id_of_input_.size() != n)
            return damaged("array sizes disagree");
        for (std::size_t id = 0; id < n; ++id) {
            const LibraryIndex::Entry& e = ix.entries_[id];
            const LibraryIndex::Lengths& len = ix.lengths_[id];
            if (e.key_at > text || e.key_size > text - e.key_at || e.sorted_at > text || e.sorted_size > text - e.sorted_at ||
                e.key_size < detail::kSeparator.size() || e.artist_size > e.key_size - detail::kSeparator.size())
                return damaged("an entry lies outside the text");
            if (len.token_count == 0 || e.tokens_at > ix.entry_tokens_.size() ||
                len.token_count - 1 > ix.entry_tokens_.size() - e.tokens_at)
                return damaged("an entry's tokens lie outside their array");
            if (ix.input_of_[id] >= n || ix.id_of_input_[ix.input_of_[id]] != id) return damaged("the entry order is not a permutation");
        }
        for (std::size_t id = 0; id < n; ++id) {
            const std::uint32_t* first = ix.entry_tokens_.data() + ix.entries_[id].tokens_at;
            if (!increasing_below(first, first + (ix.lengths_[id].token_count - 1), n_tokens))
                return damaged("an entry's token ids are out of range or out of order");
        }
        if (ix.vocabulary_at_.size() != n_tokens + 1 || ix.vocabulary_at_[0] != 0 ||
            ix.vocabulary_at_[n_tokens] != ix.vocabulary_text_.size())
            return damaged("the vocabulary offsets disagree with its text");
        for (std::size_t k = 0; k < n_tokens; ++k)
            if (ix.vocabulary_at_[k + 1] < ix.vocabulary_at_[k]) return damaged("the vocabulary offsets are not ascending");
        if (!valid_table(ix.token_slots_, n_tokens) || !valid_table(ix.pair_slots_, n))
            return damaged("a hash table is malformed");
        if (!valid_postings(ix.combined_postings_, n_tokens, n) || !valid_postings(ix.artist_postings_, n_tokens, n_artists))
            return damaged("a posting list is malformed");
        for (const LibraryIndex::ArtistSummary& a : ix.artist_summaries_)
            if (a.at > text || a.size > text - a.at) return damaged("an artist lies outside the text");
        if (!all_below(ix.artist_of_entry_, n_artists)) return damaged("an artist position is out of range");
        if (!valid_artist_entries(ix)) return damaged("the artists disagree with the entries");
        const FlatArray<std::uint32_t>& starts = ix.length_start_;
        if (starts.size() < 2 || starts.size() - 2 > std::numeric_limits<std::uint32_t>::max() || starts[0] != 0 ||
            starts.back() != n || !ascending(starts))
            return damaged("the length table is malformed");
        return ok_status();
    }

    static void keep(LibraryIndex& ix, std::shared_ptr<const void> backing) { ix.backing_ = std::move(backing); }
};

std::string LibraryIndex::to_bytes() const { return write_saved<IndexLayout>(*this); }

Result<LibraryIndex> LibraryIndex::from_bytes(std::string_view bytes, std::shared_ptr<const void> keep) {
    return read_saved<IndexLayout>(bytes, std::move(keep), LibraryIndex());
}

std::size_t LibraryIndex::owned_bytes() const noexcept { return owned_section_bytes<IndexLayout>(*this); }

std::size_t LibraryIndex::data_bytes() const noexcept { return section_data_bytes<IndexLayout>(*this); }

}  // namespace zemo::fuzzy
