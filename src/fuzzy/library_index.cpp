#include "fuzzy/library_index.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <span>
#include <stdexcept>

#include "common/interrupt.hpp"
#include "common/saved_file.hpp"
#include "common/string_set.hpp"
#include "fuzzy/metrics.hpp"
#include "fuzzy/pool.hpp"
#include "text/forms.hpp"

namespace zemo::fuzzy {
namespace {

using detail::kBars;
using detail::kBuckets;
using detail::kSeparator;
using detail::pair_hash;
using detail::table_capacity;
using detail::token_hash;

// Appends `items` to `v`. libc++'s range insert is generic code that costs
// several times a resize and a copy per call; libstdc++'s costs less than
// the resize's zero fill.
template <typename T>
void append_all(std::vector<T>& v, std::span<const T> items) {
#ifdef _LIBCPP_VERSION
    const std::size_t at = v.size();
    v.resize(at + items.size());
    if (!items.empty()) std::memcpy(v.data() + at, items.data(), items.size() * sizeof(T));
#else
    v.insert(v.end(), items.begin(), items.end());
#endif
}

// The id of a token held by the table, or -1.
template <typename TokenAt>
std::int64_t find_token(std::string_view token, const std::uint32_t* slots, std::size_t n_slots, TokenAt token_at) {
    const std::size_t mask = n_slots - 1;
    for (std::size_t slot = token_hash(token) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t id = slots[slot];
        if (id == LibraryIndex::kNoEntry) return -1;
        if (token_at(id) == token) return id;
    }
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

// Reorders `v` so that v[k] becomes the old v[order[k]].
template <typename T>
void permute(std::vector<T>& v, const std::vector<std::uint32_t>& order) {
    std::vector<T> out(v.size());
    for (std::size_t k = 0; k < order.size(); ++k) out[k] = std::move(v[order[k]]);
    v = std::move(out);
}

// Sorts `ids` and drops repeats.
void sort_unique(std::vector<std::uint32_t>& ids) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

}  // namespace

namespace detail {

// FNV-1a with a final mix: fixed, since saved indexes hold tables built with it.
namespace {
constexpr std::uint64_t kFnvBasis = 0xCBF29CE484222325ULL, kFnvPrime = 0x100000001B3ULL;
constexpr std::uint64_t fnv_mix(std::uint64_t h) { return h ^ (h >> 29); }
}  // namespace

std::uint64_t token_hash(std::string_view s) {
    std::uint64_t h = kFnvBasis;
    for (const char c : s) h = (h ^ static_cast<unsigned char>(c)) * kFnvPrime;
    return fnv_mix(h);
}

void token_hashes(const std::string_view* s, std::size_t count, std::uint64_t* out) {
    std::size_t common = count == 0 ? 0 : s[0].size();
    for (std::size_t k = 0; k < count; ++k) {
        out[k] = kFnvBasis;
        common = std::min(common, s[k].size());
    }
    // The shared length in lock step, the independent chains side by side.
    for (std::size_t i = 0; i < common; ++i)
        for (std::size_t k = 0; k < count; ++k) out[k] = (out[k] ^ static_cast<unsigned char>(s[k][i])) * kFnvPrime;
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t i = common; i < s[k].size(); ++i) out[k] = (out[k] ^ static_cast<unsigned char>(s[k][i])) * kFnvPrime;
        out[k] = fnv_mix(out[k]);
    }
}

std::uint64_t combine_pair_hash(std::uint64_t artist, std::uint64_t title) { return (artist * 0x9E3779B97F4A7C15ULL) ^ title; }

std::uint64_t pair_hash(std::string_view artist, std::string_view title) {
    return combine_pair_hash(token_hash(artist), token_hash(title));
}

// Slots of an open-addressing table for n keys: a power of two, at most half full.
std::size_t table_capacity(std::size_t n) {
    std::size_t cap = 16;
    while (cap < 2 * n) cap *= 2;
    return cap;
}

}  // namespace detail

std::string combined_key(std::string_view artist, std::string_view title) {
    std::string key;
    key.reserve(artist.size() + kSeparator.size() + title.size());
    key.append(artist).append(kSeparator).append(title);
    return key;
}

// ---------------------------------------------------------------------------
// Building, in the order of the steps of from_pairs; each fills the arrays
// it names, from those of the steps before it.

struct LibraryIndex::Builder {
    explicit Builder(const Pairs& pairs) : pairs(pairs), n(pairs.size()) {}

    const Pairs& pairs;
    const std::size_t n;
    std::vector<char> text;
    std::vector<Entry> entries;
    std::vector<Lengths> lengths;
    std::vector<Counts> counts;
    std::vector<std::uint32_t> entry_tokens;
    StringSet provisional;  // tokens by first-seen id
    std::vector<char> vocabulary_text;
    std::vector<std::uint64_t> vocabulary_at;
    std::vector<std::uint32_t> token_chars;
    std::vector<std::uint32_t> token_slots;
    std::vector<std::uint32_t> input_of, id_of_input;
    std::vector<std::uint64_t> signatures;
    std::vector<std::uint32_t> length_start;
    std::vector<std::uint32_t> combined_starts, combined_values;
    std::vector<std::string_view> artist_of_input;  // in text
    std::vector<std::string_view> artists;          // distinct, sorted
    std::vector<ArtistSummary> artist_summaries;
    std::vector<std::uint32_t> artist_of_entry;
    std::vector<std::uint32_t> artist_entry_starts, artist_entry_values;
    std::vector<std::uint32_t> artist_posting_starts, artist_posting_values;
    std::vector<std::uint32_t> pair_slots;
    std::vector<std::uint32_t> ids;  // scratch

    std::string_view token(std::size_t k) const {
        return {vocabulary_text.data() + vocabulary_at[k], vocabulary_at[k + 1] - vocabulary_at[k]};
    }

    // Match forms, their combined keys and sorted tokens in the text; the
    // characters of each; its index tokens under provisional ids.
    void add_entries() {
        entries.resize(n);
        lengths.resize(n);
        counts.resize(n);
        // Match forms are rarely longer than their input: reserve for the keys
        // and sorted tokens up front rather than growing (and copying) the buffer.
        std::size_t input_bytes = 0;
        for (const auto& [artist, title] : pairs) input_bytes += artist.size() + title.size() + kSeparator.size();
        text.reserve(2 * input_bytes + input_bytes / 8);
        const auto append = [this](std::string_view s) { append_all<char>(text, s); };
        entry_tokens.reserve(4 * n);

        // Match forms and sorted tokens cost the most: they are made on the pool,
        // a block at a time so that only one block of them is held at once.
        struct Forms {
            std::string key;
            std::size_t artist_size = 0;
            std::string sorted;
        };
        constexpr std::size_t kBlock = 1 << 16;
        std::vector<Forms> forms;
        for (std::size_t i = 0; i < n; ++i) {
            if (i % kBlock == 0) {
                forms.assign(std::min(kBlock, n - i), Forms{});
                parallel_for(forms.size(), [&](std::size_t begin, std::size_t end) {
                    for (std::size_t k = begin; k < end; ++k) {
                        if ((k - begin) % 16 == 0) interruption_point();  // a large library takes seconds
                        const std::string artist = text::to_match_form(pairs[i + k].first);
                        forms[k].key = combined_key(artist, text::to_match_form(pairs[i + k].second));
                        forms[k].artist_size = artist.size();
                        forms[k].sorted = sorted_tokens(forms[k].key);
                    }
                });
            }
            const std::string key = std::move(forms[i % kBlock].key);
            const std::string sorted = std::move(forms[i % kBlock].sorted);
            Entry& e = entries[i];
            e.key_at = text.size();
            e.key_size = static_cast<std::uint32_t>(key.size());
            e.artist_size = static_cast<std::uint32_t>(forms[i % kBlock].artist_size);
            append(key);

            e.sorted_at = text.size();
            e.sorted_size = static_cast<std::uint32_t>(sorted.size());
            lengths[i].sorted_chars = static_cast<std::uint32_t>(detail::char_count(sorted));
            e.sorted_ascii = detail::is_ascii(sorted);
            append(sorted);
            std::uint32_t histogram[kBuckets] = {};
            detail::add_histogram(sorted, histogram);
            counts[i] = Counts::capped(histogram);

            ids.clear();
            detail::for_each_index_token(key, [&](std::string&& token) {
                ids.push_back(static_cast<std::uint32_t>(provisional.add(token)));
            });
            sort_unique(ids);
            e.tokens_at = static_cast<std::uint32_t>(entry_tokens.size());
            lengths[i].token_count = static_cast<std::uint32_t>(ids.size()) + 1;  // and "|||"
            append_all<std::uint32_t>(entry_tokens, ids);
        }
        entry_tokens.shrink_to_fit();
    }

    // Final token ids, which follow token order, so that sorted id lists are
    // sorted token lists; the vocabulary and its hash table; each entry's
    // tokens renumbered and their characters.
    void number_tokens() {
        std::vector<const std::string*> by_order(provisional.size());
        for (std::size_t id = 0; id < by_order.size(); ++id) by_order[id] = &provisional.keys()[id];
        std::vector<std::uint32_t> order(by_order.size());
        std::iota(order.begin(), order.end(), 0u);
        std::sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) { return *by_order[x] < *by_order[y]; });
        const std::size_t n_tokens = order.size();
        std::vector<std::uint32_t> final_id(n_tokens);
        vocabulary_at.resize(n_tokens + 1);
        token_chars.resize(n_tokens);
        std::size_t vocabulary_bytes = 0;
        for (const std::string* t : by_order) vocabulary_bytes += t->size();
        vocabulary_text.reserve(vocabulary_bytes);
        for (std::uint32_t k = 0; k < n_tokens; ++k) {
            final_id[order[k]] = k;
            vocabulary_at[k] = vocabulary_text.size();
            append_all<char>(vocabulary_text, *by_order[order[k]]);
            token_chars[k] = static_cast<std::uint32_t>(detail::char_count(*by_order[order[k]]));
        }
        vocabulary_at[n_tokens] = vocabulary_text.size();
        by_order = {};
        provisional = {};

        token_slots.assign(table_capacity(n_tokens), kNoEntry);
        const std::size_t mask = token_slots.size() - 1;
        for (std::uint32_t k = 0; k < n_tokens; ++k) {
            for (std::size_t slot = token_hash(token(k)) & mask;; slot = (slot + 1) & mask) {
                if (token_slots[slot] == kNoEntry) {
                    token_slots[slot] = k;
                    break;
                }
            }
        }

        for (std::size_t i = 0; i < n; ++i) {
            Lengths& len = lengths[i];
            std::uint32_t* first = entry_tokens.data() + entries[i].tokens_at;
            std::uint32_t* last = first + (len.token_count - 1);
            for (std::uint32_t* id = first; id != last; ++id) *id = final_id[*id];
            std::sort(first, last);
            len.token_chars = static_cast<std::uint32_t>(kBars.size());
            for (std::uint32_t* id = first; id != last; ++id) len.token_chars += token_chars[*id];
        }
    }

    // Entries are numbered by the length of their sorted tokens, so that each
    // posting list is sorted by that length too and the entries a length
    // bound admits form one sub-range of it.
    void order_by_length() {
        input_of.resize(n);
        std::iota(input_of.begin(), input_of.end(), 0u);
        std::stable_sort(input_of.begin(), input_of.end(), [&](std::uint32_t x, std::uint32_t y) {
            return lengths[x].sorted_chars < lengths[y].sorted_chars;
        });
        id_of_input.resize(n);
        for (std::uint32_t id = 0; id < n; ++id) id_of_input[input_of[id]] = id;
        permute(entries, input_of);
        permute(lengths, input_of);
        permute(counts, input_of);
        signatures.resize(n);
        for (std::size_t id = 0; id < n; ++id) {
            std::uint64_t signature = 0;
            for (std::size_t b = 0; b < kBuckets; ++b)
                signature |= std::uint64_t{std::min<std::uint8_t>(counts[id].n[b], 3)} << (2 * b);
            signatures[id] = signature;
        }
        const std::uint32_t longest = n == 0 ? 0 : lengths.back().sorted_chars;
        length_start.assign(static_cast<std::size_t>(longest) + 2, 0);
        for (std::uint32_t m = 0, id = 0; m <= longest + 1; ++m) {
            while (id < n && lengths[id].sorted_chars < m) ++id;
            length_start[m] = id;
        }
    }

    void post_tokens() {
        const auto tokens_of_entry = [&](std::size_t i) {
            const std::uint32_t* first = entry_tokens.data() + entries[i].tokens_at;
            return std::pair(first, first + (lengths[i].token_count - 1));
        };
        invert(n, token_chars.size(), tokens_of_entry, combined_starts, combined_values);
    }

    // Artists: distinct, sorted, with what bounds their scores and their entries.
    void list_artists() {
        artist_of_input.resize(n);
        for (std::size_t i = 0; i < n; ++i) artist_of_input[i] = std::string_view(text.data() + entries[i].key_at, entries[i].artist_size);
        artists = artist_of_input;
        std::sort(artists.begin(), artists.end());
        artists.erase(std::unique(artists.begin(), artists.end()), artists.end());
        artist_summaries.resize(artists.size());
        for (std::size_t p = 0; p < artists.size(); ++p) {
            ArtistSummary& summary = artist_summaries[p];
            summary.at = static_cast<std::uint64_t>(artists[p].data() - text.data());
            summary.size = static_cast<std::uint32_t>(artists[p].size());
            std::uint32_t histogram[kBuckets] = {};
            summary.chars = static_cast<std::uint32_t>(detail::add_histogram(artists[p], histogram, summary.head));
            summary.counts = Counts::capped(histogram);
        }
        artist_of_entry.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            const auto at = std::lower_bound(artists.begin(), artists.end(), artist_of_input[i]);
            artist_of_entry[i] = static_cast<std::uint32_t>(at - artists.begin());
        }
        // Each artist's entries in input order.
        const auto artist_of = [&](std::size_t input) {
            const std::uint32_t* p = &artist_of_entry[id_of_input[input]];
            return std::pair(p, p + 1);
        };
        invert(n, artists.size(), artist_of, artist_entry_starts, artist_entry_values);
        for (std::uint32_t& e : artist_entry_values) e = id_of_input[e];
    }

    // The artists' own token index.
    void post_artist_tokens() {
        std::vector<std::uint32_t> starts{0}, tokens;
        for (const std::string_view artist : artists) {
            ids.clear();
            detail::for_each_index_token(artist, [&](std::string&& t) {
                ids.push_back(static_cast<std::uint32_t>(
                    find_token(t, token_slots.data(), token_slots.size(), [&](std::size_t k) { return token(k); })));
            });
            sort_unique(ids);
            append_all<std::uint32_t>(tokens, ids);
            starts.push_back(static_cast<std::uint32_t>(tokens.size()));
        }
        const auto tokens_of_artist = [&](std::size_t p) {
            return std::pair(tokens.data() + starts[p], tokens.data() + starts[p + 1]);
        };
        invert(artists.size(), token_chars.size(), tokens_of_artist, artist_posting_starts, artist_posting_values);
    }

    // The pair set: open addressing over entries, one slot per distinct pair.
    void index_pairs() {
        pair_slots.assign(table_capacity(n), kNoEntry);
        const std::size_t mask = pair_slots.size() - 1;
        const auto title_of = [&](std::size_t id) {
            return std::string_view(text.data() + entries[id].key_at + entries[id].artist_size + kSeparator.size(),
                                    entries[id].key_size - entries[id].artist_size - kSeparator.size());
        };
        for (std::size_t id = 0; id < n; ++id) {
            const std::string_view artist = artist_of_input[id];
            const std::string_view title = title_of(id);
            for (std::size_t slot = pair_hash(artist, title) & mask;; slot = (slot + 1) & mask) {
                const std::uint32_t at = pair_slots[slot];
                if (at == kNoEntry) {
                    pair_slots[slot] = static_cast<std::uint32_t>(id);
                    break;
                }
                if (artist_of_input[at] == artist && title_of(at) == title) break;
            }
        }
    }

    LibraryIndex finish() {
        LibraryIndex ix;
        ix.text_ = FlatArray(std::move(text));
        ix.entries_ = FlatArray(std::move(entries));
        ix.lengths_ = FlatArray(std::move(lengths));
        ix.counts_ = FlatArray(std::move(counts));
        ix.signatures_ = FlatArray(std::move(signatures));
        ix.entry_tokens_ = FlatArray(std::move(entry_tokens));
        ix.vocabulary_text_ = FlatArray(std::move(vocabulary_text));
        ix.vocabulary_at_ = FlatArray(std::move(vocabulary_at));
        ix.token_chars_ = FlatArray(std::move(token_chars));
        ix.token_slots_ = FlatArray(std::move(token_slots));
        ix.combined_postings_ = Rows{FlatArray(std::move(combined_starts)), FlatArray(std::move(combined_values))};
        ix.artist_postings_ = Rows{FlatArray(std::move(artist_posting_starts)), FlatArray(std::move(artist_posting_values))};
        ix.artist_summaries_ = FlatArray(std::move(artist_summaries));
        ix.artist_of_entry_ = FlatArray(std::move(artist_of_entry));
        ix.artist_entries_ = Rows{FlatArray(std::move(artist_entry_starts)), FlatArray(std::move(artist_entry_values))};
        ix.input_of_ = FlatArray(std::move(input_of));
        ix.id_of_input_ = FlatArray(std::move(id_of_input));
        ix.length_start_ = FlatArray(std::move(length_start));
        ix.pair_slots_ = FlatArray(std::move(pair_slots));
        return ix;
    }
};

LibraryIndex LibraryIndex::from_pairs(const Pairs& pairs) {
    if (pairs.size() >= kNoEntry) throw std::length_error("library index holds at most 2^32 - 1 pairs");
    Builder b(pairs);
    b.add_entries();
    b.number_tokens();
    b.order_by_length();
    b.post_tokens();
    b.list_artists();
    b.post_artist_tokens();
    b.index_pairs();
    LibraryIndex ix = b.finish();
    ix.set_thresholds(ClassifyThresholds{});
    ix.back_with_huge_pages();
    ix.prepare_artist_trees();
    ix.prepare_sort_lists();
    return ix;
}

void LibraryIndex::prepare_sort_lists() {
    constexpr std::size_t kPrefetchAhead = 16;
    auto lists = std::make_shared<SortLists>();
    std::vector<std::uint32_t> long_lists;
    for (std::uint32_t id = 0; id + 1 < combined_postings_.starts.size(); ++id)
        if (combined_postings_.size(id) >= kSortListFrom) long_lists.push_back(id);
    std::stable_sort(long_lists.begin(), long_lists.end(), [&](std::uint32_t x, std::uint32_t y) {
        return combined_postings_.size(x) > combined_postings_.size(y);
    });
    std::size_t records = 0;
    std::size_t taken = 0;
    for (; taken < long_lists.size(); ++taken) {
        const std::size_t size = combined_postings_.size(long_lists[taken]);
        if (records + size > kSortListRecords * this->size()) break;
        records += size;
    }
    long_lists.resize(taken);
    std::sort(long_lists.begin(), long_lists.end());
    lists->counts.reserve(records);
    for (const std::uint32_t id : long_lists) {
        lists->tokens.push_back(id);
        lists->at.push_back(lists->counts.size());
        const std::uint32_t* end = combined_postings_.end(id);
        for (const std::uint32_t* p = combined_postings_.begin(id); p != end; ++p) {
            // A cache miss each when fetched late.
            if (p + kPrefetchAhead < end) __builtin_prefetch(&counts_[p[kPrefetchAhead]]);
            const Counts& counts = counts_[*p];
            Nibbles& nibbles = lists->counts.emplace_back();
            for (std::size_t b = 0; b < kBuckets / 2; ++b)
                nibbles.packed[b] = static_cast<std::uint8_t>(std::min<std::uint8_t>(counts.n[b], 15) |
                                                              std::min<std::uint8_t>(counts.n[b + kBuckets / 2], 15) << 4);
        }
    }
    zemo::back_with_huge_pages(lists->counts.data(), lists->counts.size() * sizeof(Nibbles));
    sort_lists_ = std::move(lists);
}

const LibraryIndex::Nibbles* LibraryIndex::sort_list(std::uint32_t id) const {
    if (!sort_lists_) return nullptr;
    const std::vector<std::uint32_t>& tokens = sort_lists_->tokens;
    const auto at = std::lower_bound(tokens.begin(), tokens.end(), id);
    return at != tokens.end() && *at == id ? sort_lists_->counts.data() + sort_lists_->at[at - tokens.begin()] : nullptr;
}

std::size_t LibraryIndex::sort_list_bytes() const noexcept {
    if (!sort_lists_) return 0;
    return sort_lists_->tokens.capacity() * sizeof(std::uint32_t) + sort_lists_->at.capacity() * sizeof(std::size_t) +
           sort_lists_->counts.capacity() * sizeof(Nibbles);
}

void LibraryIndex::prepare_artist_trees() {
    auto trees = std::make_shared<ArtistTrees>();
    std::vector<std::string_view> names;
    for (std::size_t id = 0; id + 1 < artist_postings_.starts.size(); ++id) {
        if (artist_postings_.size(id) < kArtistTreeFrom) continue;
        names.clear();
        for (const std::uint32_t* p = artist_postings_.begin(id); p != artist_postings_.end(id); ++p) names.push_back(artist(*p));
        trees->tokens.push_back(static_cast<std::uint32_t>(id));
        trees->lists.emplace_back(names);
    }
    artist_trees_ = std::move(trees);
}

const PreparedCatalogue* LibraryIndex::artist_tree(std::uint32_t id) const {
    if (!artist_trees_) return nullptr;
    const std::vector<std::uint32_t>& tokens = artist_trees_->tokens;
    const auto at = std::lower_bound(tokens.begin(), tokens.end(), id);
    return at != tokens.end() && *at == id ? &artist_trees_->lists[at - tokens.begin()] : nullptr;
}

const ClassifyThresholds& LibraryIndex::thresholds() const noexcept { return thresholds_[0]; }

void LibraryIndex::set_distinct_numbers(bool on) {
    options_ = FlatArray<std::uint32_t>(std::vector<std::uint32_t>{on ? 1u : 0u});
}

void LibraryIndex::set_thresholds(const ClassifyThresholds& thresholds) {
    thresholds_ = FlatArray<ClassifyThresholds>(std::vector<ClassifyThresholds>{thresholds});
}

// ---------------------------------------------------------------------------
// Queries

std::string_view LibraryIndex::combined(std::size_t i) const noexcept { return key(id_of_input_[i]); }

std::string_view LibraryIndex::title(std::size_t id) const {
    return key(id).substr(entries_[id].artist_size + kSeparator.size());
}

std::pair<std::string_view, std::string_view> LibraryIndex::pair(std::size_t i) const {
    const std::size_t id = id_of_input_[i];
    return {key(id).substr(0, entries_[id].artist_size), title(id)};
}

std::vector<std::string_view> LibraryIndex::artists() const {
    std::vector<std::string_view> out;
    for (std::size_t p = 0; p < artist_count(); ++p) out.push_back(artist(p));
    return out;
}

std::vector<std::string_view> LibraryIndex::titles_of(std::size_t artist) const {
    std::vector<std::string_view> out;
    for (const std::uint32_t* e = artist_entries_.begin(artist); e != artist_entries_.end(artist); ++e)
        out.push_back(title(*e));
    return out;
}

std::int64_t LibraryIndex::token_id(std::string_view token) const {
    return find_token(token, token_slots_.data(), token_slots_.size(), [&](std::size_t id) { return vocabulary(id); });
}

std::size_t LibraryIndex::find_pair(std::string_view artist, std::string_view title) const {
    const std::size_t mask = pair_slots_.size() - 1;
    for (std::size_t slot = pair_hash(artist, title) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t at = pair_slots_[slot];
        if (at == kNoEntry) return kNoEntry;
        if (entries_[at].artist_size == artist.size() && key(at).substr(0, artist.size()) == artist &&
            this->title(at) == title)
            return at;
    }
}

std::vector<std::uint32_t> LibraryIndex::combined_postings(std::string_view token) const {
    const std::int64_t id = token_id(token);
    if (id < 0) return {};
    std::vector<std::uint32_t> out;
    for (const std::uint32_t* p = combined_postings_.begin(id); p != combined_postings_.end(id); ++p)
        out.push_back(input_of_[*p]);
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::uint32_t> LibraryIndex::artist_postings(std::string_view token) const {
    const std::int64_t id = token_id(token);
    if (id < 0) return {};
    return {artist_postings_.begin(id), artist_postings_.end(id)};
}

}  // namespace zemo::fuzzy
