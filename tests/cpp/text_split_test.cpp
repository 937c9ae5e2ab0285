// The ampersand split on its own; Python reaches it only through the
// contextual split.
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "text/split.hpp"

using namespace zemo::text;

TEST(split_try_ampersand_split) {
    using Parts = std::optional<std::vector<std::string>>;
    const KnownArtists sun{"sun"};
    const std::pair<std::string_view, Parts> cases[] = {
        {"Sun & Moon", std::vector<std::string>{"Sun", "Moon"}},
        {"Sun&Moon", std::nullopt},
        {"Sun &  & Moon", std::vector<std::string>{"Sun", "Moon"}},
        {"  Sun  & \xe3\x80\x80\xc3\xa9\xc2\xa0", std::vector<std::string>{"Sun", "\xc3\xa9"}},
    };
    for (const auto& [s, expected] : cases) CHECK(try_ampersand_split(s, sun) == expected);
}
