#pragma once
// A string hash for the hash sets on hot paths. std::hash of a string is a
// different function in each standard library, and libc++'s costs several
// times what this one does on names; this one is the same in every build.
// Eight bytes per multiply-and-fold step, the tail read as two overlapping
// loads; the length seeds it.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace zemo {

namespace detail {

__extension__ using HashWide = unsigned __int128;

// The high and low halves of a * b folded together.
inline std::uint64_t hash_fold(std::uint64_t a, std::uint64_t b) noexcept {
    const HashWide p = static_cast<HashWide>(a) * b;
    return static_cast<std::uint64_t>(p) ^ static_cast<std::uint64_t>(p >> 64);
}

inline std::uint64_t hash_load8(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

inline std::uint64_t hash_load4(const char* p) noexcept {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

}  // namespace detail

inline std::uint64_t hash_bytes(std::string_view s) noexcept {
    constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL, k1 = 0xe7037ed1a0b428dbULL, k2 = 0x8ebc6af09c88c6e3ULL;
    const char* p = s.data();
    std::size_t n = s.size();
    std::uint64_t h = detail::hash_fold(n ^ k0, k1);
    for (; n > 8; n -= 8, p += 8) h = detail::hash_fold(detail::hash_load8(p) ^ k1, h ^ k2);
    // One to eight bytes left (none only for the empty string); every byte
    // is read at least once.
    std::uint64_t tail = 0;
    if (n >= 4) {
        tail = (detail::hash_load4(p) << 32) | detail::hash_load4(p + n - 4);
    } else if (n > 0) {
        const auto byte = [p](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
        tail = (byte(0) << 16) | (byte(n >> 1) << 8) | byte(n - 1);
    }
    return detail::hash_fold(tail ^ k2, h ^ k1);
}

// A transparent hasher for unordered containers of strings: finds
// std::string_view keys in a set of std::string without a copy.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return static_cast<std::size_t>(hash_bytes(s)); }
};

}  // namespace zemo
