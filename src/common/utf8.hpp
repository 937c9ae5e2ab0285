#pragma once
// UTF-8 for every subsystem: decoding, encoding, validation, repair and the
// narrowest width a string's characters fit.
//
// Two decoding policies, for two kinds of input:
// - decode(): text that is valid UTF-8 by contract (strings from Python,
//   ICU output, repaired dump values). Fast. A byte that does not begin a
//   complete sequence (a stray continuation byte, a lead byte without its
//   continuation bytes) decodes to itself, U+0080..U+00FF, and is taken
//   alone; overlong forms and surrogates are not looked for. It never reads
//   past the end.
// - decode_replacing(): bytes from outside (files). Each maximal ill-formed
//   subsequence becomes one U+FFFD, as Python's bytes.decode("utf-8",
//   "replace") does; is_valid() and to_valid() follow the same table.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/ascii.hpp"

namespace zemo::utf8 {

inline constexpr char32_t kReplacement = 0xFFFD;

constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

// Decodes the character at s[i] and advances i past it (policy above).
// The lead byte alone decides the length (C0..DF two bytes, E0..EF three,
// F0..FF four); the continuation bytes are checked together.
inline char32_t decode(std::string_view s, std::size_t& i) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    const std::size_t left = s.size() - i;
    const char32_t b0 = p[0];
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    if (b0 < 0xE0) {
        if (b0 >= 0xC0 && left >= 2 && is_continuation(p[1])) {
            i += 2;
            return (b0 & 0x1F) << 6 | (p[1] & 0x3F);
        }
    } else if (b0 < 0xF0) {
        // The top two bits of both continuation bytes side by side: 10 10.
        if (left >= 3 && ((p[1] & 0xC0) | (p[2] & 0xC0) >> 2) == 0xA0) {
            i += 3;
            return (b0 & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F);
        }
    } else if (left >= 4 && ((p[1] & 0xC0) | (p[2] & 0xC0) >> 2 | (p[3] & 0xC0) >> 4) == 0xA8) {
        i += 4;
        return (b0 & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 | (p[3] & 0x3F);
    }
    ++i;
    return b0;
}

// One sequence by the table of well-formed UTF-8: its length and whether it
// is well formed; an ill-formed one has the length of its maximal prefix
// that could still begin a well-formed sequence (at least 1).
struct Sequence {
    std::size_t length;
    bool valid;
};

inline Sequence sequence_at(std::string_view s, std::size_t i) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    const std::size_t n = s.size() - i;
    const unsigned char lead = p[0];
    if (lead < 0x80) return {1, true};
    std::size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) lo = 0xA0;  // no overlong forms
        if (lead == 0xED) hi = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
        return {1, false};
    }
    for (std::size_t k = 1; k <= need; ++k) {
        if (k >= n || p[k] < lo || p[k] > hi) return {k, false};
        lo = 0x80;
        hi = 0xBF;
    }
    return {need + 1, true};
}

// Decodes the character at s[i] and advances i; an ill-formed subsequence
// gives U+FFFD.
inline char32_t decode_replacing(std::string_view s, std::size_t& i) noexcept {
    const Sequence seq = sequence_at(s, i);
    if (!seq.valid) {
        i += seq.length;
        return kReplacement;
    }
    return decode(s, i);
}

// Strict well-formedness: no stray continuation byte, no truncated sequence,
// no overlong form, no surrogate, nothing above U+10FFFF.
inline bool is_valid(std::string_view s) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            // Runs of ASCII eight bytes at a time: most text is mostly ASCII.
            ++i;
            for (std::uint64_t w; i + 8 <= n; i += 8) {
                std::memcpy(&w, p + i, 8);
                if (w & 0x8080808080808080ULL) break;
            }
            continue;
        }
        const Sequence seq = sequence_at(s, i);
        if (!seq.valid) return false;
        i += seq.length;
    }
    return true;
}

// `bytes` itself when valid (no copy), else with every maximal ill-formed
// subsequence replaced by U+FFFD.
std::string to_valid(std::string&& bytes);

// The UTF-8 bytes of `c` written at `w` (room for four); returns the end.
inline char* write(char* w, char32_t c) noexcept {
    if (c < 0x80) {
        *w++ = static_cast<char>(c);
    } else if (c < 0x800) {
        *w++ = static_cast<char>(0xC0 | (c >> 6));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *w++ = static_cast<char>(0xE0 | (c >> 12));
        *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        *w++ = static_cast<char>(0xF0 | (c >> 18));
        *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
    }
    return w;
}

inline void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// Number of characters of valid UTF-8 (bytes that are not continuations).
inline std::size_t char_count(std::string_view s) noexcept {
    std::size_t n = 0;
    for (char c : s) n += !is_continuation(static_cast<unsigned char>(c));
    return n;
}

// Where the last character of s[0, end) begins (end > 0); a malformed tail
// is taken one byte at a time, as decode() takes it.
inline std::size_t last_char_start(std::string_view s, std::size_t end) noexcept {
    std::size_t start = end - 1;
    const std::size_t floor = end >= 4 ? end - 4 : 0;
    while (start > floor && is_continuation(static_cast<unsigned char>(s[start]))) --start;
    std::size_t i = start;
    decode(s, i);
    return i == end ? start : end - 1;
}

// Appends the code points of `s`.
inline void decode_append(std::string_view s, std::vector<char32_t>& out) {
    std::size_t i = 0;
    while (i < s.size()) out.push_back(decode(s, i));
}

// One byte per character into `out` when every character is below U+0100
// (so equal bytes mean equal characters); false, `out` unspecified, otherwise.
inline bool decode_latin1(std::string_view s, std::vector<unsigned char>& out) {
    out.resize(s.size());
    std::size_t n = 0;
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        if (b < 0x80) {
            out[n++] = b;
            ++i;
            continue;
        }
        const char32_t c = decode(s, i);
        if (c >= 256) return false;
        out[n++] = static_cast<unsigned char>(c);
    }
    out.resize(n);
    return true;
}

// ---------------------------------------------------------------------------
// The narrowest width: the kernels that compare characters run on bytes
// when they can, and on code points only when a character needs them.

enum class Width : unsigned char { Ascii, Latin1, Wide };

// A string's characters at one width: `narrow` (ASCII or Latin-1 bytes) or
// `wide` (code points), the other null.
struct CharSpan {
    const unsigned char* narrow = nullptr;
    const char32_t* wide = nullptr;
    std::size_t size = 0;
    Width width = Width::Ascii;
};

// Scratch buffers a CharSpan may point into; reused, so that a hot loop
// allocates nothing once they have grown.
struct CharBuffers {
    std::vector<unsigned char> latin1;
    std::vector<char32_t> wide;
};

// The characters of `s`: its own bytes when ASCII, one byte per character
// when Latin-1, else code points (the last two in `buf`).
inline CharSpan narrowest(std::string_view s, CharBuffers& buf) {
    if (ascii::is_ascii(s)) return {reinterpret_cast<const unsigned char*>(s.data()), nullptr, s.size(), Width::Ascii};
    if (decode_latin1(s, buf.latin1)) return {buf.latin1.data(), nullptr, buf.latin1.size(), Width::Latin1};
    buf.wide.clear();
    decode_append(s, buf.wide);
    return {nullptr, buf.wide.data(), buf.wide.size(), Width::Wide};
}

// The characters of `s` as code points, in `buf`.
inline CharSpan widest(std::string_view s, CharBuffers& buf) {
    buf.wide.clear();
    decode_append(s, buf.wide);
    return {nullptr, buf.wide.data(), buf.wide.size(), Width::Wide};
}

// Calls fn(chars, size) with the narrow or the wide array.
template <typename Fn>
auto visit(const CharSpan& s, Fn&& fn) {
    return s.wide != nullptr ? fn(s.wide, s.size) : fn(s.narrow, s.size);
}

// Calls fn(a_chars, a_size, b_chars, b_size) for a pair of spans.
template <typename Fn>
auto visit(const CharSpan& a, const CharSpan& b, Fn&& fn) {
    return visit(a, [&](const auto* x, std::size_t n) {
        return visit(b, [&](const auto* y, std::size_t m) { return fn(x, n, y, m); });
    });
}

// Calls fn(a_chars, n, b_chars, m) with both strings at the one width that
// holds the characters of both: bytes, or code points for both.
template <typename Fn>
auto with_common_width(std::string_view a, std::string_view b, CharBuffers& buf_a, CharBuffers& buf_b, Fn&& fn) {
    CharSpan x = narrowest(a, buf_a);
    CharSpan y = narrowest(b, buf_b);
    if (x.wide == nullptr && y.wide == nullptr) return fn(x.narrow, x.size, y.narrow, y.size);
    if (x.wide == nullptr) x = widest(a, buf_a);
    if (y.wide == nullptr) y = widest(b, buf_b);
    return fn(x.wide, x.size, y.wide, y.size);
}

}  // namespace zemo::utf8
