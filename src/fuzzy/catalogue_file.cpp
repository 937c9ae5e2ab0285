// The prepared catalogue as bytes: the saved file and the pickle of a
// Catalogue. Each array is one section; a loaded catalogue views them in
// place, after everything the search reads through them has been checked
// (offsets, ids, bucket numbers, the shape of every tree), so a damaged or
// hostile file is refused rather than read out of bounds.

#include <algorithm>
#include <limits>
#include <optional>

#include "common/sections.hpp"
#include "fuzzy/catalogue.hpp"

namespace zemo::fuzzy {

namespace {

constexpr FileKind kFile{"ZEMOCAT", 1, 19, "catalogue"};
// A split on one (bucket, count) test leaves both sides uniform in it, so no
// path from a root repeats one: a built tree is at most this deep.
constexpr std::size_t kMaxDepth = 3 * PreparedCatalogue::kBuckets + 1;

Error damaged(std::string_view what) { return zemo::damaged(kFile, what); }

using Node = PreparedCatalogue::Node;
using Run = PreparedCatalogue::Run;
using Layout = PreparedCatalogue::Layout;

// The tree rooted at `at`, in preorder, within the nodes and over rows
// [first, last): its end (the root's `after`), or nothing when malformed.
// Every child lies after its parent, its rows within its parent's, and the
// depth is bounded, so the search's recursion ends and reads only its run's
// rows.
std::optional<std::size_t> tree_end(const FlatArray<Node>& nodes, std::size_t at, std::size_t first, std::size_t last,
                                    std::size_t depth) {
    if (depth > kMaxDepth || at >= nodes.size()) return std::nullopt;
    const Node& n = nodes[at];
    if (n.after <= at || n.after > nodes.size() || n.begin > n.end || n.begin < first || n.end > last) return std::nullopt;
    if (n.after == at + 1) return n.after;
    const std::optional<std::size_t> second = tree_end(nodes, at + 1, n.begin, n.end, depth + 1);
    if (!second || *second >= n.after) return std::nullopt;
    const std::optional<std::size_t> end = tree_end(nodes, *second, n.begin, n.end, depth + 1);
    if (!end || *end != n.after) return std::nullopt;
    return end;
}

bool runs_before(const Run& a, const Run& b) {
    if (a.initial != b.initial) return a.initial < b.initial;
    if (a.second != b.second) return a.second < b.second;
    return a.length < b.length;
}

Status valid_layout(const Layout& l, std::size_t entries, std::string_view name) {
    const std::string which(name);
    if (l.rows.size() != l.ids.size()) return damaged("the " + which + " rows and ids disagree");
    if (!std::all_of(l.ids.begin(), l.ids.end(), [&](std::uint32_t id) { return id < entries; }))
        return damaged("a " + which + " row names no entry");
    // One tree per run, back to back in the runs' order.
    std::size_t at = 0;
    for (std::size_t r = 0; r < l.runs.size(); ++r) {
        if (r > 0 && !runs_before(l.runs[r - 1], l.runs[r])) return damaged("the " + which + " runs are out of order");
        if (l.runs[r].root != at) return damaged("a " + which + " run's tree is misplaced");
        const std::optional<std::size_t> end = tree_end(l.nodes, at, 0, l.rows.size(), 0);
        if (!end) return damaged("a " + which + " tree is malformed");
        at = *end;
    }
    if (at != l.nodes.size()) return damaged("the " + which + " trees do not fill their array");
    return ok_status();
}

}  // namespace

struct CatalogueLayout {
    static constexpr const FileKind& kFile = fuzzy::kFile;

    template <typename Catalogue, typename Fn>
    static void each_array(Catalogue& c, Fn&& fn) {
        fn(c.text_);
        fn(c.text_at_);
        fn(c.kind_);
        fn(c.chars_at_);
        fn(c.length_);
        fn(c.latin1_);
        fn(c.wide_);
        fn(c.low_bucket_);
        fn(c.high_chars_);
        fn(c.high_bucket_);
        for (auto* l : {&c.by_length_, &c.by_initial_}) {
            fn(l->rows);
            fn(l->ids);
            fn(l->nodes);
            fn(l->runs);
        }
        fn(c.oversized_);
    }

    static Status validate(const PreparedCatalogue& c) {
        using Kind = PreparedCatalogue::Kind;
        if (c.text_at_.empty()) return damaged("no entry offsets");
        const std::size_t n = c.text_at_.size() - 1;
        if (n >= std::numeric_limits<std::uint32_t>::max()) return damaged("too many entries");
        if (c.kind_.size() != n || c.chars_at_.size() != n || c.length_.size() != n)
            return damaged("array sizes disagree");
        if (c.text_at_[0] != 0 || c.text_at_.back() != c.text_.size())
            return damaged("the entry offsets disagree with the text");
        for (std::size_t i = 0; i < n; ++i) {
            if (c.text_at_[i + 1] < c.text_at_[i]) return damaged("the entry offsets are not ascending");
            std::size_t limit = 0;
            switch (c.kind_[i]) {
                case Kind::kAscii: limit = c.text_.size(); break;
                case Kind::kLatin1: limit = c.latin1_.size(); break;
                case Kind::kWide: limit = c.wide_.size(); break;
                default: return damaged("an entry has an unknown kind");
            }
            if (c.chars_at_[i] > limit || c.length_[i] > limit - c.chars_at_[i])
                return damaged("an entry's characters lie outside their array");
        }
        // Bucket numbers index the query's counts.
        const auto bucket_ok = [](std::uint8_t b) {
            return b < PreparedCatalogue::kBuckets || b == PreparedCatalogue::kAbsent;
        };
        if (c.low_bucket_.size() != 256 || c.high_bucket_.size() != c.high_chars_.size() ||
            !std::all_of(c.low_bucket_.begin(), c.low_bucket_.end(), bucket_ok) ||
            !std::all_of(c.high_bucket_.begin(), c.high_bucket_.end(), bucket_ok) ||
            !std::is_sorted(c.high_chars_.begin(), c.high_chars_.end()))
            return damaged("the bucket tables are malformed");
        if (Status s = valid_layout(c.by_length_, n, "by-length"); !s) return s;
        if (Status s = valid_layout(c.by_initial_, n, "by-initial"); !s) return s;
        // A search reads a row's characters by its run's length.
        for (const Layout* l : {&c.by_length_, &c.by_initial_}) {
            for (const Run& run : l->runs) {
                const Node& root = l->nodes[run.root];
                for (std::size_t r = root.begin; r < root.end; ++r)
                    if (c.length_[l->ids[r]] != run.length) return damaged("a row's entry is not of its run's length");
            }
        }
        if (!std::all_of(c.oversized_.begin(), c.oversized_.end(), [&](std::uint32_t id) { return id < n; }))
            return damaged("an oversized entry is out of range");
        return ok_status();
    }

    static void keep(PreparedCatalogue& c, std::shared_ptr<const void> backing) { c.backing_ = std::move(backing); }
};

std::string PreparedCatalogue::to_bytes() const { return write_saved<CatalogueLayout>(*this); }

Result<PreparedCatalogue> PreparedCatalogue::from_bytes(std::string_view bytes, std::shared_ptr<const void> keep) {
    Result<PreparedCatalogue> loaded = read_saved<CatalogueLayout>(bytes, std::move(keep), PreparedCatalogue());
    if (loaded) loaded.value().note_places();
    return loaded;
}

std::size_t PreparedCatalogue::owned_bytes() const noexcept {
    return owned_section_bytes<CatalogueLayout>(*this) + (by_length_places_.capacity() + by_initial_places_.capacity()) * sizeof(Place);
}

std::size_t PreparedCatalogue::data_bytes() const noexcept {
    return section_data_bytes<CatalogueLayout>(*this) + (by_length_places_.capacity() + by_initial_places_.capacity()) * sizeof(Place);
}

}  // namespace zemo::fuzzy
