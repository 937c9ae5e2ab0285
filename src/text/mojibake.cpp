#include "text/mojibake.hpp"

#include <cstring>
#include <string>

#include "common/utf8.hpp"
#include "text/forms.hpp"

namespace zemo::text {

namespace detail {

// Characters of bytes 0x80-0x9F; 0 where the byte is unassigned.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,
};

// Second UTF-8 byte (after 0xC3) of the trigger characters U+00C2-U+00C5,
// U+00CE-U+00D1, U+00D8-U+00DB and U+00E2.
constexpr bool is_trigger_tail(unsigned char b) {
    return (b >= 0x82 && b <= 0x85) || (b >= 0x8E && b <= 0x91) || (b >= 0x98 && b <= 0x9B) || b == 0xA2;
}

}  // namespace detail

bool has_mojibake_trigger(std::string_view s) {
    const char* p = s.data();
    const char* end = p + s.size();
    while (p < end) {
        const void* hit = std::memchr(p, 0xC3, static_cast<std::size_t>(end - p));
        if (hit == nullptr) return false;
        p = static_cast<const char*>(hit) + 1;
        if (p < end && detail::is_trigger_tail(static_cast<unsigned char>(*p))) return true;
    }
    return false;
}

std::optional<unsigned char> cp1252_byte(char32_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<unsigned char>(c);
    if (c < 0x152 || c > 0x2122) return std::nullopt;
    for (unsigned i = 0; i < 32; ++i) {
        if (detail::kCp1252High[i] == c) return static_cast<unsigned char>(0x80 + i);
    }
    return std::nullopt;
}

std::string fix_mojibake(std::string_view s) {
    if (!has_mojibake_trigger(s)) return std::string(s);
    // Every character becomes one byte, so the bytes never outgrow the input.
    std::string bytes;
    bytes.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        const auto b = cp1252_byte(utf8::decode(s, i));
        if (!b) return std::string(s);
        bytes.push_back(static_cast<char>(*b));
    }
    if (!utf8::is_valid(bytes)) return std::string(s);
    return bytes;
}

}  // namespace zemo::text
