// The library index as bytes: the saved file and the pickle of a
// LibraryIndex. Each array is one section; a loaded index views them in
// place, after every count in them has been checked against every array it
// sizes and every offset and id against every array it indexes (a crafted
// file may well lie consistently), so a damaged or hostile file is refused
// rather than read out of bounds.

#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include "common/ascii.hpp"
#include "common/saved_file.hpp"
#include "common/sections.hpp"
#include "common/utf8.hpp"
#include "fuzzy/library_index.hpp"

namespace zemo::fuzzy {

namespace {

// Version 2 added the thresholds, version 3 the options (the number guard);
// files of version 2 are still read, with the options off.
constexpr FileKind kFile{"ZEMOLIX", 3, 24, "library index"};
constexpr FileKind kFileWithoutOptions{"ZEMOLIX", 2, 23, "library index"};
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

// Where an open-addressing table holds each id: its slot (kNone for an id
// it lacks) and how many filled slots end there since the last empty one.
struct Place {
    std::uint32_t slot = kNone;
    std::uint32_t run = 0;
};

// The places of the ids of a table as the builder makes it for `keys` keys
// (its size, at most half full, so with an empty slot): distinct ids below
// `limit`. Nothing for any other table.
std::optional<std::vector<Place>> table_places(const FlatArray<std::uint32_t>& slots, std::size_t keys, std::size_t limit) {
    if (slots.size() != detail::table_capacity(keys)) return std::nullopt;
    const std::size_t size = slots.size();
    std::size_t last_empty = size;
    for (std::size_t slot = size; slot-- > 0 && last_empty == size;)
        if (slots[slot] == kNone) last_empty = slot;
    if (last_empty == size) return std::nullopt;
    std::vector<Place> places(limit);
    std::size_t held = 0;
    for (std::size_t slot = 0; slot < size; ++slot) {
        const std::uint32_t id = slots[slot];
        if (id == kNone) {
            last_empty = slot;
            continue;
        }
        if (id >= limit || places[id].slot != kNone || ++held > keys) return std::nullopt;
        places[id] = {static_cast<std::uint32_t>(slot), static_cast<std::uint32_t>((slot - last_empty) & (size - 1))};
    }
    return places;
}

// Whether a probe from the slot `hash` points at reaches `place` before an
// empty slot: else every lookup of that id would fail, and a table of
// misplaced ids could make every probe run through all the others.
bool reachable(const Place& place, std::uint64_t hash, std::size_t slots) {
    const std::size_t mask = slots - 1;
    return ((place.slot - (hash & mask)) & mask) < place.run;
}

// A hash of a (token, entry) pair under a key drawn once per process, so
// that no file can be made for its sums to collide (splitmix64's finaliser).
std::uint64_t pair_mix(std::uint64_t token, std::uint64_t id) {
    static const std::uint64_t key = [] {
        std::random_device random;
        return std::uint64_t{random()} << 32 | random();
    }();
    std::uint64_t z = (token << 32 | id) ^ key;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

// Buckets (detail::bucket) of ASCII bytes, by table.
const auto kAsciiBuckets = [] {
    std::array<std::uint8_t, 128> t{};
    for (char32_t c = 0; c < 128; ++c) t[c] = static_cast<std::uint8_t>(detail::bucket(c));
    return t;
}();

// Characters by bucket of a string of valid UTF-8 (nothing when it is not),
// and how many.
std::optional<std::size_t> histogram_of(std::string_view s, std::uint32_t* histogram, char32_t* head = nullptr) {
    if (head == nullptr && ascii::is_ascii(s)) {
        // Four partial counts, so that a repeated character does not wait on the last increment.
        std::uint32_t part[4][detail::kBuckets] = {};
        std::size_t i = 0;
        for (; i + 4 <= s.size(); i += 4)
            for (std::size_t k = 0; k < 4; ++k) ++part[k][kAsciiBuckets[static_cast<unsigned char>(s[i + k])]];
        for (; i < s.size(); ++i) ++part[0][kAsciiBuckets[static_cast<unsigned char>(s[i])]];
        for (std::size_t b = 0; b < detail::kBuckets; ++b) histogram[b] += part[0][b] + part[1][b] + part[2][b] + part[3][b];
        return s.size();
    }
    if (!utf8::is_valid(s)) return std::nullopt;
    return detail::add_histogram(s, histogram, head);
}

}  // namespace

struct IndexLayout {
    static constexpr const FileKind& kFile = fuzzy::kFile;

    template <typename Fn>
    static void each_array(LibraryIndex& ix, Fn&& fn) {
        each_array_without_options(ix, fn);
        fn(ix.options_);
    }

    template <typename Fn>
    static void each_array_without_options(LibraryIndex& ix, Fn&& fn) {
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

    // The combined posting lists are the entries' tokens inverted: an entry
    // missing from one would be a candidate of one scan and not of another,
    // and classify would then decide otherwise than explain. Both are sets
    // of (token, entry) pairs (ids ascending, checked before), compared by
    // the sum of a keyed hash of each pair (`held`: valid_layout's, of the
    // entries' tokens), so that neither is looked up pair by pair.
    static bool valid_inversion(const LibraryIndex& ix, std::uint64_t held) {
        const LibraryIndex::Rows& rows = ix.combined_postings_;
        if (rows.values.size() != ix.entry_tokens_.size()) return false;
        std::uint64_t listed = 0;
        for (std::size_t t = 0; t + 1 < rows.starts.size(); ++t)
            for (const std::uint32_t* id = rows.begin(t); id != rows.end(t); ++id) listed += pair_mix(t, *id);
        return listed == held;
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
        if (ix.options_.size() > 1 || (!ix.options_.empty() && (ix.options_[0] & ~1u) != 0))
            return damaged("its options are invalid");
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
        std::uint64_t pairs = 0;
        if (Status layout = valid_layout(ix, pairs); !layout) return layout;
        if (ix.vocabulary_at_.size() != n_tokens + 1 || ix.vocabulary_at_[0] != 0 ||
            ix.vocabulary_at_[n_tokens] != ix.vocabulary_text_.size())
            return damaged("the vocabulary offsets disagree with its text");
        for (std::size_t k = 0; k < n_tokens; ++k)
            if (ix.vocabulary_at_[k + 1] < ix.vocabulary_at_[k]) return damaged("the vocabulary offsets are not ascending");
        for (std::size_t k = 0; k < n_tokens; ++k) {
            if (!utf8::is_valid(ix.vocabulary(k))) return damaged("a token is not UTF-8");
            if (k > 0 && !(ix.vocabulary(k - 1) < ix.vocabulary(k))) return damaged("the vocabulary is not in token order");
        }
        if (!valid_tables(ix)) return damaged("a hash table is malformed");
        if (!valid_postings(ix.combined_postings_, n_tokens, n) || !valid_postings(ix.artist_postings_, n_tokens, n_artists))
            return damaged("a posting list is malformed");
        if (!valid_inversion(ix, pairs)) return damaged("the posting lists disagree with the entries' tokens");
        for (const LibraryIndex::ArtistSummary& a : ix.artist_summaries_)
            if (a.at > text || a.size > text - a.at) return damaged("an artist lies outside the text");
        if (!all_below(ix.artist_of_entry_, n_artists)) return damaged("an artist position is out of range");
        if (!valid_artist_entries(ix)) return damaged("the artists disagree with the entries");
        if (!valid_length_table(ix)) return damaged("the length table is malformed");
        // What sizes the scans' buffers and loops, and what bounds their
        // scores, is checked against the text it was computed from.
        if (!valid_entry_texts(ix)) return damaged("an entry's lengths or counts disagree with its text");
        for (std::size_t k = 0; k < n_tokens; ++k)
            if (ix.token_chars_[k] != detail::char_count(ix.vocabulary(k))) return damaged("a token's length disagrees with its text");
        if (!valid_artist_summaries(ix)) return damaged("an artist's summary disagrees with its text");
        return ok_status();
    }

    // In input order, each entry's combined key and sorted tokens follow
    // the last one's in the text, and its token ids the last one's: nothing
    // is shared, so the work of reading every entry is bounded by the
    // file's size. Its tokens are ids of the vocabulary, ascending, whose
    // lengths it records. `pairs`: the sum of pair_mix over its (token, entry) pairs.
    static Status valid_layout(const LibraryIndex& ix, std::uint64_t& pairs) {
        const std::size_t n = ix.entries_.size(), n_tokens = ix.token_chars_.size();
        std::uint64_t text_at = 0, tokens_at = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kAhead < n) {
                __builtin_prefetch(&ix.entries_[ix.id_of_input_[i + kAhead]]);
                __builtin_prefetch(&ix.lengths_[ix.id_of_input_[i + kAhead]]);
            }
            const std::size_t id = ix.id_of_input_[i];
            const LibraryIndex::Entry& e = ix.entries_[id];
            if (e.key_at != text_at || e.sorted_at != e.key_at + e.key_size || e.tokens_at != tokens_at)
                return damaged("the entries' texts or tokens overlap");
            text_at = e.sorted_at + e.sorted_size;
            const std::uint32_t* first = ix.entry_tokens_.data() + e.tokens_at;
            const std::uint32_t* last = first + (ix.lengths_[id].token_count - 1);
            if (!increasing_below(first, last, n_tokens)) return damaged("an entry's token ids are out of range or out of order");
            std::uint64_t chars = detail::kBars.size();
            for (const std::uint32_t* t = first; t != last; ++t) {
                chars += ix.token_chars_[*t];
                pairs += pair_mix(*t, id);
            }
            if (ix.lengths_[id].token_chars != chars) return damaged("an entry's token lengths disagree with its tokens");
            tokens_at += last - first;
        }
        if (text_at != ix.text_.size() || tokens_at != ix.entry_tokens_.size()) return damaged("the entries' texts or tokens overlap");
        return ok_status();
    }

    // Both tables exactly as built: every token once and each entry's pair
    // at most once, each where its hash leads.
    static bool valid_tables(const LibraryIndex& ix) {
        const std::size_t n_tokens = ix.token_chars_.size(), n = ix.entries_.size();
        const auto tokens = table_places(ix.token_slots_, n_tokens, n_tokens);
        if (!tokens) return false;
        for (std::size_t k = 0; k < n_tokens; ++k)
            if (!reachable((*tokens)[k], detail::token_hash(ix.vocabulary(k)), ix.token_slots_.size())) return false;
        const auto pairs = table_places(ix.pair_slots_, n, n);
        if (!pairs) return false;
        // The hashes of a few pairs at a time: one alone is a chain of
        // dependent multiplications, and a large index holds millions.
        constexpr std::size_t kLanes = 4;
        std::uint32_t ids[kLanes];
        std::size_t lanes = 0;
        const auto check = [&] {
            std::string_view s[2 * kLanes];
            for (std::size_t l = 0; l < lanes; ++l) {
                s[2 * l] = ix.key(ids[l]).substr(0, ix.entries_[ids[l]].artist_size);
                s[2 * l + 1] = ix.title(ids[l]);
            }
            std::uint64_t h[2 * kLanes];
            detail::token_hashes(s, 2 * lanes, h);
            for (std::size_t l = 0; l < lanes; ++l)
                if (!reachable((*pairs)[ids[l]], detail::combine_pair_hash(h[2 * l], h[2 * l + 1]), ix.pair_slots_.size()))
                    return false;
            lanes = 0;
            return true;
        };
        for (std::uint32_t id = 0; id < n; ++id) {
            if (id + kAhead < n) prefetch_text(ix, ix.entries_[id + kAhead]);
            if ((*pairs)[id].slot == kNone) continue;
            ids[lanes++] = id;
            if (lanes == kLanes && !check()) return false;
        }
        return check();
    }

    // Entries are numbered by the characters of their sorted tokens, and
    // length_start[m] is the first id of at least m characters, up to one
    // past the longest.
    static bool valid_length_table(const LibraryIndex& ix) {
        const FlatArray<std::uint32_t>& starts = ix.length_start_;
        const std::size_t n = ix.entries_.size();
        const std::size_t longest = n == 0 ? 0 : ix.lengths_[n - 1].sorted_chars;
        if (starts.size() != longest + 2) return false;
        for (std::size_t id = 0, m = 0; m < starts.size(); ++m) {
            while (id < n && ix.lengths_[id].sorted_chars < m) ++id;
            if (starts[m] != id) return false;
        }
        // What the loop above did not see: the order of ids within a length.
        for (std::size_t id = 1; id < n; ++id)
            if (ix.lengths_[id].sorted_chars < ix.lengths_[id - 1].sorted_chars) return false;
        return true;
    }

    // Each entry's key is UTF-8 with the separator after the artist (so
    // both halves are UTF-8 too), and its sorted tokens are UTF-8 of the
    // characters, ASCII or not, counts and signature it records.
    static bool valid_entry_texts(const LibraryIndex& ix) {
        const std::size_t n = ix.entries_.size();
        for (std::size_t id = 0; id < n; ++id) {
            // Ids follow the length, not the text: fetch what comes ahead.
            if (id + kAhead < n) prefetch_text(ix, ix.entries_[id + kAhead]);
            const LibraryIndex::Entry& e = ix.entries_[id];
            const std::string_view key = ix.key(id);
            if (key.substr(e.artist_size, detail::kSeparator.size()) != detail::kSeparator ||
                !(ascii::is_ascii(key) || utf8::is_valid(key)))
                return false;
            const std::string_view sorted = ix.text(e.sorted_at, e.sorted_size);
            std::uint32_t histogram[detail::kBuckets] = {};
            const std::optional<std::size_t> chars = histogram_of(sorted, histogram);
            const LibraryIndex::Counts counts = LibraryIndex::Counts::capped(histogram);
            if (chars != ix.lengths_[id].sorted_chars || e.sorted_ascii != (chars == sorted.size()) ||
                std::memcmp(counts.n, ix.counts_[id].n, sizeof counts.n) != 0 || ix.signatures_[id] != signature(counts))
                return false;
        }
        return true;
    }

    // Artists are distinct, in byte order, each the artist of all its
    // entries, and its length, first characters and counts are those of
    // that text.
    static bool valid_artist_summaries(const LibraryIndex& ix) {
        for (std::size_t p = 0; p < ix.artist_summaries_.size(); ++p) {
            const LibraryIndex::ArtistSummary& a = ix.artist_summaries_[p];
            const std::string_view artist = ix.artist(p);
            for (const std::uint32_t* e = ix.artist_entries_.begin(p); e != ix.artist_entries_.end(p); ++e) {
                if (e + kAhead < ix.artist_entries_.values.end()) prefetch_text(ix, ix.entries_[e[kAhead]]);
                if (ix.entries_[*e].artist_size != a.size || ix.key(*e).substr(0, a.size) != artist) return false;
            }
            if (p > 0 && !(ix.artist(p - 1) < artist)) return false;
            std::uint32_t histogram[detail::kBuckets] = {};
            char32_t head[4] = {};
            const std::optional<std::size_t> chars = histogram_of(artist, histogram, head);
            const LibraryIndex::Counts counts = LibraryIndex::Counts::capped(histogram);
            if (chars != a.chars || std::memcmp(a.head, head, sizeof head) != 0 ||
                std::memcmp(a.counts.n, counts.n, sizeof counts.n) != 0)
                return false;
        }
        return true;
    }

    static constexpr std::size_t kAhead = 16;
    static void prefetch_text(const LibraryIndex& ix, const LibraryIndex::Entry& e) {
        __builtin_prefetch(ix.text_.data() + e.key_at);
        __builtin_prefetch(ix.text_.data() + e.sorted_at);
    }

    static std::uint64_t signature(const LibraryIndex::Counts& counts) {
        std::uint64_t signature = 0;
        for (std::size_t b = 0; b < detail::kBuckets; ++b)
            signature |= std::uint64_t{std::min<std::uint8_t>(counts.n[b], 3)} << (2 * b);
        return signature;
    }

    static void keep(LibraryIndex& ix, std::shared_ptr<const void> backing) { ix.backing_ = std::move(backing); }
};

std::string LibraryIndex::to_bytes() const { return write_saved<IndexLayout>(*this); }

// The layout of version 2 files: every array but the options.
struct IndexLayoutWithoutOptions : IndexLayout {
    static constexpr const FileKind& kFile = kFileWithoutOptions;

    template <typename Fn>
    static void each_array(LibraryIndex& ix, Fn&& fn) {
        each_array_without_options(ix, fn);
    }
};

Result<LibraryIndex> LibraryIndex::from_bytes(std::string_view bytes, std::shared_ptr<const void> keep) {
    std::uint32_t version = 0;
    if (bytes.size() >= 12 && bytes.substr(0, 8) == std::string_view("ZEMOLIX\0", 8)) std::memcpy(&version, bytes.data() + 8, 4);
    Result<LibraryIndex> ix = version == kFileWithoutOptions.version
                                  ? read_saved<IndexLayoutWithoutOptions>(bytes, std::move(keep), LibraryIndex())
                                  : read_saved<IndexLayout>(bytes, std::move(keep), LibraryIndex());
    if (ix) {
        ix.value().prepare_artist_trees();
        ix.value().prepare_sort_lists();
    }
    return ix;
}

void LibraryIndex::back_with_huge_pages() const {
    IndexLayout::each_array(const_cast<LibraryIndex&>(*this), [](const auto& array) {
        if (array.owned_bytes() > 0) zemo::back_with_huge_pages(array.data(), array.size() * sizeof(*array.data()));
    });
}

// The artist trees and sort lists are the index's own memory, loaded or not.
std::size_t LibraryIndex::owned_bytes() const noexcept {
    return owned_section_bytes<IndexLayout>(*this) + artist_tree_bytes() + sort_list_bytes();
}

std::size_t LibraryIndex::data_bytes() const noexcept {
    return section_data_bytes<IndexLayout>(*this) + artist_tree_bytes() + sort_list_bytes();
}

std::size_t LibraryIndex::artist_tree_bytes() const noexcept {
    if (!artist_trees_) return 0;
    std::size_t n = artist_trees_->tokens.capacity() * sizeof(std::uint32_t);
    for (const PreparedCatalogue& tree : artist_trees_->lists) n += sizeof tree + tree.owned_bytes();
    return n;
}

}  // namespace zemo::fuzzy
