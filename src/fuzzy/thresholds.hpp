#pragma once
// The thresholds a caller may set and their defaults, defined here only:
// the bindings, the package and the command line take them from here.

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>
#include <optional>
#include <string>

namespace zemo::fuzzy {

// Keep when all three scores reach their keep values, Review when one
// reaches the review floor, else Prune; the two-stage score counts only
// artists that reach the gate.
struct ClassifyThresholds {
    double token_set_keep = 0.8;
    double token_sort_keep = 0.8;
    double two_stage_keep = 0.8;
    double artist_gate = 0.7;
    double review_floor = 0.4;

    bool operator==(const ClassifyThresholds&) const = default;
};

namespace detail {
// A double as Python prints it ("0.5", "2.0", "nan").
inline std::string number_text(double v) {
    char buf[32];
    const auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    std::string s(buf, end);
    if (s.find_first_of(".ein") == std::string::npos) s += ".0";
    return s;
}
// A score or threshold for people: two decimals, up to four where they
// tell it from its neighbours ("0.80", "0.7458").
inline std::string score_text(double v) {
    // to_chars rounds as printf's "%.4f" does, without its multi-precision
    // arithmetic: each explained release prints a few of these.
    char buf[32];
    const auto [end, failed] = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::fixed, 4);
    if (failed != std::errc{}) std::snprintf(buf, sizeof buf, "%.4f", v);  // beyond 1e26: cut as before
    std::string s(buf, failed != std::errc{} ? buf + std::strlen(buf) : end);
    while (s.size() > 4 && s.back() == '0' && s[s.size() - 3] != '.') s.pop_back();
    return s;
}
}  // namespace detail

// Why a score threshold cannot be one: scores lie in [0, 1], and NaN would
// compare false against every score. Nothing when it can.
inline std::optional<std::string> invalid_score_threshold(const std::string& name, double value) {
    if (value >= 0.0 && value <= 1.0) return std::nullopt;
    return name + " must be a number in [0, 1], got " + detail::number_text(value);
}

// What a caller calls each threshold in its messages: the parameter names,
// or the command line's options.
struct ClassifyThresholdNames {
    std::string token_set_keep = "token_set_keep";
    std::string token_sort_keep = "token_sort_keep";
    std::string two_stage_keep = "two_stage_keep";
    std::string artist_gate = "artist_gate";
    std::string review_floor = "review_floor";
};

// Why a set of thresholds cannot classify: each one in [0, 1], and the
// review floor not above a keep value (a release would be kept that does
// not reach the floor for review). Nothing when it can.
inline std::optional<std::string> invalid_thresholds(const ClassifyThresholds& t,
                                                     const ClassifyThresholdNames& names = {}) {
    const std::pair<const std::string*, double> keeps[] = {
        {&names.token_set_keep, t.token_set_keep}, {&names.token_sort_keep, t.token_sort_keep},
        {&names.two_stage_keep, t.two_stage_keep}};
    for (const auto& [name, value] : keeps) {
        if (auto why = invalid_score_threshold(*name, value)) return why;
    }
    if (auto why = invalid_score_threshold(names.artist_gate, t.artist_gate)) return why;
    if (auto why = invalid_score_threshold(names.review_floor, t.review_floor)) return why;
    for (const auto& [name, value] : keeps) {
        if (t.review_floor > value) {
            return names.review_floor + " (" + detail::number_text(t.review_floor) + ") must not be above " + *name +
                   " (" + detail::number_text(value) + ")";
        }
    }
    return std::nullopt;
}

// The least Jaro-Winkler score at which a name resolves to a catalogue entry
// when the caller names none.
inline constexpr double default_resolve_threshold = 0.85;

// How a name resolves: the best entry must reach `threshold` and, with a
// limit above 1, lead the runner-up by at least `ambiguity`.
struct ResolveOptions {
    double threshold = default_resolve_threshold;  // least acceptable best score
    std::uint64_t limit = 2;                       // 0 or 1: no ambiguity guard; more: compare the top two
    double ambiguity = 0.02;                       // least acceptable gap between the top two
};

struct ResolveOptionNames {
    std::string threshold = "threshold";
    std::string limit = "limit";
    std::string ambiguity = "ambiguity_threshold";
};

// Why options cannot resolve: the threshold and the gap are scores' kind of
// numbers, in [0, 1]; without a ranked candidate (a limit of 0) there is no
// best entry to look at. Nothing when they can.
inline std::optional<std::string> invalid_resolve_options(const ResolveOptions& o,
                                                          const ResolveOptionNames& names = {}) {
    if (auto why = invalid_score_threshold(names.threshold, o.threshold)) return why;
    if (o.limit == 0) return names.limit + " must be at least 1";
    return invalid_score_threshold(names.ambiguity, o.ambiguity);
}

}  // namespace zemo::fuzzy
