#pragma once
// A catalogue laid out once for resolving many names against it.
//
// Every entry is summarised by its length and a histogram of its characters
// over 32 buckets chosen for this catalogue (its 31 most frequent characters,
// and one bucket for the rest). The summaries are kept twice: grouped by
// length, and grouped by the first two characters and length. Within each
// group a tree of boxes (the least and the largest count of every bucket
// below a node; each node split by whether one bucket's count exceeds 0, 1
// or 2) lets a search rule out whole subtrees from the characters they can
// share with the query. The second grouping serves the entries that share
// the query's first character (and perhaps its second), whose Winkler boost
// makes their bound looser.
//
// Everything is held in flat arrays indexed by position, nothing points into
// anything else, and the object never changes after construction: one
// instance can serve any number of threads at once. The arrays are saved as
// they are (catalogue_file.cpp); a loaded catalogue views them in place.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/flat_array.hpp"
#include "fuzzy/chars.hpp"

namespace zemo::fuzzy {

struct ResolveOptions;

// Why a name resolved or did not: the best entries (catalogue position and
// score, best first, ties by position; as many as the limit asks, at least
// one), the outcome, and one line for a person.
enum class ResolveOutcome : std::uint8_t { Resolved, NoCandidates, BelowThreshold, Ambiguous };

struct ResolveExplanation {
    std::optional<std::size_t> match;
    std::vector<std::pair<std::size_t, double>> candidates;
    ResolveOutcome outcome = ResolveOutcome::NoCandidates;
    std::string reason;
};

class PreparedCatalogue {
public:
    static constexpr std::size_t kBuckets = 32;
    // Bucket of characters that no entry contains: they never match.
    static constexpr std::uint8_t kAbsent = 0xFF;
    // Rows hold counts up to this; entries with a larger one are oversized.
    static constexpr unsigned kMaxCount = 15;

    // Bucket counts, four bits each: the scans are bound by memory traffic.
    struct alignas(16) Row {
        std::uint8_t packed[kBuckets / 2];  // bucket b in byte b % 16, high half from 16 on

        unsigned count(std::size_t b) const noexcept {
            return b < kBuckets / 2 ? packed[b] & 0x0F : packed[b - kBuckets / 2] >> 4;
        }
        void set(std::size_t b, unsigned v) noexcept {
            std::uint8_t& p = packed[b % (kBuckets / 2)];
            p = b < kBuckets / 2 ? static_cast<std::uint8_t>((p & 0xF0) | v)
                                 : static_cast<std::uint8_t>((p & 0x0F) | v << 4);
        }
    };

    // The rows [begin, end) below a tree node, in preorder: the first child
    // is the next node, the second child the first node after the first
    // child's subtree; a leaf is followed directly by `after`.
    struct Node {
        Row high;  // largest count of each bucket
        Row low;   // least count of each bucket
        std::uint32_t begin, end;
        std::uint32_t after;  // first node past this subtree
        std::uint32_t unused = 0;  // the padding, named so that saved bytes are defined
    };

    // Second character of a one-character entry.
    static constexpr char32_t kNone = 0xFFFFFFFF;

    // Rows of one length (and, in the by-initial layout, one pair of first
    // characters).
    struct Run {
        char32_t initial;  // 0 in the by-length layout
        char32_t second;   // 0 in the by-length layout
        std::uint32_t length;
        std::uint32_t root;  // its tree
    };

    struct Layout {
        FlatArray<Row> rows;
        FlatArray<std::uint32_t> ids;  // catalogue position of each row
        FlatArray<Node> nodes;         // one tree per run, in the runs' order
        FlatArray<Run> runs;           // sorted by (initial, second, length)
    };

    explicit PreparedCatalogue(const std::vector<std::string_view>& entries);
    PreparedCatalogue(PreparedCatalogue&&) noexcept = default;
    PreparedCatalogue& operator=(PreparedCatalogue&&) noexcept = default;

    // The catalogue as the bytes of a saved file, and back: `keep` holds
    // the storage that `bytes` lies in, which the loaded catalogue views.
    // Every offset, size and id is checked on the way in.
    std::string to_bytes() const;
    static Result<PreparedCatalogue> from_bytes(std::string_view bytes, std::shared_ptr<const void> keep);

    // Bytes of the arrays held by this object (when loaded, only those made
    // at load), and of all its arrays wherever they are.
    std::size_t owned_bytes() const noexcept;
    std::size_t data_bytes() const noexcept;

    std::size_t size() const noexcept { return text_at_.size() - 1; }
    std::string_view entry(std::size_t i) const noexcept {
        return std::string_view(text_.data() + text_at_[i], text_at_[i + 1] - text_at_[i]);
    }

    // Catalogue position of the entry `name` resolves to, if any.
    std::optional<std::size_t> resolve_position(std::string_view name, const ResolveOptions& options) const;

    // One copy of the accepted entry (or nothing) per name, in order.
    std::vector<std::optional<std::string>> resolve(const std::vector<std::string_view>& names,
                                                    const ResolveOptions& options) const;

    // The best entry for `name` (cut to its compared prefix) among those
    // scoring at least `least`: its score and position, the earliest of
    // equal scores; nothing when none reaches `least`. `admit`, when given,
    // is asked of each entry (by position) just before it would be scored:
    // false leaves it out, as one whose score the caller already has.
    std::optional<std::pair<double, std::size_t>> best_entry(std::string_view name, double least,
                                                            const std::function<bool(std::size_t)>& admit = {}) const;

    // Per name, the decision of resolve with the entries and scores behind it.
    std::vector<ResolveExplanation> explain(const std::vector<std::string_view>& names,
                                            const ResolveOptions& options) const;

    // The characters of entry i, as the kernels take them.
    detail::CharSpan chars(std::size_t i) const noexcept;

    // The bucket of a character, kAbsent when no entry has it.
    std::uint8_t bucket(char32_t c) const noexcept;

    const Layout& by_length() const noexcept { return by_length_; }
    const Layout& by_initial() const noexcept { return by_initial_; }

    // Where a row's entry keeps its characters, and (by length) its first
    // character, beside the rows: a search reads them in the rows' order,
    // not from the entry's scattered arrays.
    struct Place {
        static constexpr char32_t kUnknown = 0x1FFFFF;  // no first character held: read the entry
        std::uint64_t at : 41;       // offset in the array of its kind
        std::uint64_t kind : 2;
        std::uint64_t initial : 21;  // by-length rows only; kUnknown for an empty entry
    };
    static_assert(sizeof(Place) == 8);
    const std::vector<Place>& places(const Layout& layout) const noexcept {
        return &layout == &by_length_ ? by_length_places_ : by_initial_places_;
    }
    // The characters of a row's entry, of `length` characters (its run's).
    detail::CharSpan chars(Place p, std::size_t length) const noexcept;

    // Entries with more than kMaxCount characters in one bucket, checked one
    // by one.
    const FlatArray<std::uint32_t>& oversized() const noexcept { return oversized_; }

private:
    friend struct CatalogueLayout;
    PreparedCatalogue() = default;

    enum Kind : std::uint8_t { kAscii, kLatin1, kWide };

    // The constructor's steps, in order.
    struct Counted {
        std::vector<Row> rows;               // by entry; zero for an oversized one
        std::vector<std::uint32_t> fitting;  // the entries that are not oversized
        std::uint32_t longest;               // the most characters of those
    };
    void store_entries(const std::vector<std::string_view>& entries);
    void assign_buckets();
    Counted count_buckets();
    void lay_out_searches(const Counted& counted);
    void note_places();

    FlatArray<char> text_;                   // the entries' UTF-8, back to back
    FlatArray<std::uint64_t> text_at_;       // entry i is text_[text_at_[i], text_at_[i + 1])
    FlatArray<Kind> kind_;                   // ASCII characters are text_ itself
    FlatArray<std::uint64_t> chars_at_;      // offset in text_, latin1_ or wide_ by kind
    FlatArray<std::uint32_t> length_;        // in characters
    FlatArray<unsigned char> latin1_;
    FlatArray<char32_t> wide_;

    FlatArray<std::uint8_t> low_bucket_;     // 256 entries
    FlatArray<char32_t> high_chars_;         // sorted, with their buckets beside
    FlatArray<std::uint8_t> high_bucket_;

    Layout by_length_;
    Layout by_initial_;
    FlatArray<std::uint32_t> oversized_;
    std::vector<Place> by_length_places_, by_initial_places_;  // made from the arrays above, never saved
    std::shared_ptr<const void> backing_;    // what the views of a loaded catalogue point into
};

// Saved as they are: no padding that the file would carry undefined.
static_assert(sizeof(PreparedCatalogue::Row) == 16 && sizeof(PreparedCatalogue::Node) == 48 &&
              sizeof(PreparedCatalogue::Run) == 16);

}  // namespace zemo::fuzzy
