#include "parser/utf8_lossy.hpp"

#include <cstdint>
#include <cstring>

namespace zemo::parser::detail {

namespace {

struct Step {
    std::size_t length;  // bytes consumed: the sequence, or its maximal ill-formed prefix
    bool valid;
};

// One sequence at p[0..n) (n >= 1), by the table of well-formed UTF-8 byte
// sequences: the second byte's range depends on the lead, later ones are
// always 80..BF.
Step next_sequence(const unsigned char* p, std::size_t n) {
    const unsigned char lead = p[0];
    if (lead < 0x80) return {1, true};
    std::size_t need;
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
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

bool all_ascii(const unsigned char* p, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) return false;
    }
    for (; i < n; ++i) {
        if (p[i] & 0x80) return false;
    }
    return true;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    if (all_ascii(p, n)) return true;
    for (std::size_t i = 0; i < n;) {
        const Step step = next_sequence(p + i, n - i);
        if (!step.valid) return false;
        i += step.length;
    }
    return true;
}

std::string to_utf8_lossy(std::string&& bytes) {
    if (is_valid_utf8(bytes)) return std::move(bytes);
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::string out;
    out.reserve(n + n / 2);
    for (std::size_t i = 0; i < n;) {
        const Step step = next_sequence(p + i, n - i);
        if (step.valid) {
            out.append(bytes, i, step.length);
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += step.length;
    }
    return out;
}

}  // namespace zemo::parser::detail
