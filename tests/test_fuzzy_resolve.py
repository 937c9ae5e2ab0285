"""batch_fuzzy_resolve and the prepared catalogue under it: the worked
example, ties, inclusive thresholds, limits and its argument handling,
against scoring and ranking every entry (reference.fuzzy.resolve).
_near_ties makes the catalogues of the property test of resolve and
explain (test_index_explain): full of near ties, or dense enough for the
catalogue's trees to branch."""

import math

import pytest
from hypothesis import strategies as st

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


_letters = st.sampled_from(["a", "b", "c", " ", "\u00e9", "\u4e2d", "A"])
_short = st.text(_letters, max_size=8)
_long = st.text(_letters, min_size=58, max_size=70)  # across the 64-character word


@st.composite
def _near_ties(draw):
    """A catalogue of few letters, duplicates and one-character variants (or
    a dense one with long runs of equal lengths), names close to its
    entries, and a threshold and gap set on or beside scores that occur."""
    if draw(st.booleans()):
        catalog = draw(st.lists(st.text("ab", min_size=5, max_size=7), min_size=40, max_size=120))
    else:
        bases = draw(st.lists(st.one_of(_short, _long), min_size=1, max_size=5))
        catalog = []
        for _ in range(draw(st.integers(0, 25))):
            s = draw(st.sampled_from(bases + catalog))
            i = draw(st.integers(0, len(s)))
            c = draw(_letters)
            edit = draw(st.sampled_from(["same", "replace", "drop", "insert"]))
            if edit == "replace":
                s = s[:i] + c + s[i + 1:]
            elif edit == "drop":
                s = s[:i] + s[i + 1:]
            elif edit == "insert":
                s = s[:i] + c + s[i:]
            catalog.append(s)
    names = draw(st.lists(st.one_of(st.sampled_from(catalog + ["ab"]), _short, _long), min_size=1, max_size=3))
    scores = sorted({plain_jaro_winkler(n, e) for n in names for e in catalog} | {0.5})

    def near(values):  # drawn as a strategy, so that shrinking replays it
        return st.sampled_from(values).flatmap(
            lambda x: st.sampled_from([x, math.nextafter(x, 2.0), math.nextafter(x, -2.0)]))

    top = scores[-3:]
    threshold = draw(st.one_of(near(top), st.sampled_from([0.0, 0.85, 1.0]), st.floats(0.0, 1.0)))
    gaps = [abs(x - y) for x in top for y in scores]
    ambiguity = draw(st.one_of(near(gaps), st.sampled_from([0.0, 0.02, -0.1, 0.5]), st.floats(0.0, 0.3)))
    limit = draw(st.sampled_from([0, 1, 2, 5]))
    return names, catalog, threshold, limit, ambiguity


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
