#include "fuzzy/catalogue.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <unordered_map>
#include <utility>

namespace zemo::fuzzy {
namespace {

using Row = PreparedCatalogue::Row;
using Run = PreparedCatalogue::Run;
using Layout = PreparedCatalogue::Layout;

bool row_less(const Row& a, const Row& b) noexcept {
    return std::memcmp(a.counts, b.counts, PreparedCatalogue::kBuckets) < 0;
}

// Orders `ids` by (key, row) with `key` a small dense number, stably, and
// lays the rows out in that order.
template <typename Key>
void lay_out(Layout& out, const std::vector<std::uint32_t>& ids, std::size_t keys, Key key,
             const std::vector<Row>& rows) {
    std::vector<std::uint32_t> start(keys + 1, 0);
    for (std::uint32_t id : ids) ++start[key(id) + 1];
    for (std::size_t k = 0; k < keys; ++k) start[k + 1] += start[k];
    std::vector<std::uint32_t> sorted(ids.size());
    {
        std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
        for (std::uint32_t id : ids) sorted[next[key(id)]++] = id;
    }
    for (std::size_t k = 0; k < keys; ++k) {
        std::stable_sort(sorted.begin() + start[k], sorted.begin() + start[k + 1],
                         [&](std::uint32_t a, std::uint32_t b) { return row_less(rows[a], rows[b]); });
    }
    out.ids = std::move(sorted);
    out.rows.resize(out.ids.size());
    for (std::size_t r = 0; r < out.ids.size(); ++r) out.rows[r] = rows[out.ids[r]];
}

}  // namespace

PreparedCatalogue::PreparedCatalogue(const std::vector<std::string_view>& entries) {
    if (entries.size() >= std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("catalogue too large");
    const std::size_t n = entries.size();
    std::size_t bytes = 0;
    for (std::string_view e : entries) bytes += e.size();
    text_.reserve(bytes);
    text_at_.reserve(n + 1);
    kind_.reserve(n);
    chars_at_.reserve(n);
    length_.reserve(n);
    text_at_.push_back(0);
    std::vector<unsigned char> narrow;
    for (std::string_view e : entries) {
        const std::size_t at = text_.size();
        text_.append(e);
        text_at_.push_back(text_.size());
        if (detail::is_ascii(e)) {
            kind_.push_back(kAscii);
            chars_at_.push_back(at);
            length_.push_back(static_cast<std::uint32_t>(e.size()));
        } else if (detail::decode_latin1(e, narrow)) {
            kind_.push_back(kLatin1);
            chars_at_.push_back(latin1_.size());
            length_.push_back(static_cast<std::uint32_t>(narrow.size()));
            latin1_.insert(latin1_.end(), narrow.begin(), narrow.end());
        } else {
            kind_.push_back(kWide);
            chars_at_.push_back(wide_.size());
            detail::decode_append(e, wide_);
            length_.push_back(static_cast<std::uint32_t>(wide_.size() - chars_at_.back()));
        }
    }

    // The 31 most frequent characters get a bucket each, the others share one.
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
    low_bucket_.fill(kAbsent);
    std::vector<std::pair<char32_t, std::uint8_t>> high;
    for (std::size_t r = 0; r < by_count.size(); ++r) {
        const char32_t c = by_count[r].second;
        const auto b = static_cast<std::uint8_t>(std::min(r, kBuckets - 1));
        if (c < 256) {
            low_bucket_[c] = b;
        } else {
            high.emplace_back(c, b);
        }
    }
    std::sort(high.begin(), high.end());
    for (const auto& [c, b] : high) {
        high_chars_.push_back(c);
        high_bucket_.push_back(b);
    }

    // Histograms; an entry with a count that does not fit is kept aside.
    std::vector<Row> rows(n);
    std::vector<std::uint32_t> fitting;
    fitting.reserve(n);
    std::uint32_t longest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t counts[kBuckets] = {};
        detail::visit(chars(i), [&](const auto* s, std::size_t len) {
            for (std::size_t k = 0; k < len; ++k) ++counts[bucket(static_cast<char32_t>(s[k]))];
        });
        if (*std::max_element(counts, counts + kBuckets) > kMaxCount) {
            oversized_.push_back(static_cast<std::uint32_t>(i));
            continue;
        }
        for (std::size_t b = 0; b < kBuckets; ++b) rows[i].counts[b] = static_cast<std::uint8_t>(counts[b]);
        fitting.push_back(static_cast<std::uint32_t>(i));
        longest = std::max(longest, length_[i]);
    }

    // By length, then by histogram.
    lay_out(by_length_, fitting, longest + 1, [&](std::uint32_t id) { return length_[id]; }, rows);
    for (std::size_t r = 0; r < by_length_.ids.size();) {
        const std::uint32_t len = length_[by_length_.ids[r]];
        std::size_t e = r;
        while (e < by_length_.ids.size() && length_[by_length_.ids[e]] == len) ++e;
        by_length_.runs.push_back({0, len, static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(e)});
        r = e;
    }

    // By first character, then as above: a stable pass over the first layout.
    std::vector<char32_t> initials;
    std::vector<std::uint32_t> with_initial;
    for (std::uint32_t id : by_length_.ids) {
        if (length_[id] == 0) continue;
        with_initial.push_back(id);
        initials.push_back(detail::visit(chars(id), [](const auto* s, std::size_t) { return char32_t(s[0]); }));
    }
    std::vector<char32_t> distinct = initials;
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    std::vector<std::uint32_t> rank_of(n, 0);
    for (std::size_t k = 0; k < with_initial.size(); ++k)
        rank_of[with_initial[k]] = static_cast<std::uint32_t>(
            std::lower_bound(distinct.begin(), distinct.end(), initials[k]) - distinct.begin());
    {
        // Already in (length, histogram) order: a counting pass keeps it.
        std::vector<std::uint32_t> start(distinct.size() + 1, 0);
        for (std::uint32_t id : with_initial) ++start[rank_of[id] + 1];
        for (std::size_t k = 0; k < distinct.size(); ++k) start[k + 1] += start[k];
        by_initial_.ids.resize(with_initial.size());
        for (std::uint32_t id : with_initial) by_initial_.ids[start[rank_of[id]]++] = id;
        by_initial_.rows.resize(with_initial.size());
        for (std::size_t r = 0; r < with_initial.size(); ++r) by_initial_.rows[r] = rows[by_initial_.ids[r]];
    }
    for (std::size_t r = 0; r < by_initial_.ids.size();) {
        const std::uint32_t rank = rank_of[by_initial_.ids[r]];
        const std::uint32_t len = length_[by_initial_.ids[r]];
        std::size_t e = r;
        while (e < by_initial_.ids.size() && rank_of[by_initial_.ids[e]] == rank && length_[by_initial_.ids[e]] == len)
            ++e;
        by_initial_.runs.push_back({distinct[rank], len, static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(e)});
        r = e;
    }
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

std::uint8_t PreparedCatalogue::bucket(char32_t c) const noexcept {
    if (c < 256) return low_bucket_[c];
    const auto it = std::lower_bound(high_chars_.begin(), high_chars_.end(), c);
    return it != high_chars_.end() && *it == c ? high_bucket_[it - high_chars_.begin()] : kAbsent;
}

}  // namespace zemo::fuzzy
