#pragma once
// The inner loops of the measures, over character arrays: bytes for ASCII
// input, code points otherwise. LCS uses the bit-parallel recurrence
// (64 pattern characters per machine word, blocks of words beyond that);
// Jaro matching uses position masks when both strings fit one word.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zemo::fuzzy::detail {

// For each character of a pattern, the bit mask of its positions.
// Instances are reused per thread: assign() only clears what the previous
// pattern set, so short patterns cost time proportional to their length.
class PatternMasks {
public:
    template <typename C>
    void assign(const C* s, std::size_t n);

    std::size_t words() const noexcept { return words_; }
    // Characters of the pattern.
    std::size_t size() const noexcept { return size_; }

    // With words() == 1: the mask of each character below 256, by character.
    const std::uint64_t* byte_masks() const noexcept { return low_.data(); }

    // words() masks for character c; all zero when c is absent.
    const std::uint64_t* row(char32_t c) const noexcept {
        if (c < 256) return &low_[static_cast<std::size_t>(c) * words_];
        if (high_mask_ == 0) return zeros_.data();
        for (std::size_t i = hash(c) & high_mask_;; i = (i + 1) & high_mask_) {
            if (keys_[i] == c) return &high_[i * words_];
            if (keys_[i] == kEmpty) return zeros_.data();
        }
    }

private:
    static constexpr char32_t kEmpty = 0xFFFFFFFF;
    static std::size_t hash(char32_t c) noexcept { return (static_cast<std::size_t>(c) * 0x9E3779B1u) >> 7; }

    std::uint64_t* high_row(char32_t c) {
        for (std::size_t i = hash(c) & high_mask_;; i = (i + 1) & high_mask_) {
            if (keys_[i] == c) return &high_[i * words_];
            if (keys_[i] == kEmpty) {
                keys_[i] = c;
                return &high_[i * words_];
            }
        }
    }

    std::size_t words_ = 0;
    std::size_t size_ = 0;
    std::vector<std::uint64_t> low_;          // 256 rows of words_ masks, zero outside `touched_`
    std::vector<unsigned char> touched_;      // low characters set by the current pattern
    std::vector<char32_t> keys_;              // open addressing for characters >= 256
    std::vector<std::uint64_t> high_;
    std::vector<std::uint64_t> zeros_;
    std::size_t high_mask_ = 0;
};

template <typename C>
void PatternMasks::assign(const C* s, std::size_t n) {
    if (words_ == 1) {
        for (unsigned char c : touched_) low_[c] = 0;
    } else {
        for (unsigned char c : touched_) std::fill_n(&low_[c * words_], words_, 0);
    }
    touched_.clear();
    words_ = std::max<std::size_t>(1, (n + 63) / 64);
    size_ = n;
    if (low_.size() < 256 * words_) low_.resize(256 * words_, 0);
    if (zeros_.size() < words_) zeros_.resize(words_, 0);

    std::size_t high = 0;
    for (std::size_t i = 0; i < n; ++i) high += static_cast<char32_t>(s[i]) >= 256;
    high_mask_ = 0;
    if (high > 0) {
        std::size_t cap = 8;
        while (cap < 2 * high) cap *= 2;
        keys_.assign(cap, kEmpty);
        high_.assign(cap * words_, 0);
        high_mask_ = cap - 1;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<char32_t>(s[i]);
        const std::uint64_t bit = std::uint64_t{1} << (i % 64);
        if (c < 256) {
            low_[c * words_ + i / 64] |= bit;
            touched_.push_back(static_cast<unsigned char>(c));
        } else {
            high_row(c)[i / 64] |= bit;
        }
    }
}

#if defined(__SSE2__)
// Bucket counts, 32 at a time: one byte each in two halves of 16.

// The sum of the 32 bytes of `lo` and `hi`.
inline std::uint32_t byte_sum(__m128i lo, __m128i hi) noexcept {
    const __m128i zero = _mm_setzero_si128();
    const __m128i s = _mm_add_epi64(_mm_sad_epu8(lo, zero), _mm_sad_epu8(hi, zero));
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(s) + _mm_cvtsi128_si32(_mm_unpackhi_epi64(s, s)));
}

// Sum over the 32 buckets of the smaller of the two counts.
inline std::uint32_t common_count(__m128i a_lo, __m128i a_hi, __m128i b_lo, __m128i b_hi) noexcept {
    return byte_sum(_mm_min_epu8(a_lo, b_lo), _mm_min_epu8(a_hi, b_hi));
}

// 32 four-bit counts packed two to a byte (16 bytes, aligned) as bytes: the
// low nibbles in `lo`, the high ones in `hi`.
inline void unpack_nibbles(const void* packed, __m128i& lo, __m128i& hi) noexcept {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i v = _mm_load_si128(static_cast<const __m128i*>(packed));
    lo = _mm_and_si128(v, nibble);
    hi = _mm_and_si128(_mm_srli_epi16(v, 4), nibble);
}
#endif

// Positions of a byte in a string of at most 64 bytes, found by comparing
// it with the whole string 16 bytes at a time: no table to fill or clear.
class BytePositions {
public:
    BytePositions(const unsigned char* s, std::size_t n) : valid_(n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1) {
#if defined(__SSE2__)
        alignas(16) unsigned char buf[64] = {};
        std::copy_n(s, n, buf);
        blocks_ = (n + 15) / 16;
        for (std::size_t k = 0; k < 4; ++k) v_[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(buf + 16 * k));
#else
        std::fill(std::begin(table_), std::end(table_), 0);
        for (std::size_t i = 0; i < n; ++i) table_[s[i]] |= std::uint64_t{1} << i;
#endif
    }

    std::uint64_t operator()(char32_t c) const noexcept {
        if (c >= 256) return 0;
#if defined(__SSE2__)
        const __m128i x = _mm_set1_epi8(static_cast<char>(c));
        std::uint64_t m = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, v_[0])));
        if (blocks_ > 1) m |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, v_[1]))) << 16;
        if (blocks_ > 2) m |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, v_[2]))) << 32;
        if (blocks_ > 3) m |= static_cast<std::uint64_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, v_[3]))) << 48;
        return m & valid_;
#else
        return table_[c];
#endif
    }

private:
    std::uint64_t valid_;
#if defined(__SSE2__)
    __m128i v_[4];
    std::size_t blocks_ = 0;
#else
    std::uint64_t table_[256];
#endif
};

// The zero bits of the bit-parallel LCS state below bit i: after text[0..j),
// the LCS of the pattern's first i characters and text[0..j).
inline std::size_t zeros_below(const std::uint64_t* state, std::size_t i) noexcept {
    std::size_t n = 0;
    for (; i >= 64; i -= 64, ++state) n += static_cast<std::size_t>(std::popcount(~*state));
    return i == 0 ? n : n + static_cast<std::size_t>(std::popcount(~*state & ((std::uint64_t{1} << i) - 1)));
}

// At most the LCS of a pattern of n characters and a text, from the state
// after all but the text's last `left` characters: a common subsequence
// matches the text read so far with some prefix of the pattern (the state
// tells their LCS) and the rest with the rest, at most min(n - i, left) more
// for a prefix of i. The best split is at i = n - left.
inline std::size_t lcs_reachable(const std::uint64_t* state, std::size_t n, std::size_t left) noexcept {
    return left >= n ? n : zeros_below(state, n - left) + left;
}
// The same for a pattern of at most 64 characters.
inline std::size_t lcs_reachable(std::uint64_t state, std::size_t n, std::size_t left) noexcept {
    return left >= n ? n : static_cast<std::size_t>(std::popcount(~state & ((std::uint64_t{1} << (n - left)) - 1))) + left;
}

// LCS length of a pattern (given by its masks) and text[0..m). With `least`,
// a length below it may come back as any smaller length of a common
// subsequence: the scan stops once what is read cannot reach it.
template <typename C>
std::size_t lcs_with_pattern(const PatternMasks& pm, const C* text, std::size_t m, std::size_t least = 0) {
    // Checked every kStride characters (lcs_reachable).
    constexpr std::size_t kStride = 8;
    const std::size_t n = pm.size();
    const auto hopeless = [&](const std::uint64_t* state, std::size_t j) { return lcs_reachable(state, n, m - j) < least; };
    if (pm.words() == 1) {
        std::uint64_t s = ~std::uint64_t{0};
        for (std::size_t j = 0; j < m;) {
            for (const std::size_t stop = std::min(m, j + kStride); j < stop; ++j) {
                const std::uint64_t u = s & *pm.row(static_cast<char32_t>(text[j]));
                s = (s + u) | (s - u);
            }
            if (least > 0 && j < m && lcs_reachable(s, n, m - j) < least) break;
        }
        return static_cast<std::size_t>(std::popcount(~s));
    }
    if (pm.words() == 2) {
        std::uint64_t s[2] = {~std::uint64_t{0}, ~std::uint64_t{0}};
        for (std::size_t j = 0; j < m;) {
            for (const std::size_t stop = std::min(m, j + kStride); j < stop; ++j) {
                const std::uint64_t* row = pm.row(static_cast<char32_t>(text[j]));
                const std::uint64_t u0 = s[0] & row[0], u1 = s[1] & row[1];
                const std::uint64_t sum0 = s[0] + u0;
                const std::uint64_t carry = sum0 < s[0];
                const std::uint64_t x1 = s[1] + u1 + carry;
                s[0] = sum0 | (s[0] - u0);
                s[1] = x1 | (s[1] - u1);
            }
            if (least > 0 && j < m && hopeless(s, j)) break;
        }
        return zeros_below(s, 128);
    }
    const std::size_t words = pm.words();
    thread_local std::vector<std::uint64_t> tls_state;
    std::vector<std::uint64_t>& state = tls_state;
    state.assign(words, ~std::uint64_t{0});
    for (std::size_t j = 0; j < m;) {
        for (const std::size_t stop = std::min(m, j + kStride); j < stop; ++j) {
            const std::uint64_t* row = pm.row(static_cast<char32_t>(text[j]));
            std::uint64_t carry = 0;
            for (std::size_t w = 0; w < words; ++w) {
                const std::uint64_t s = state[w];
                const std::uint64_t u = s & row[w];
                const std::uint64_t sum = s + u;
                const std::uint64_t x = sum + carry;
                carry = (sum < s) | (x < sum);
                state[w] = x | (s - u);
            }
        }
        if (least > 0 && j < m && hopeless(state.data(), j)) break;
    }
    return zeros_below(state.data(), 64 * words);
}

// LCS lengths of a pattern of at most 64 characters (words() == 1) and a
// stream of byte texts, four at a time: the four recurrences are
// independent, so they run interleaved rather than each waiting on its own
// last step. Each text comes with the least LCS asked of it, as in
// lcs_with_pattern: one that can no longer reach it leaves its lane early,
// with some shorter common length, and the next text takes the lane.
// `next(text, size, least, tag)` gives the next text or returns false at
// the end; `done(tag, lcs)` takes each result, in the order they finish,
// and returns true to stop there.
template <typename Next, typename Done>
void lcs_stream_x4(const PatternMasks& pm, Next&& next, Done&& done) {
    constexpr std::size_t kStride = 8;
    // What an idle lane reads: its state is never reported.
    static constexpr unsigned char kIdle[kStride] = {};
    const std::uint64_t* masks = pm.byte_masks();
    const std::size_t n = pm.size();
    const unsigned char* p[4];
    std::uint64_t s[4];
    std::size_t left[4], least[4];
    std::uint32_t tag[4];
    std::size_t live = 0;
    const auto fill = [&](std::size_t k) {
        s[k] = ~std::uint64_t{0};
        if (next(p[k], left[k], least[k], tag[k])) {
            ++live;
            return;
        }
        p[k] = kIdle;
        left[k] = SIZE_MAX;
        least[k] = 0;
    };
    for (std::size_t k = 0; k < 4; ++k) fill(k);
    while (live > 0) {
        const std::size_t step = std::min({kStride, left[0], left[1], left[2], left[3]});
        for (std::size_t j = 0; j < step; ++j) {
            for (std::size_t k = 0; k < 4; ++k) {
                const std::uint64_t u = s[k] & masks[p[k][j]];
                s[k] = (s[k] + u) | (s[k] - u);
            }
        }
        for (std::size_t k = 0; k < 4; ++k) {
            if (left[k] == SIZE_MAX) continue;  // idle
            p[k] += step;
            left[k] -= step;
            if (left[k] > 0 && (least[k] == 0 || lcs_reachable(s[k], n, left[k]) >= least[k])) continue;
            --live;
            if (done(tag[k], static_cast<std::size_t>(std::popcount(~s[k])))) return;
            fill(k);
        }
    }
}

// Length of the longest common subsequence of a[0..n) and b[0..m).
template <typename C>
std::size_t lcs_length(const C* a, std::size_t n, const C* b, std::size_t m) {
    // A common prefix or suffix is always part of some longest subsequence.
    std::size_t common = 0;
    while (n > 0 && m > 0 && *a == *b) ++a, ++b, --n, --m, ++common;
    while (n > 0 && m > 0 && a[n - 1] == b[m - 1]) --n, --m, ++common;
    if (n == 0 || m == 0) return common;
    if (n > m) {
        std::swap(a, b);
        std::swap(n, m);
    }
    if constexpr (sizeof(C) == 1) {
        if (n <= 64) {
            const BytePositions positions(a, n);
            std::uint64_t s = ~std::uint64_t{0};
            for (std::size_t j = 0; j < m; ++j) {
                const std::uint64_t u = s & positions(b[j]);
                s = (s + u) | (s - u);
            }
            return common + static_cast<std::size_t>(std::popcount(~s));
        }
    }
    thread_local PatternMasks tls_pm;
    PatternMasks& pm = tls_pm;
    pm.assign(a, n);
    return common + lcs_with_pattern(pm, b, m);
}

// The indel ratio from an LCS length and the two lengths.
inline double ratio_from_lcs(std::size_t lcs, std::size_t n, std::size_t m) {
    if (n + m == 0) return 1.0;
    return static_cast<double>(2 * lcs) / static_cast<double>(n + m);
}

inline double winkler(double jaro, std::size_t prefix) {
    if (!(jaro > 0.7)) return jaro;
    return jaro + (1.0 - jaro) * (0.1 * static_cast<double>(prefix));
}

template <typename CA, typename CB>
std::size_t common_prefix4(const CA* a, std::size_t la, const CB* b, std::size_t lb) {
    std::size_t p = 0;
    const std::size_t cap = std::min<std::size_t>({la, lb, 4});
    while (p < cap && static_cast<char32_t>(a[p]) == static_cast<char32_t>(b[p])) ++p;
    return p;
}

// Jaro matching when both strings fit one word: the first free equal
// character of the window is the lowest set bit of (positions & window & ~taken).
template <typename CA, typename CB, typename Positions>
std::size_t jaro_match_word(const CA* a, std::size_t la, const CB* b, std::size_t lb, std::size_t w,
                            Positions positions, std::size_t& half_transpositions) {
    // A common prefix matches position for position (every earlier position
    // of b is taken when a[i] looks for its first free equal character).
    std::size_t prefix = 0;
    const std::size_t shorter = std::min(la, lb);
    while (prefix < shorter && static_cast<char32_t>(a[prefix]) == static_cast<char32_t>(b[prefix])) ++prefix;
    const auto below = [](std::size_t k) { return k >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << k) - 1; };
    std::uint64_t flags_a = below(prefix);
    std::uint64_t flags_b = flags_a;
    std::size_t m = prefix;
    // The window [i - w, i + w] as a mask; positions has no bits at or past lb.
    std::uint64_t window = below(prefix + w + 1) & ~below(prefix > w ? prefix - w : 0);
    for (std::size_t i = prefix; i < la; ++i) {
        const std::uint64_t free = positions(static_cast<char32_t>(a[i])) & window & ~flags_b;
        if (free != 0) {
            flags_b |= free & (~free + 1);
            flags_a |= std::uint64_t{1} << i;
            ++m;
        }
        window = i < w ? (window << 1) | 1 : window << 1;
    }
    while (flags_a != 0) {
        const int i = std::countr_zero(flags_a);
        const int j = std::countr_zero(flags_b);
        half_transpositions += static_cast<char32_t>(a[i]) != static_cast<char32_t>(b[j]);
        flags_a &= flags_a - 1;
        flags_b &= flags_b - 1;
    }
    return m;
}

// Jaro-Winkler similarity; matching walks `a` and takes the first free
// equal character of `b` inside the window.
template <typename CA, typename CB>
double jaro_winkler(const CA* a, std::size_t la, const CB* b, std::size_t lb) {
    if (la == 0 && lb == 0) return 1.0;
    if (la == 0 || lb == 0) return 0.0;
    std::size_t w = std::max(la, lb) / 2;
    if (w > 0) --w;

    std::size_t m = 0;
    std::size_t half_transpositions = 0;
    if (la <= 64 && lb <= 64) {
        if constexpr (sizeof(CB) == 1) {
            m = jaro_match_word(a, la, b, lb, w, BytePositions(b, lb), half_transpositions);
        } else {
            thread_local PatternMasks tls_pm;
            PatternMasks& pm = tls_pm;
            pm.assign(b, lb);
            m = jaro_match_word(a, la, b, lb, w, [&pm](char32_t c) { return *pm.row(c); }, half_transpositions);
        }
        if (m == 0) return 0.0;
    } else {
        thread_local std::vector<unsigned char> tls_fa, tls_fb;
        std::vector<unsigned char>& fa = tls_fa;
        std::vector<unsigned char>& fb = tls_fb;
        fa.assign(la, 0);
        fb.assign(lb, 0);
        for (std::size_t i = 0; i < la; ++i) {
            const std::size_t lo = i > w ? i - w : 0;
            const std::size_t hi = std::min(lb, i + w + 1);
            for (std::size_t j = lo; j < hi; ++j) {
                if (fb[j] == 0 && static_cast<char32_t>(a[i]) == static_cast<char32_t>(b[j])) {
                    fa[i] = fb[j] = 1;
                    ++m;
                    break;
                }
            }
        }
        if (m == 0) return 0.0;
        std::size_t j = 0;
        for (std::size_t i = 0; i < la; ++i) {
            if (fa[i] == 0) continue;
            while (fb[j] == 0) ++j;
            half_transpositions += static_cast<char32_t>(a[i]) != static_cast<char32_t>(b[j]);
            ++j;
        }
    }
    const std::size_t t = half_transpositions / 2;
    const double md = static_cast<double>(m);
    const double jaro =
        (md / static_cast<double>(la) + md / static_cast<double>(lb) + static_cast<double>(m - t) / md) / 3.0;
    return winkler(jaro, common_prefix4(a, la, b, lb));
}

// An upper bound of jaro_winkler for strings of these lengths with at most
// `matches` matching characters and a common `prefix` (capped at 4), padded
// against rounding.
inline double jaro_winkler_bound(std::size_t la, std::size_t lb, std::size_t matches, std::size_t prefix) {
    if (la == 0 || lb == 0) return la == lb ? 1.0 : 0.0;
    const double m = static_cast<double>(std::min({la, lb, matches}));
    if (m == 0) return 1e-9;
    const double jaro = (m / static_cast<double>(la) + m / static_cast<double>(lb) + 1.0) / 3.0;
    return winkler(jaro, prefix) + 1e-9;
}

// The same bound knowing also the LCS of the two strings. The matched
// characters of each string, taken in order, agree at m - h places (h the
// half transpositions), and the agreeing pairs form a common subsequence:
// m - h <= lcs, so t = floor(h / 2) >= (m - lcs - 1) / 2. Above m = lcs the
// Jaro sum is then at most m/la + m/lb + (m + lcs + 1) / 2m, convex in m: its
// largest value lies at an end of the range.
inline double jaro_winkler_order_bound(std::size_t la, std::size_t lb, std::size_t matches, std::size_t lcs,
                                       std::size_t prefix) {
    if (la == 0 || lb == 0) return la == lb ? 1.0 : 0.0;
    const std::size_t most = std::min({la, lb, matches});
    const auto sum = [&](std::size_t m) {
        const double md = static_cast<double>(m);
        const double order = m <= lcs ? 1.0 : (md + static_cast<double>(lcs) + 1.0) / (2.0 * md);
        return md / static_cast<double>(la) + md / static_cast<double>(lb) + order;
    };
    if (most == 0) return 1e-9;
    const double jaro = (most <= lcs + 1 ? sum(most) : std::max(sum(lcs + 1), sum(most))) / 3.0;
    return winkler(std::min(jaro, 1.0), prefix) + 1e-9;
}

}  // namespace zemo::fuzzy::detail
