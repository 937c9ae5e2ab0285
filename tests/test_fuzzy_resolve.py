"""batch_fuzzy_resolve: the worked example, ties, inclusive thresholds,
limits, and its argument handling."""

import math

import pytest

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
        (["abcd"], ["abcf", "abce"], {"threshold": 0.5, "limit": 1}, ["abcf"]),  # earlier wins
        (["abc"], ["abc", "abd"], {"threshold": 0.5, "limit": 10**6}, ["abc"]),
        (["beatles"], ["BEATLES"], {"threshold": 0.1}, [None]),  # case counts
        (["abc"], ["abc", "xyz"], {"threshold": 1.0, "ambiguity_threshold": 1.0}, ["abc"]),  # gap 1.0 accepted
        # The runner-up counts below the threshold: 'radiohead' 0.9777..., 'radio head' 0.96.
        (["radiohed"], CATALOG, {"threshold": 0.97}, [None]),
        (["radiohed"], CATALOG, {"threshold": 0.97, "ambiguity_threshold": 0.01}, ["radiohead"]),
    ],
)
def test_ties_and_limits(names, catalog, kwargs, expected):
    assert fuzzy.batch_fuzzy_resolve(names, catalog, **kwargs) == expected


def test_threshold_is_inclusive():
    s = fuzzy.jaro_winkler_similarity("abcd", "abce")
    assert fuzzy.batch_fuzzy_resolve(["abcd"], ["abce"], s) == ["abce"]
    assert fuzzy.batch_fuzzy_resolve(["abcd"], ["abce"], math.nextafter(s, 1.0)) == [None]


def test_limit_zero():
    with pytest.raises(ValueError, match="^limit must be at least 1$"):
        fuzzy.batch_fuzzy_resolve(["a"], ["a"], 0.5, 0)
    assert fuzzy.batch_fuzzy_resolve(["a"], [], 0.5, 0) == [None]


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (("abc", CATALOG, 0.5), {}, "argument 'names': Can't extract `str` to `Vec`"),
        ((["a"], {"a"}, 0.5), {}, "argument 'catalog': 'set' object cannot be converted to 'Sequence'"),
        ((["a"], ["a"], 0.5), {"ambiguity_threshold": None}, "argument 'ambiguity_threshold': "),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fuzzy.batch_fuzzy_resolve(*args, **kwargs)
    assert str(info.value).startswith(message)
