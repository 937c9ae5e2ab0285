#include "text/numbers.hpp"

#include "common/ascii.hpp"

namespace zemo::text {
namespace {

// Roman numerals from 2 to 39, the range of volumes, parts and sequels.
int roman_value(std::string_view w) {
    static constexpr std::string_view kOnes[] = {"", "i", "ii", "iii", "iv", "v", "vi", "vii", "viii", "ix"};
    std::size_t tens = 0;
    while (tens < 3 && tens < w.size() && w[tens] == 'x') ++tens;
    const std::string_view rest = w.substr(tens);
    for (int ones = 0; ones < 10; ++ones) {
        if (rest == kOnes[ones]) return static_cast<int>(10 * tens) + ones;
    }
    return 0;
}

bool is_marker(std::string_view w) {
    for (std::string_view m : {"vol", "volume", "pt", "part", "disc", "disk", "cd"})
        if (w == m) return true;
    return false;
}

// Words that mark a bracketed part of a title as an edition of the same
// record ("(2009 Remaster)", "[Deluxe Edition 2011]", "- 2019 Mix").
bool is_edition(std::string_view w) {
    for (std::string_view e : {"remaster", "reissue", "edition", "anniversary", "deluxe", "expanded", "version",
                               "bonus", "mono", "stereo", "mix", "edit"}) {
        if (w == e || (w.size() > e.size() && w.substr(0, e.size()) == e && e.size() >= 6)) return true;
    }
    return false;
}

// Digits and letters, of any script: what words are made of.
bool in_word(char c) { return ascii::is_alnum(c) || !ascii::is_ascii(static_cast<unsigned char>(c)); }

}  // namespace

std::vector<std::string> title_numbers(std::string_view title) {
    std::vector<std::string> out;
    // Numbers of the current bracketed group, or of the part after " - ",
    // kept unless a word there says it is an edition of the same record.
    std::vector<std::string> group;
    bool in_group = false, edition = false;
    std::string word, previous;
    const auto end_group = [&] {
        if (!edition) out.insert(out.end(), group.begin(), group.end());
        group.clear();
        in_group = edition = false;
    };
    const auto end_word = [&] {
        if (word.empty()) return;
        std::vector<std::string>& into = in_group ? group : out;
        // Digits anywhere in a word ("vol2", "1999"), each run a number.
        bool digits = false;
        for (std::size_t i = 0; i < word.size();) {
            if (!ascii::is_digit(word[i])) {
                ++i;
                continue;
            }
            digits = true;
            std::size_t j = i;
            while (j < word.size() && ascii::is_digit(word[j])) ++j;
            std::size_t k = i;
            while (k + 1 < j && word[k] == '0') ++k;
            into.emplace_back(word, k, j - k);
            i = j;
        }
        if (!digits) {
            std::string lower = ascii::lowered(word);
            const int value = roman_value(lower);
            // A lone i, v or x is a numeral only as a volume or part.
            if (value >= 2 && (lower.size() > 1 || is_marker(previous))) into.push_back(std::to_string(value));
            if (value == 1 && is_marker(previous)) into.emplace_back("1");
            edition = edition || (in_group && is_edition(lower));
            previous = std::move(lower);
        } else {
            previous.clear();
        }
        word.clear();
    };
    for (std::size_t i = 0; i < title.size(); ++i) {
        const char c = title[i];
        if (in_word(c)) {
            word += c;
            continue;
        }
        end_word();
        if (c == '(' || c == '[') {
            if (in_group) end_group();
            in_group = true;
        } else if (c == ')' || c == ']') {
            if (in_group) end_group();
        } else if (c == '-' && i > 0 && title[i - 1] == ' ' && i + 1 < title.size() && title[i + 1] == ' ') {
            if (in_group) end_group();
            in_group = true;
        }
    }
    end_word();
    if (in_group) end_group();
    return out;
}

}  // namespace zemo::text
