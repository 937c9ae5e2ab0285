"""batch_fuzzy_resolve: the worked example, ties, inclusive thresholds,
limits, and its argument handling."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zemo_etl import fuzzy

CATALOG = ["radiohead", "radio head", "stereolab"]


def test_worked_example():
    names = ["radiohed", "radiohead", "stereo lab", "portishead"]
    assert fuzzy.batch_fuzzy_resolve(names, CATALOG, 0.85) == [None, "radiohead", "stereolab", None]
    assert fuzzy.batch_fuzzy_resolve(["radiohed"], CATALOG, 0.85, limit=1) == ["radiohead"]
    assert fuzzy.batch_fuzzy_resolve(("radiohed",), tuple(CATALOG), 0.85, 1, 0.02) == ["radiohead"]


@pytest.mark.parametrize(
    "names, catalog, kwargs, expected",
    [
        (["x", "y"], [], {"threshold": 0.0}, [None, None]),
        ([], CATALOG, {"threshold": 0.0}, []),
        (["abc"], ["abc", "abc"], {"threshold": 0.5}, [None]),  # duplicate entry: gap 0.0
        (["abc"], ["abc", "abc"], {"threshold": 0.5, "limit": 1}, ["abc"]),
        (["abcd"], ["abce", "abcf"], {"threshold": 0.5}, [None]),  # distinct entries tied
        (["abcd"], ["abcf", "abce"], {"threshold": 0.5, "limit": 1}, ["abcf"]),  # earlier wins
        (["abcd"], ["abce"], {"threshold": 0.5}, ["abce"]),  # one entry: no guard
        (["abc"], ["abc", "abd"], {"threshold": 0.5, "limit": 10**6}, ["abc"]),
        (["beatles"], ["BEATLES"], {"threshold": 0.1}, [None]),  # case counts
        (["abc"], ["abc", "xyz"], {"threshold": 1.0, "ambiguity_threshold": 1.0}, ["abc"]),  # gap 1.0 accepted
    ],
)
def test_ties_and_limits(names, catalog, kwargs, expected):
    assert fuzzy.batch_fuzzy_resolve(names, catalog, **kwargs) == expected


def test_threshold_is_inclusive():
    s = fuzzy.jaro_winkler_similarity("abcd", "abce")
    assert fuzzy.batch_fuzzy_resolve(["abcd"], ["abce"], s) == ["abce"]
    assert fuzzy.batch_fuzzy_resolve(["abcd"], ["abce"], s + 1e-15) == [None]


def test_second_score_below_threshold_still_counts():
    # Best 'radiohead' 0.9777..., second 'radio head' 0.96: within the 0.02 gap.
    assert fuzzy.batch_fuzzy_resolve(["radiohed"], CATALOG, 0.97) == [None]
    assert fuzzy.batch_fuzzy_resolve(["radiohed"], CATALOG, 0.97, ambiguity_threshold=0.01) == ["radiohead"]


_word = st.text(st.sampled_from("abcd \u00e9\u4e2d"), max_size=12)


@given(st.lists(_word, max_size=5), st.lists(_word, min_size=1, max_size=25),
       st.sampled_from([0.0, 0.5, 0.8, 0.9]), st.integers(1, 4), st.sampled_from([0.0, 0.02, 0.1, -0.5]))
def test_matches_full_ranking(names, catalog, threshold, limit, ambiguity):
    def ranked(name):
        scores = sorted(((fuzzy.jaro_winkler_similarity(name, c), -i) for i, c in enumerate(catalog)), reverse=True)
        scores = scores[: min(limit, len(catalog))]
        if scores[0][0] < threshold:
            return None
        if len(scores) > 1 and abs(scores[0][0] - scores[1][0]) < ambiguity:
            return None
        return catalog[-scores[0][1]]

    assert fuzzy.batch_fuzzy_resolve(names, catalog, threshold, limit, ambiguity) == [ranked(n) for n in names]


def test_limit_zero():
    with pytest.raises(ValueError, match="^limit must be at least 1$"):
        fuzzy.batch_fuzzy_resolve(["a"], ["a"], 0.5, 0)
    assert fuzzy.batch_fuzzy_resolve(["a"], [], 0.5, 0) == [None]


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (("abc", CATALOG, 0.5), {}, TypeError, "argument 'names': Can't extract `str` to `Vec`"),
        ((["a"], {"a"}, 0.5), {}, TypeError, "argument 'catalog': 'set' object cannot be converted to 'Sequence'"),
        ((["a"], ["a", None], 0.5), {}, TypeError,
         "argument 'catalog': 'NoneType' object cannot be converted to 'PyString'"),
        ((["a"], ["a"], "0.5"), {}, TypeError, "argument 'threshold': "),
        ((["a"], ["a"], 0.5, 1.0), {}, TypeError, "argument 'limit': "),
        ((["a"], ["a"], 0.5), {"ambiguity_threshold": None}, TypeError, "argument 'ambiguity_threshold': "),
        ((["a"], ["a"]), {}, TypeError, "batch_fuzzy_resolve() missing 1 required positional argument: 'threshold'"),
        ((["a"], ["a"], 0.5, 2, 0.1, 9), {}, TypeError,
         "batch_fuzzy_resolve() takes from 3 to 5 positional arguments but 6 were given"),
    ],
)
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        fuzzy.batch_fuzzy_resolve(*args, **kwargs)
    assert str(info.value).startswith(message)


def test_negative_limit_overflows():
    with pytest.raises(OverflowError):
        fuzzy.batch_fuzzy_resolve(["a"], ["a"], 0.5, -1)
