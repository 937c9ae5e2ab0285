// The ampersand split on its own, which Python reaches only through the
// contextual split.
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "text/split.hpp"

using namespace zemo::text;

namespace {

using Parts = std::optional<std::vector<std::string>>;

std::string show(const Parts& parts) {
    if (!parts) return "absent";
    std::string out = "[";
    for (const std::string& p : *parts) out += "'" + p + "' ";
    return out + "]";
}

}  // namespace

TEST(split_try_ampersand_split) {
    const KnownArtists sun{"sun"};
    const KnownArtists none;
    struct Case {
        std::string_view s;
        const KnownArtists& known;
        Parts expected;
    };
    const Case cases[] = {
        {"Sun & Moon", sun, std::vector<std::string>{"Sun", "Moon"}},
        {"Sun & Moon", none, std::nullopt},
        {"Moon & Star", sun, std::nullopt},
        {"Sun&Moon", sun, std::nullopt},
        {"Sun & Moon & Sun", sun, std::vector<std::string>{"Sun", "Moon", "Sun"}},  // duplicates stay
        {"Sun &  & Moon", sun, std::vector<std::string>{"Sun", "Moon"}},
        {"S\xc3\x9cN & M", sun, std::nullopt},  // the known piece counts, the short one is dropped
        {"  Sun  & \xe3\x80\x80Moon\xc2\xa0", sun, std::vector<std::string>{"Sun", "Moon"}},
        {"Sun & \xc3\xa9", sun, std::vector<std::string>{"Sun", "\xc3\xa9"}},  // two bytes are enough
        {"x & Sun", sun, std::nullopt},
    };
    for (const Case& c : cases) {
        const Parts got = try_ampersand_split(c.s, c.known);
        if (got != c.expected) std::cerr << "  input '" << c.s << "': got " << show(got) << "\n";
        CHECK(got == c.expected);
    }
}

TEST(split_contextual_keeps_every_piece_owned) {
    // The known set holds views; the results must not alias the input.
    std::string name = "Alpha & Beta / Gamma";
    const std::string beta = "beta";
    const KnownArtists known{beta};
    const Parts got = split_artist_name_contextual(name, known);
    name.assign(name.size(), '#');
    CHECK(got == (std::vector<std::string>{"Alpha", "Beta", "Gamma"}));
}
