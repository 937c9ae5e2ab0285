#pragma once
// Splitting one libFuzzer input into the few small pieces a target needs.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace zemo::fuzz {

inline void require(bool ok) {
    if (!ok) std::abort();
}

// The input's fields, separated by '\n', each cut to `max_length` bytes and at
// most `max_fields` of them: inputs stay small so that thousands run a second.
// A cut backs off to a character boundary, so valid UTF-8 gives valid fields.
inline std::vector<std::string> fields(std::string_view input, std::size_t max_fields, std::size_t max_length) {
    const auto continuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    std::vector<std::string> out;
    while (out.size() < max_fields) {
        const std::size_t lf = input.find('\n');
        std::size_t cut = std::min(lf, max_length);
        if (cut < input.size() && cut < lf) {
            for (int k = 0; k < 3 && cut > 0 && continuation(input[cut]); ++k) --cut;
        }
        out.emplace_back(input.substr(0, cut));
        if (lf == std::string_view::npos) break;
        input.remove_prefix(lf + 1);
    }
    return out;
}

// Takes the first byte (0 for an empty input) as a small parameter.
inline std::uint8_t take_byte(std::string_view& input) {
    if (input.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(input.front());
    input.remove_prefix(1);
    return b;
}

}  // namespace zemo::fuzz
