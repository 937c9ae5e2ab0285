#include "common/utf8.hpp"

namespace zemo::utf8 {

bool is_valid(std::string_view s) noexcept {
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII eight bytes at a time: most text is mostly ASCII.
        while (i + 8 <= n && ascii::is_ascii(s.substr(i, 8))) i += 8;
        if (i == n) break;
        const Sequence seq = sequence_at(s, i);
        if (!seq.valid) return false;
        i += seq.length;
    }
    return true;
}

std::string to_valid(std::string&& bytes) {
    if (is_valid(bytes)) return std::move(bytes);
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 2);
    for (std::size_t i = 0; i < bytes.size();) {
        const Sequence seq = sequence_at(bytes, i);
        if (seq.valid) {
            out.append(bytes, i, seq.length);
        } else {
            out += "\xEF\xBF\xBD";
        }
        i += seq.length;
    }
    return out;
}

}  // namespace zemo::utf8
