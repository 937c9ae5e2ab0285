#pragma once
// The thresholds a caller may set and their defaults, defined here only:
// the bindings, the package and the command line take them from here.

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
};

// The least Jaro-Winkler score at which a name resolves to a catalogue entry
// when the caller names none.
inline constexpr double default_resolve_threshold = 0.85;

}  // namespace zemo::fuzzy
