#include "fuzzy/catalogue.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "common/interrupt.hpp"
#include "common/utf8.hpp"
#include "fuzzy/kernels.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zemo::fuzzy {
namespace {

using Row = PreparedCatalogue::Row;
using Node = PreparedCatalogue::Node;
using Run = PreparedCatalogue::Run;
using Layout = PreparedCatalogue::Layout;
constexpr std::size_t kBuckets = PreparedCatalogue::kBuckets;

// A layout while it is built.
struct Building {
    std::vector<Node> nodes;
    std::vector<Run> runs;
};

// Leaves hold at most this many rows (more only when all are equal).
constexpr std::size_t kLeafRows = 32;

// A row beside its entry while the trees are built, so that the partitions
// read and move memory in order.
struct Item {
    Row row;
    std::uint32_t id;
};

void box(Node& node, const Item* first, const Item* last) {
#if defined(__SSE2__)
    __m128i high_lo = _mm_setzero_si128(), high_hi = high_lo;
    __m128i low_lo = _mm_set1_epi8(0x0F), low_hi = low_lo;
    for (; first != last; ++first) {
        __m128i lo, hi;
        detail::unpack_nibbles(first->row.packed, lo, hi);
        high_lo = _mm_max_epu8(high_lo, lo);
        high_hi = _mm_max_epu8(high_hi, hi);
        low_lo = _mm_min_epu8(low_lo, lo);
        low_hi = _mm_min_epu8(low_hi, hi);
    }
    _mm_store_si128(reinterpret_cast<__m128i*>(node.high.packed), _mm_or_si128(high_lo, _mm_slli_epi16(high_hi, 4)));
    _mm_store_si128(reinterpret_cast<__m128i*>(node.low.packed), _mm_or_si128(low_lo, _mm_slli_epi16(low_hi, 4)));
#else
    for (std::size_t b = 0; b < kBuckets; ++b) {
        unsigned high = 0, low = PreparedCatalogue::kMaxCount;
        for (const Item* it = first; it != last; ++it) {
            high = std::max(high, it->row.count(b));
            low = std::min(low, it->row.count(b));
        }
        node.high.set(b, high);
        node.low.set(b, low);
    }
#endif
}

// For each bucket, how many of the items have a count above 0, above 1 and
// above 2.
void count_above(const Item* first, const Item* last, std::uint32_t (&above)[3][kBuckets]) {
    std::fill(&above[0][0], &above[0][0] + 3 * kBuckets, 0);
#if defined(__SSE2__)
    while (first != last) {
        // Byte counters, emptied before they can wrap.
        __m128i acc[3][2];
        for (auto& a : acc) a[0] = a[1] = _mm_setzero_si128();
        const Item* stop = last - first > 255 ? first + 255 : last;
        for (; first != stop; ++first) {
            __m128i half[2];
            detail::unpack_nibbles(first->row.packed, half[0], half[1]);
            for (int k = 0; k < 3; ++k) {
                const __m128i v = _mm_set1_epi8(static_cast<char>(k));
                for (int h = 0; h < 2; ++h) acc[k][h] = _mm_sub_epi8(acc[k][h], _mm_cmpgt_epi8(half[h], v));
            }
        }
        for (int k = 0; k < 3; ++k) {
            for (int h = 0; h < 2; ++h) {
                alignas(16) std::uint8_t bytes[16];
                _mm_store_si128(reinterpret_cast<__m128i*>(bytes), acc[k][h]);
                for (std::size_t b = 0; b < 16; ++b) above[k][h * 16 + b] += bytes[b];
            }
        }
    }
#else
    for (; first != last; ++first) {
        for (std::size_t b = 0; b < kBuckets; ++b) {
            for (unsigned k = 0; k < 3; ++k) above[k][b] += first->row.count(b) > k;
        }
    }
#endif
}

// Builds the tree over items[begin, end), reordering them so that every
// node's rows are contiguous. A node splits its rows by whether a bucket's
// count exceeds 0, 1 or 2, choosing the most even split: each side then
// bounds that bucket (no such character at all, or at least one).
void build_tree(Building& out, std::vector<Item>& items, std::size_t begin, std::size_t end) {
    const std::size_t at = out.nodes.size();
    out.nodes.emplace_back();
    Node node{};
    box(node, items.data() + begin, items.data() + end);
    node.begin = static_cast<std::uint32_t>(begin);
    node.end = static_cast<std::uint32_t>(end);
    if (end - begin > kLeafRows) {
        std::uint32_t above[3][kBuckets];
        count_above(items.data() + begin, items.data() + end, above);
        std::size_t best_b = 0, best_k = 0, best_smaller = 0;
        const std::size_t n = end - begin;
        for (std::size_t k = 0; k < 3; ++k) {
            for (std::size_t b = 0; b < kBuckets; ++b) {
                const std::size_t smaller = std::min<std::size_t>(above[k][b], n - above[k][b]);
                if (smaller > best_smaller) {
                    best_smaller = smaller;
                    best_b = b;
                    best_k = k;
                }
            }
        }
        if (best_smaller > 0) {  // else every row is the same
            const auto mid = std::partition(items.begin() + begin, items.begin() + end,
                                                   [&](const Item& x) { return x.row.count(best_b) <= best_k; });
            build_tree(out, items, begin, mid - items.begin());
            build_tree(out, items, mid - items.begin(), end);
        }
    }
    node.after = static_cast<std::uint32_t>(out.nodes.size());
    out.nodes[at] = node;
}

// Lays out `ids`, already grouped by (initials, length), as runs with a tree
// each; `initials` gives the first two characters as one number.
template <typename Initials, typename Length>
Layout lay_out(const std::vector<std::uint32_t>& ids, Initials initials, Length length, const std::vector<Row>& rows) {
    Building out;
    std::vector<Item> items(ids.size());
    for (std::size_t r = 0; r < ids.size(); ++r) items[r] = {rows[ids[r]], ids[r]};
    for (std::size_t r = 0; r < ids.size();) {
        const std::uint64_t c = initials(ids[r]);
        const std::uint32_t len = length(ids[r]);
        std::size_t e = r;
        while (e < ids.size() && initials(ids[e]) == c && length(ids[e]) == len) ++e;
        out.runs.push_back({static_cast<char32_t>(c >> 32), static_cast<char32_t>(c), len,
                            static_cast<std::uint32_t>(out.nodes.size())});
        build_tree(out, items, r, e);
        r = e;
    }
    std::vector<Row> laid_rows(items.size());
    std::vector<std::uint32_t> laid_ids(items.size());
    for (std::size_t r = 0; r < items.size(); ++r) {
        laid_rows[r] = items[r].row;
        laid_ids[r] = items[r].id;
    }
    return {FlatArray<Row>(std::move(laid_rows)), FlatArray<std::uint32_t>(std::move(laid_ids)),
            FlatArray<Node>(std::move(out.nodes)), FlatArray<Run>(std::move(out.runs))};
}

// A stable counting sort of `ids` by a small dense key.
template <typename Key>
std::vector<std::uint32_t> sorted_by(const std::vector<std::uint32_t>& ids, std::size_t keys, Key key) {
    std::vector<std::uint32_t> start(keys + 1, 0);
    for (std::uint32_t id : ids) ++start[key(id) + 1];
    for (std::size_t k = 0; k < keys; ++k) start[k + 1] += start[k];
    std::vector<std::uint32_t> out(ids.size());
    for (std::uint32_t id : ids) out[start[key(id)]++] = id;
    return out;
}

}  // namespace

PreparedCatalogue::PreparedCatalogue(const std::vector<std::string_view>& entries) {
    if (entries.size() >= std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("catalogue too large");
    store_entries(entries);
    assign_buckets();
    lay_out_searches(count_buckets());
    note_places();
}

void PreparedCatalogue::note_places() {
    for (const auto& [layout, places] : {std::pair(&by_length_, &by_length_places_), std::pair(&by_initial_, &by_initial_places_)}) {
        const FlatArray<std::uint32_t>& ids = layout->ids;
        places->resize(ids.size());
        for (std::size_t r = 0; r < ids.size(); ++r) {
            const std::uint32_t id = ids[r];
            char32_t initial = Place::kUnknown;
            if (layout == &by_length_ && length_[id] > 0) {
                initial = detail::visit(chars(id), [](const auto* s, std::size_t) { return static_cast<char32_t>(s[0]); });
                initial = std::min(initial, Place::kUnknown);
            }
            (*places)[r] = Place{chars_at_[id], kind_[id], initial};
        }
    }
}

// The entries' text, and their characters at the narrowest width each needs.
void PreparedCatalogue::store_entries(const std::vector<std::string_view>& entries) {
    const std::size_t n = entries.size();
    std::size_t bytes = 0;
    for (std::string_view e : entries) bytes += e.size();
    // Built in vectors, then moved into the arrays (which keep their buffers).
    std::vector<char> text;
    std::vector<std::uint64_t> text_at;
    std::vector<Kind> kind;
    std::vector<std::uint64_t> chars_at;
    std::vector<std::uint32_t> length_of;
    std::vector<unsigned char> latin1;
    std::vector<char32_t> wide;
    text.reserve(bytes);
    text_at.reserve(n + 1);
    kind.reserve(n);
    chars_at.reserve(n);
    length_of.reserve(n);
    text_at.push_back(0);
    utf8::CharBuffers buf;
    InterruptPoller poller;
    for (std::string_view e : entries) {
        poller.tick(e.size() + 32);
        const std::size_t at = text.size();
        text.insert(text.end(), e.begin(), e.end());
        text_at.push_back(text.size());
        const utf8::CharSpan c = utf8::narrowest(e, buf);
        length_of.push_back(static_cast<std::uint32_t>(c.size));
        switch (c.width) {
            case utf8::Width::Ascii:
                kind.push_back(kAscii);
                chars_at.push_back(at);
                break;
            case utf8::Width::Latin1:
                kind.push_back(kLatin1);
                chars_at.push_back(latin1.size());
                latin1.insert(latin1.end(), c.narrow, c.narrow + c.size);
                break;
            case utf8::Width::Wide:
                kind.push_back(kWide);
                chars_at.push_back(wide.size());
                wide.insert(wide.end(), c.wide, c.wide + c.size);
                break;
        }
    }
    text_ = FlatArray<char>(std::move(text));
    text_at_ = FlatArray<std::uint64_t>(std::move(text_at));
    kind_ = FlatArray<Kind>(std::move(kind));
    chars_at_ = FlatArray<std::uint64_t>(std::move(chars_at));
    length_ = FlatArray<std::uint32_t>(std::move(length_of));
    latin1_ = FlatArray<unsigned char>(std::move(latin1));
    wide_ = FlatArray<char32_t>(std::move(wide));
}

// The 31 most frequent characters get a bucket each, the others share one.
void PreparedCatalogue::assign_buckets() {
    const std::size_t n = size();
    std::array<std::uint64_t, 256> low_count{};
    std::unordered_map<char32_t, std::uint64_t> high_count;
    for (std::size_t i = 0; i < n; ++i) {
        detail::visit(chars(i), [&](const auto* s, std::size_t len) {
            for (std::size_t k = 0; k < len; ++k) {
                const auto c = static_cast<char32_t>(s[k]);
                if (c < 256) {
                    ++low_count[c];
                } else {
                    ++high_count[c];
                }
            }
        });
    }
    std::vector<std::pair<std::uint64_t, char32_t>> by_count;
    for (char32_t c = 0; c < 256; ++c)
        if (low_count[c] > 0) by_count.emplace_back(low_count[c], c);
    for (const auto& [c, k] : high_count) by_count.emplace_back(k, c);
    std::sort(by_count.begin(), by_count.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    std::vector<std::uint8_t> low_bucket(256, kAbsent);
    std::vector<std::pair<char32_t, std::uint8_t>> high;
    for (std::size_t r = 0; r < by_count.size(); ++r) {
        const char32_t c = by_count[r].second;
        const auto b = static_cast<std::uint8_t>(std::min(r, kBuckets - 1));
        if (c < 256) {
            low_bucket[c] = b;
        } else {
            high.emplace_back(c, b);
        }
    }
    std::sort(high.begin(), high.end());
    std::vector<char32_t> high_chars;
    std::vector<std::uint8_t> high_bucket;
    for (const auto& [c, b] : high) {
        high_chars.push_back(c);
        high_bucket.push_back(b);
    }
    low_bucket_ = FlatArray<std::uint8_t>(std::move(low_bucket));
    high_chars_ = FlatArray<char32_t>(std::move(high_chars));
    high_bucket_ = FlatArray<std::uint8_t>(std::move(high_bucket));
}

// Each entry's bucket counts; an entry with a count that does not fit is kept aside.
PreparedCatalogue::Counted PreparedCatalogue::count_buckets() {
    const std::size_t n = size();
    std::vector<Row> rows(n);
    std::vector<std::uint32_t> oversized;
    std::vector<std::uint32_t> fitting;
    fitting.reserve(n);
    std::uint32_t longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t counts[kBuckets] = {};
        detail::visit(chars(i), [&](const auto* s, std::size_t len) {
            for (std::size_t k = 0; k < len; ++k) ++counts[bucket(static_cast<char32_t>(s[k]))];
        });
        if (*std::max_element(counts, counts + kBuckets) > kMaxCount) {
            oversized.push_back(static_cast<std::uint32_t>(i));
            continue;
        }
        for (std::size_t b = 0; b < kBuckets / 2; ++b)
            rows[i].packed[b] = static_cast<std::uint8_t>(counts[b] | counts[b + kBuckets / 2] << 4);
        fitting.push_back(static_cast<std::uint32_t>(i));
        longest = std::max(longest, length_[i]);
    }
    oversized_ = FlatArray<std::uint32_t>(std::move(oversized));
    return {std::move(rows), std::move(fitting), longest};
}

// The two orders the search visits: by length, and by the first two
// characters then length.
void PreparedCatalogue::lay_out_searches(const Counted& counted) {
    const std::size_t n = size();
    const auto& [rows, fitting, longest] = counted;
    const auto length = [&](std::uint32_t id) { return length_[id]; };
    const std::vector<std::uint32_t> by_length = sorted_by(fitting, longest + 1, length);
    by_length_ = lay_out(by_length, [](std::uint32_t) { return std::uint64_t{0}; }, length, rows);

    // Grouped by the first two characters too, for the entries that have one
    // (read in catalogue order, which walks the text front to back).
    std::vector<std::uint64_t> initials(n, 0);
    std::vector<std::uint64_t> distinct;
    for (std::uint32_t id : fitting) {
        if (length_[id] == 0) continue;
        initials[id] = detail::visit(chars(id), [](const auto* s, std::size_t len) {
            return std::uint64_t{static_cast<char32_t>(s[0])} << 32 | (len > 1 ? static_cast<char32_t>(s[1]) : kNone);
        });
        distinct.push_back(initials[id]);
    }
    std::vector<std::uint32_t> with_initial;
    with_initial.reserve(distinct.size());
    for (std::uint32_t id : by_length)
        if (length_[id] > 0) with_initial.push_back(id);
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::vector<std::uint32_t> rank(n, 0);
    for (std::uint32_t id : fitting) {
        if (length_[id] == 0) continue;
        rank[id] = static_cast<std::uint32_t>(std::lower_bound(distinct.begin(), distinct.end(), initials[id]) -
                                              distinct.begin());
    }
    by_initial_ = lay_out(sorted_by(with_initial, distinct.size(), [&](std::uint32_t id) { return rank[id]; }),
                          [&](std::uint32_t id) { return initials[id]; }, length, rows);
}

detail::CharSpan PreparedCatalogue::chars(std::size_t i) const noexcept {
    switch (kind_[i]) {
        case kAscii:
            return {reinterpret_cast<const unsigned char*>(text_.data()) + chars_at_[i], nullptr, length_[i]};
        case kLatin1:
            return {latin1_.data() + chars_at_[i], nullptr, length_[i]};
        case kWide:
        default:
            return {nullptr, wide_.data() + chars_at_[i], length_[i]};
    }
}

detail::CharSpan PreparedCatalogue::chars(Place p, std::size_t length) const noexcept {
    switch (p.kind) {
        case kAscii:
            return {reinterpret_cast<const unsigned char*>(text_.data()) + p.at, nullptr, length};
        case kLatin1:
            return {latin1_.data() + p.at, nullptr, length};
        case kWide:
        default:
            return {nullptr, wide_.data() + p.at, length};
    }
}

std::uint8_t PreparedCatalogue::bucket(char32_t c) const noexcept {
    if (c < 256) return low_bucket_[c];
    const char32_t* it = std::lower_bound(high_chars_.begin(), high_chars_.end(), c);
    return it != high_chars_.end() && *it == c ? high_bucket_[it - high_chars_.begin()] : kAbsent;
}

}  // namespace zemo::fuzzy
