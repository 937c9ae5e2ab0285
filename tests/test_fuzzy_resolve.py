"""batch_fuzzy_resolve and the prepared catalogue under it: the worked
example, ties, inclusive thresholds, limits and its argument handling,
against scoring and ranking every entry (reference.fuzzy.resolve).
The catalogues of the property test of resolve and explain
(test_index_explain) come from shared.near_ties."""

import math

import pytest

from reference.fuzzy import plain_jaro_winkler, resolve
from zemo_etl import fuzzy

CATALOG = ["radiohead", "radio head", "stereolab"]


def test_worked_example():
    names = ["radiohed", "radiohead", "stereo lab", "portishead"]
    assert fuzzy.batch_fuzzy_resolve(names, CATALOG, 0.85) == [None, "radiohead", "stereolab", None]
    assert fuzzy.batch_fuzzy_resolve(("radiohed",), tuple(CATALOG), 0.85, 1, 0.02) == ["radiohead"]
    # The runner-up counts below the threshold: 'radiohead' 0.9777..., 'radio head' 0.96.
    assert fuzzy.batch_fuzzy_resolve(["radiohed"], CATALOG, 0.97) == [None]
    assert fuzzy.batch_fuzzy_resolve(["radiohed"], CATALOG, 0.97, ambiguity_threshold=0.01) == ["radiohead"]
    assert fuzzy.batch_fuzzy_resolve([], CATALOG, 0.0) == []
    with pytest.raises(ValueError, match="^limit must be at least 1$"):
        fuzzy.batch_fuzzy_resolve(["a"], ["a"], 0.5, 0)


NAN, INF = float("nan"), float("inf")
LONG = "a" * 300  # too long for the byte counts of the length runs


@pytest.mark.parametrize("name, catalog, threshold, limit, ambiguity", [
    ("x", [], 0.0, 2, 0.02),
    ("a", [], 0.5, 0, 0.02),  # no catalogue: the limit is not looked at
    ("abc", ["abc", "abc"], 0.5, 2, 0.02),  # duplicate entry: gap 0.0
    ("abcd", ["abcf", "abce"], 0.5, 1, 0.02),  # earlier wins
    ("abc", ["abc", "abd"], 0.5, 10**6, 0.02),
    ("beatles", ["BEATLES"], 0.1, 2, 0.02),  # case counts
    ("abc", ["abc", "xyz"], 1.0, 2, 1.0),  # gap 1.0 accepted
    ("zzz", ["abc", "xyz"], NAN, 2, 0.02),  # a NaN threshold accepts any best
    ("abc", ["abc", "abc"], 0.5, 2, NAN),  # a NaN gap rejects nothing
    ("abc", ["abc", "xyz"], 0.5, 2, INF),
    ("abc", ["abc", "xyz"], INF, 1, 0.0),
    ("abcd", ["abce"], plain_jaro_winkler("abcd", "abce"), 1, 0.0),  # the threshold is inclusive
    ("abcd", ["abce"], math.nextafter(plain_jaro_winkler("abcd", "abce"), 1.0), 1, 0.0),
    ("abc", ["abc", "xyz"], -INF, 2, 0.5),
    ("", ["a", "", "b"], 0.5, 2, 0.02),  # only an empty entry scores above 0 against an empty name
    ("", ["a", "", ""], 0.5, 2, 0.02),
    ("a", ["", "a"], 0.0, 2, 2.0),
    ("abcdef", ["abcdef", "zzzzzz", "abcdef x"], 0.9, 2, 0.95),  # a runner-up far below the threshold
    # A runner-up just below the threshold, within a small gap of the best.
    ("aaa", ["aabaaabab", "abaabaab"], plain_jaro_winkler("aaa", "aabaaabab"), 2, 0.01),
    (LONG, ["b", LONG + "b", LONG], 0.9, 1, 0.0),
    (LONG, ["b", LONG + "b", LONG], 0.9, 2, 0.01),
    (LONG, ["b", LONG + "b"], 0.9, 2, 0.01),
])
def test_edges_match_plain_ranking(name, catalog, threshold, limit, ambiguity):
    assert fuzzy.batch_fuzzy_resolve([name], catalog, threshold, limit, ambiguity) == [
        resolve(name, catalog, threshold, limit, ambiguity)]
