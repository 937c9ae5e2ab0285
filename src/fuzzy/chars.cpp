#include "fuzzy/chars.hpp"

#include "text/case.hpp"

namespace zemo::fuzzy::detail {

std::string lower_token(std::string_view piece) {
    return is_ascii(piece) ? ascii::lowered(piece) : text::lower_full(piece);
}

std::vector<std::string> tokens(std::string_view s) {
    std::vector<std::string> out;
    for_each_piece(s, [&](std::string_view piece) { out.push_back(lower_token(piece)); });
    return out;
}

}  // namespace zemo::fuzzy::detail
