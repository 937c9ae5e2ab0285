#pragma once
// The Unicode White_Space property, the set that trimming and splitting on
// white space mean throughout the library.

namespace zemo::text {

constexpr bool is_white_space(char32_t c) noexcept {
    if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    switch (c) {
        case 0x0085: case 0x00A0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return c >= 0x2000 && c <= 0x200A;
    }
}

}  // namespace zemo::text
