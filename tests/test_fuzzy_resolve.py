"""batch_fuzzy_resolve: the worked example, ties, inclusive thresholds,
limits, its argument handling, and agreement with scoring and ranking every
entry on generated catalogues full of near ties."""

import math

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


def _plain_jaro_winkler(a: str, b: str) -> float:
    la, lb = len(a), len(b)
    if la == 0 and lb == 0:
        return 1.0
    if la == 0 or lb == 0:
        return 0.0
    w = max(la, lb) // 2
    w = w - 1 if w > 0 else 0
    fa, fb = [False] * la, [False] * lb
    m = 0
    for i in range(la):
        for j in range(max(0, i - w), min(lb, i + w + 1)):
            if not fb[j] and a[i] == b[j]:
                fa[i] = fb[j] = True
                m += 1
                break
    if m == 0:
        return 0.0
    matched_b = iter(b[j] for j in range(lb) if fb[j])
    t = sum(a[i] != next(matched_b) for i in range(la) if fa[i]) // 2
    jaro = (m / la + m / lb + (m - t) / m) / 3.0
    if not jaro > 0.7:
        return jaro
    p = 0
    while p < min(4, la, lb) and a[p] == b[p]:
        p += 1
    return jaro + (1.0 - jaro) * (0.1 * p)


def _plain_resolve(name, catalog, threshold, limit, ambiguity):
    """Score every entry, rank with a stable sort, look at the first two."""
    if not catalog:
        return None
    ranked = sorted(((_plain_jaro_winkler(name, e), i) for i, e in enumerate(catalog)), key=lambda x: -x[0])
    k = min(max(limit, 1), len(ranked))
    if ranked[0][0] < threshold:
        return None
    if k > 1 and abs(ranked[0][0] - ranked[1][0]) < ambiguity:
        return None
    return catalog[ranked[0][1]]


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
    scores = sorted({_plain_jaro_winkler(n, e) for n in names for e in catalog} | {0.5})

    def near(x):
        return draw(st.sampled_from([x, math.nextafter(x, 2.0), math.nextafter(x, -2.0)]))

    top = scores[-3:]
    threshold = draw(st.one_of(st.sampled_from(top).map(near), st.sampled_from([0.0, 0.85, 1.0]),
                               st.floats(0.0, 1.0)))
    gaps = [abs(x - y) for x in top for y in scores]
    ambiguity = draw(st.one_of(st.sampled_from(gaps).map(near), st.sampled_from([0.0, 0.02, -0.1, 0.5]),
                               st.floats(0.0, 0.3)))
    limit = draw(st.sampled_from([0, 1, 2, 5]))
    return names, catalog, threshold, limit, ambiguity


@given(_near_ties())
def test_matches_plain_ranking(case):
    names, catalog, threshold, limit, ambiguity = case
    if limit == 0 and catalog:
        with pytest.raises(ValueError):
            fuzzy.batch_fuzzy_resolve(names, catalog, threshold, limit, ambiguity)
        return
    expected = [_plain_resolve(n, catalog, threshold, limit, ambiguity) for n in names]
    assert fuzzy.batch_fuzzy_resolve(names, catalog, threshold, limit, ambiguity) == expected
