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
inline std::vector<std::string> fields(std::string_view input, std::size_t max_fields, std::size_t max_length) {
    std::vector<std::string> out;
    while (out.size() < max_fields) {
        const std::size_t lf = input.find('\n');
        out.emplace_back(input.substr(0, std::min(lf, max_length)));
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
