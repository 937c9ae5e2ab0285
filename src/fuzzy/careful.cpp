#include "fuzzy/careful.hpp"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "common/interrupt.hpp"
#include "common/utf8.hpp"
#include "fuzzy/chars.hpp"
#include "fuzzy/explain.hpp"
#include "fuzzy/metrics.hpp"
#include "fuzzy/pool.hpp"
#include "text/forms.hpp"
#include "text/numbers.hpp"
#include "text/unicode8.hpp"

namespace zemo::fuzzy {

namespace {

// Words that make a bracketed part or the part after " - " an edition note
// of the same record: "(2011 Remaster)", "- 20th Anniversary Deluxe Edition".
bool is_edition_word(std::string_view w) {
    static constexpr std::string_view kWords[] = {"remaster", "remastered", "remasters", "reissue", "edition",
                                                  "anniversary", "deluxe", "expanded", "version", "bonus",
                                                  "mono", "stereo", "remix", "remixed", "tracks"};
    return std::find(std::begin(kWords), std::end(kWords), w) != std::end(kWords);
}

bool is_featuring_word(std::string_view w) { return w == "feat" || w == "feat." || w == "ft" || w == "ft." || w == "featuring"; }

bool is_year(std::string_view w) {
    return w.size() == 4 && (w.starts_with("19") || w.starts_with("20")) &&
           std::all_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The words of `s` split at spaces and at the punctuation ASCII has.
std::vector<std::string_view> ascii_words(std::string_view s) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == ',' || s[i] == ':')) ++i;
        std::size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != ',' && s[j] != ':') ++j;
        if (j > i) out.push_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

// "20th", "50th", "1st": how an anniversary is counted.
bool is_ordinal(std::string_view w) {
    std::size_t digits = 0;
    while (digits < w.size() && w[digits] >= '0' && w[digits] <= '9') ++digits;
    const std::string_view rest = w.substr(digits);
    return digits > 0 && (rest == "st" || rest == "nd" || rest == "rd" || rest == "th");
}

// Whether a bracketed part or the part after " - " is a note on the edition,
// a year, or a featuring credit: parts of a name that do not name a record.
// A part with another number ("Original Version 1749", "Vol. 2") names one.
bool is_note(std::string_view part) {
    const std::vector<std::string_view> words = ascii_words(part);
    if (words.empty()) return false;
    if (is_featuring_word(words.front()) || words.front() == "with") return true;
    for (std::string_view w : words) {
        const bool digits = std::any_of(w.begin(), w.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (digits && !is_year(w) && !is_ordinal(w)) return false;
    }
    if (words.size() == 1 && is_year(words.front())) return true;
    for (std::string_view w : words) {
        if (!w.empty() && (w.back() == '.' || w.back() == ')')) w.remove_suffix(1);
        if (is_edition_word(w)) return true;
    }
    return false;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// `s` without trailing notes in brackets or after " - ", repeatedly.
std::string_view without_notes(std::string_view s) {
    for (;;) {
        s = trim(s);
        if (s.empty()) return s;
        const char close = s.back();
        if (close == ')' || close == ']') {
            const char open = close == ')' ? '(' : '[';
            const std::size_t at = s.rfind(open);
            if (at == std::string_view::npos || at == 0) return s;
            if (!is_note(s.substr(at + 1, s.size() - at - 2))) return s;
            s = s.substr(0, at);
            continue;
        }
        const std::size_t dash = s.rfind(" - ");
        if (dash == std::string_view::npos || dash == 0 || !is_note(s.substr(dash + 3))) return s;
        s = s.substr(0, dash);
    }
}

// `s` up to a featuring credit in the open ("Artist feat. Guest").
std::string_view without_featuring(std::string_view s) {
    for (std::size_t at = s.find(' '); at != std::string_view::npos; at = s.find(' ', at + 1)) {
        std::size_t end = s.find(' ', at + 1);
        if (end == std::string_view::npos) end = s.size();
        if (is_featuring_word(s.substr(at + 1, end - at - 1))) return s.substr(0, at);
    }
    return s;
}

// Letters and digits of any script kept, apostrophes dropped ("don't" is
// "dont"), "&" read as "and", every other run of characters one space.
std::string words_only(std::string_view s) {
    std::string out;
    bool space = true;
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t start = i;
        const char32_t c = utf8::decode(s, i);
        if (c == '\'' || c == 0x2019) continue;
        if (c == '&') {
            out += space ? "and " : " and ";
            space = true;
        } else if (text::unicode8::is_word_char(c) || text::unicode8::is_mark(c)) {
            out.append(s.substr(start, i - start));
            space = false;
        } else if (!space) {
            out += ' ';
            space = true;
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::string_view without_article(std::string_view s) {
    for (std::string_view a : {"the ", "a ", "an "})
        if (s.size() > a.size() && s.starts_with(a)) return s.substr(a.size());
    if (s.size() > 4 && s.ends_with(" the")) return s.substr(0, s.size() - 4);
    return s;
}

// Whether `s` holds no letter of a script other than Latin: compared across
// scripts, names are compared in ASCII form.
bool latin(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        const char32_t c = utf8::decode(s, i);
        if (c >= 0x370 && text::unicode8::is_word_char(c)) return false;
    }
    return true;
}

struct Name {
    std::string form, ascii;
    bool latin = true;
};

// The byte Windows-1252 shows as `c`, or -1. The bytes it leaves undefined
// read as the C1 controls of the same value.
int cp1252_byte(char32_t c) {
    if (c < 0x100) return static_cast<int>(c);
    static constexpr char32_t kHigh[32] = {0x20AC, 0x81,   0x201A, 0x192,  0x201E, 0x2026, 0x2020, 0x2021,
                                           0x2C6,  0x2030, 0x160,  0x2039, 0x152,  0x8D,   0x17D,  0x8F,
                                           0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x2DC,  0x2122, 0x161,  0x203A, 0x153,  0x9D,   0x17E,  0x178};
    for (int b = 0; b < 32; ++b)
        if (kHigh[b] == c) return 0x80 + b;
    return -1;
}

// `s` read back as the UTF-8 it was before being shown as Windows-1252
// (undefined bytes as Latin-1 included), when that gives valid UTF-8 with
// characters beyond ASCII; else `s`. The match form's own repair leaves
// text with an undefined byte as it is.
std::string repaired(std::string_view s) {
    std::string bytes;
    bool high = false;
    for (std::size_t i = 0; i < s.size();) {
        const int b = cp1252_byte(utf8::decode(s, i));
        if (b < 0) return std::string(s);
        high = high || b >= 0x80;
        bytes += static_cast<char>(b);
    }
    if (!high || bytes == s || !utf8::is_valid(bytes)) return std::string(s);
    return bytes;
}

// A name in the forms it is compared in, each cut to its compared prefix
// (chars.hpp) as the standard rules cut theirs: the measures cost the
// product of two lengths.
Name name_of(std::string_view s, bool forms) {
    Name n;
    n.form = forms ? careful_form(repaired(s)) : text::to_match_form(s);
    n.form.resize(detail::compared_prefix(n.form).size());
    n.ascii = text::to_ascii_form(n.form);
    n.ascii.resize(detail::compared_prefix(n.ascii).size());
    n.latin = latin(n.form);
    return n;
}

std::vector<std::string> number_set(std::vector<std::string> numbers) {
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

std::string joined(const std::vector<std::string>& parts) {
    if (parts.empty()) return "none";
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : ", ") + p;
    return out;
}

// Blocking features: whole words, and the character trigrams of a field's
// ASCII form tagged with the field, hashed.
std::uint64_t feature(char kind, std::string_view s) {
    return (std::hash<std::string_view>{}(s) << 2) ^ static_cast<std::uint64_t>(kind);
}

template <typename Fn>
void for_each_word(std::string_view s, Fn&& fn) {
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && s[i] == ' ') ++i;
        std::size_t j = i;
        while (j < s.size() && s[j] != ' ') ++j;
        if (j > i) fn(s.substr(i, j - i));
        i = j;
    }
}

template <typename Fn>
void for_each_trigram(char field, std::string_view ascii, Fn&& fn) {
    std::string padded(ascii.size() + 2, ' ');
    ascii.copy(padded.data() + 1, ascii.size());
    for (std::size_t i = 0; i + 3 <= padded.size(); ++i) fn(feature(field, padded.substr(i, 3)));
}

// Trigram candidates compared beyond those sharing a word.
constexpr std::size_t kTrigramCandidates = 40;

}  // namespace

std::string careful_form(std::string_view s) {
    const std::string m = text::to_match_form(s);
    const std::string_view kept = without_featuring(without_notes(m));
    std::string words = words_only(kept.empty() ? std::string_view(m) : kept);
    const std::string_view bare = without_article(words);
    return std::string(bare.empty() ? std::string_view(words) : bare);
}

struct CarefulIndex::Impl {
    std::vector<CarefulRow> rows;
    std::uint32_t steps = kAllCarefulSteps;
    ClassifyThresholds thresholds;
    std::size_t artists = 0;

    struct Entry {
        std::vector<Name> names;  // the artist, then its aliases
        Name title;
        std::vector<std::string> numbers;
    };
    std::vector<Entry> entries;
    std::unordered_map<std::uint64_t, std::vector<std::uint32_t>> words, grams;

    bool on(std::uint32_t step) const { return (steps & step) != 0; }

    void build() {
        const bool forms = on(kNameForms);
        entries.resize(rows.size());
        parallel_for(rows.size(), [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                interruption_point();
                Entry& e = entries[i];
                e.names.push_back(name_of(rows[i].artist, forms));
                if (on(kAliases))
                    for (const std::string& a : rows[i].aliases) e.names.push_back(name_of(a, forms));
                e.title = name_of(rows[i].title, forms);
                e.numbers = number_set(text::title_numbers(forms ? e.title.form : text::to_match_form(rows[i].title)));
            }
        });
        std::unordered_set<std::string_view> distinct;
        for (std::uint32_t i = 0; i < entries.size(); ++i) {
            distinct.insert(rows[i].artist);
            for_each_feature(entries[i], [&](bool gram, std::uint64_t f) {
                std::vector<std::uint32_t>& list = (gram ? grams : words)[f];
                if (list.empty() || list.back() != i) list.push_back(i);
            });
        }
        artists = distinct.size();
    }

    template <typename Fn>
    void for_each_feature(const Entry& e, Fn&& fn) const {
        const auto word = [&](std::string_view w) { fn(false, feature('w', w)); };
        for (const Name& n : e.names) {
            for_each_word(n.form, word);
            if (on(kAsciiAcross)) for_each_word(n.ascii, word);
            if (on(kTrigrams)) for_each_trigram('a', n.ascii, [&](std::uint64_t f) { fn(true, f); });
        }
        for_each_word(e.title.form, word);
        if (on(kAsciiAcross)) for_each_word(e.title.ascii, word);
        if (on(kTrigrams)) for_each_trigram('t', e.title.ascii, [&](std::uint64_t f) { fn(true, f); });
    }

    // The scores of one entry for the release (artist, title).
    struct Scores {
        double token_set = 0.0, token_sort = 0.0, two_stage = 0.0, artist = 0.0, title = 0.0;
        bool exact = false;
        double mean() const { return (token_set + token_sort + two_stage) / 3.0; }
    };

    // The pair of forms to compare: ASCII across scripts.
    std::pair<std::string_view, std::string_view> compared(const Name& a, const Name& b) const {
        if (on(kAsciiAcross) && a.latin != b.latin) return {a.ascii, b.ascii};
        return {a.form, b.form};
    }

    Scores score(const Name& artist, const Name& title, const Entry& e) const {
        Scores s;
        const Name* best = &e.names.front();
        for (const Name& n : e.names) {
            const auto [x, y] = compared(artist, n);
            const double jw = jaro_winkler_similarity(x, y);
            if (jw > s.artist || &n == best) {
                s.artist = jw;
                best = &n;
            }
        }
        const auto [qa, ea] = compared(artist, *best);
        const auto [qt, et] = compared(title, e.title);
        s.title = jaro_winkler_similarity(qt, et);
        s.exact = qa == ea && qt == et;
        const std::string_view sep = on(kOneEntry) ? " " : " ||| ";
        const std::string q = std::string(qa) + std::string(sep) + std::string(qt);
        const std::string l = std::string(ea) + std::string(sep) + std::string(et);
        s.token_set = token_set_ratio(q, l);
        s.token_sort = token_sort_ratio(q, l);
        s.two_stage = s.artist >= thresholds.artist_gate ? std::sqrt(s.artist * s.title) : 0.0;
        return s;
    }

    // Entries sharing a word with the release, and the best by shared trigrams.
    std::vector<std::uint32_t> candidates(const Entry& q) const {
        std::unordered_map<std::uint32_t, std::uint32_t> shared;
        std::vector<std::uint32_t> out;
        for_each_feature(q, [&](bool gram, std::uint64_t f) {
            const auto& table = gram ? grams : words;
            const auto it = table.find(f);
            if (it == table.end()) return;
            for (std::uint32_t id : it->second) {
                if (gram) {
                    ++shared[id];
                } else {
                    out.push_back(id);
                }
            }
        });
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
        if (!shared.empty()) {
            std::vector<std::pair<std::uint32_t, std::uint32_t>> ranked(shared.begin(), shared.end());
            const std::size_t k = std::min(kTrigramCandidates, ranked.size());
            std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(k), ranked.end(),
                              [](const auto& a, const auto& b) { return a.second > b.second || (a.second == b.second && a.first < b.first); });
            for (std::size_t i = 0; i < k; ++i) out.push_back(ranked[i].first);
            std::sort(out.begin(), out.end());
            out.erase(std::unique(out.begin(), out.end()), out.end());
        }
        return out;
    }

    CarefulExplanation explain(std::string_view artist, std::string_view title) const {
        const ClassifyThresholds& th = thresholds;
        const bool forms = on(kNameForms);
        Entry q;
        q.names.push_back(name_of(artist, forms));
        q.title = name_of(title, forms);
        q.numbers = number_set(text::title_numbers(forms ? q.title.form : text::to_match_form(title)));
        CarefulExplanation out;
        out.numbers = q.numbers;
        const std::vector<std::uint32_t> ids = candidates(q);
        out.candidates = static_cast<std::uint32_t>(ids.size());
        const auto keeps = [&](const Scores& s) {
            return s.token_set >= th.token_set_keep && s.token_sort >= th.token_sort_keep && s.two_stage >= th.two_stage_keep;
        };
        const auto numbers_agree = [&](std::uint32_t id) { return !on(kNumbers) || entries[id].numbers == q.numbers; };
        // Entry-consistent: the entry that decides is one entry. A keep on
        // exact names first, then on all three scores, each the best by mean.
        std::int64_t exact = -1, keep = -1, best = -1, numbers = -1, review = -1;
        Scores exact_s, keep_s, best_s, numbers_s, review_s;
        // Without the step, each measure's best over all candidates.
        Scores top;
        for (std::uint32_t id : ids) {
            const Scores s = score(q.names.front(), q.title, entries[id]);
            if (s.exact && numbers_agree(id) && exact < 0) {
                exact = id;
                exact_s = s;
            }
            if (keeps(s)) {
                if (!numbers_agree(id)) {
                    if (numbers < 0 || s.mean() > numbers_s.mean()) numbers = id, numbers_s = s;
                } else if (keep < 0 || s.mean() > keep_s.mean()) {
                    keep = id, keep_s = s;
                }
            }
            if (best < 0 || s.mean() > best_s.mean()) best = id, best_s = s;
            // An entry with other numbers is another record: no reason to look.
            if (reviews(s) && numbers_agree(id) && (review < 0 || s.mean() > review_s.mean())) review = id, review_s = s;
            if (out.best_token_set < 0 || s.token_set > top.token_set) top.token_set = s.token_set, out.best_token_set = id;
            if (out.best_token_sort < 0 || s.token_sort > top.token_sort) top.token_sort = s.token_sort, out.best_token_sort = id;
            if (out.best_two_stage < 0 || s.artist > top.artist || (s.artist == top.artist && s.title > top.title)) {
                top.artist = s.artist, top.title = s.title, top.two_stage = s.two_stage;
                out.best_two_stage = id;
            }
        }
        out.best_scores[0] = top.token_set;
        out.best_scores[1] = top.token_sort;
        out.best_scores[2] = top.two_stage;
        const auto report = [&](std::int64_t id, const Scores& s) {
            out.entry = id;
            out.token_set = s.token_set;
            out.token_sort = s.token_sort;
            out.two_stage = s.two_stage;
        };
        const std::string floor = detail::score_text(th.review_floor);
        if (!on(kOneEntry)) {
            report(best, top);
            if (exact >= 0) {
                out.decision = Classification::Keep;
                out.exact = true;
                out.decided_by = "exact";
                out.reason = "the same names as the library entry";
            } else if (keeps(top)) {
                out.decision = Classification::Keep;
                out.decided_by = "all";
                out.reason = "all three best scores at or above their keep values";
            } else if (top.token_set >= th.review_floor || top.token_sort >= th.review_floor ||
                       top.two_stage >= th.review_floor) {
                out.decision = Classification::Review;
                out.decided_by = "review";
                out.reason = "a best score at or above the review floor " + floor;
            } else {
                out.decided_by = "none";
                out.reason = "all three best scores below the review floor " + floor;
            }
            return out;
        }
        if (exact >= 0) {
            report(exact, exact_s);
            out.decision = Classification::Keep;
            out.exact = true;
            out.decided_by = "exact";
            out.reason = "the same names as the library entry";
        } else if (keep >= 0) {
            report(keep, keep_s);
            out.decision = Classification::Keep;
            out.decided_by = "all";
            out.reason = "one library entry reaches all three keep values";
        } else if (numbers >= 0) {
            report(numbers, numbers_s);
            out.decision = Classification::Prune;
            out.decided_by = "numbers";
            out.reason = "title numbers " + joined(q.numbers) + " differ from the library entry's " +
                         joined(entries[numbers].numbers);
        } else if (review >= 0) {
            report(review, review_s);
            out.decision = Classification::Review;
            out.decided_by = "review";
            out.reason = "closest entry: token_set " + detail::score_text(review_s.token_set) + ", token_sort " +
                         detail::score_text(review_s.token_sort) + ", two_stage " +
                         detail::score_text(review_s.two_stage) + ": its title is close, not all scores at their keep values";
        } else {
            if (best >= 0) report(best, best_s);
            out.decided_by = "none";
            out.reason = best >= 0 ? "no library entry is close enough to review" : "no library entry shares a word or trigram";
        }
        return out;
    }

    // Whether an entry that keeps by no rule is close enough for a person
    // to look at: its artist past the gate, its title alone at the
    // two-stage keep value and both token scores at the review floor.
    // Another title of the same artist is no reason to look.
    bool reviews(const Scores& s) const {
        const ClassifyThresholds& th = thresholds;
        return s.artist >= th.artist_gate && s.title >= th.two_stage_keep &&
               std::min(s.token_set, s.token_sort) >= th.review_floor;
    }
};

CarefulIndex::CarefulIndex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CarefulIndex::CarefulIndex(CarefulIndex&&) noexcept = default;
CarefulIndex& CarefulIndex::operator=(CarefulIndex&&) noexcept = default;
CarefulIndex::~CarefulIndex() = default;

CarefulIndex CarefulIndex::build(std::vector<CarefulRow> rows, std::uint32_t steps) {
    auto impl = std::make_unique<Impl>();
    impl->rows = std::move(rows);
    impl->steps = steps & kAllCarefulSteps;
    impl->build();
    return CarefulIndex(std::move(impl));
}

std::size_t CarefulIndex::size() const noexcept { return impl_->rows.size(); }
std::size_t CarefulIndex::artist_count() const noexcept { return impl_->artists; }
const CarefulRow& CarefulIndex::row(std::size_t i) const { return impl_->rows.at(i); }
std::uint32_t CarefulIndex::steps() const noexcept { return impl_->steps; }
const ClassifyThresholds& CarefulIndex::thresholds() const noexcept { return impl_->thresholds; }
void CarefulIndex::set_thresholds(const ClassifyThresholds& thresholds) { impl_->thresholds = thresholds; }

std::size_t CarefulIndex::data_bytes() const noexcept {
    std::size_t total = 0;
    for (const CarefulRow& r : impl_->rows) {
        total += r.artist.size() + r.title.size();
        for (const std::string& a : r.aliases) total += a.size();
    }
    for (const auto* table : {&impl_->words, &impl_->grams})
        for (const auto& [f, list] : *table) total += sizeof f + list.size() * sizeof(std::uint32_t);
    return total;
}

CarefulExplanation CarefulIndex::explain(std::string_view artist, std::string_view title) const {
    return impl_->explain(artist, title);
}

namespace {

// pick(explanation) of each release, on the worker pool; one per position of the shorter list.
template <typename Result, typename Pick>
std::vector<Result> each_release(const CarefulIndex& index, const std::vector<std::string_view>& artists,
                                  const std::vector<std::string_view>& titles, Pick&& pick) {
    const std::size_t n = std::min(artists.size(), titles.size());
    std::vector<Result> out(n);
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            interruption_point();
            out[i] = pick(index.explain(artists[i], titles[i]));
        }
    });
    return out;
}

}  // namespace

std::vector<CarefulExplanation> CarefulIndex::explain(const std::vector<std::string_view>& artists,
                                                      const std::vector<std::string_view>& titles) const {
    return each_release<CarefulExplanation>(*this, artists, titles, [](CarefulExplanation e) { return e; });
}

std::vector<Classification> CarefulIndex::classify(const std::vector<std::string_view>& artists,
                                                   const std::vector<std::string_view>& titles) const {
    return each_release<Classification>(*this, artists, titles, [](const CarefulExplanation& e) { return e.decision; });
}

}  // namespace zemo::fuzzy
