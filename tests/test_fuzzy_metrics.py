"""The three exported measures: known values exactly, and agreement with
rapidfuzz (reference.fuzzy) on generated strings of every length class of
the bit-parallel kernels."""

import importlib.util
import math
import platform
import random

import pytest
from hypothesis import given
from hypothesis import strategies as st

from reference import fuzzy as r
from zemo_etl import fuzzy

needs_rapidfuzz = pytest.mark.skipif(importlib.util.find_spec("rapidfuzz") is None, reason="rapidfuzz is not installed")


@pytest.mark.parametrize(
    "fn, a, b, expected",
    [
        (fuzzy.token_sort_ratio, "B a", "a b", 1.0),
        (fuzzy.token_sort_ratio, "The Beatles", "beatles", 0.7777777777777778),
        (fuzzy.token_set_ratio, "new york mets", "new york yankees", 0.7619047619047619),
        (fuzzy.token_set_ratio, "  ", "", 1.0),
        (fuzzy.token_set_ratio, "x\u00a0y\u3000z\u2003w", "w z y x", 1.0),
        (fuzzy.token_set_ratio, "x\x1cy", "x y", 0.6666666666666666),  # U+001C is not white space
        (fuzzy.token_sort_ratio, "\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2", 1.0),  # final sigma
        (fuzzy.jaro_winkler_similarity, "MARTHA", "MARHTA", 0.9611111111111111),
        (fuzzy.jaro_winkler_similarity, "", "", 1.0),
        (fuzzy.jaro_winkler_similarity, "", "a", 0.0),
        # Winkler boost edges: Jaro 0.9166666666666666 and a prefix of four
        # characters, not seven; Jaro 0.676... below 0.7, no boost despite a shared
        # prefix; Jaro 0.7000000000000001 in doubles, just above 0.7; window 0.
        (fuzzy.jaro_winkler_similarity, "abcdefgh", "abcdefgx", 0.95),
        (fuzzy.jaro_winkler_similarity, "abcde", "abcxyzw", 0.6761904761904761),
        (fuzzy.jaro_winkler_similarity, "a", "abcdefghij", 0.7300000000000001),
        (fuzzy.jaro_winkler_similarity, "ab", "ba", 0.0),
    ],
)
def test_known_values(fn, a, b, expected):
    assert fn(a, b) == expected
    assert fn(b=b, a=a) == expected


_alphabet = st.sampled_from(list("abcAB ") + ["\u00e9", "\u03a3", "\u4e2d", "\U0001f600", "\u00a0"])
_strings = st.one_of(st.text(_alphabet, max_size=20), st.text(_alphabet, min_size=60, max_size=200))


# rapidfuzz's aarch64 build fuses multiplies and adds, so its scores there may
# differ in the last bit from ours, which are the same on every architecture.
_ULPS = 0 if platform.machine() in ("x86_64", "AMD64") else 1


def _same(x, y):
    return abs(x - y) <= _ULPS * math.ulp(max(abs(x), abs(y)))


def assert_agree(a, b):
    assert _same(fuzzy.jaro_winkler_similarity(a, b), r.jaro_winkler(a, b)), (a, b)
    assert _same(fuzzy.token_sort_ratio(a, b), r.token_sort_ratio(a, b)), (a, b)
    assert _same(fuzzy.token_set_ratio(a, b), r.token_set_ratio(a, b)), (a, b)


@needs_rapidfuzz
@given(_strings, _strings)
def test_measures_agree_with_rapidfuzz(a, b):
    assert_agree(a, b)


@needs_rapidfuzz
def test_every_length_class_agrees_with_rapidfuzz():
    # Lengths on both sides of one and two machine words; a small alphabet so
    # that characters repeat and match; spaces in every third pair.
    rng = random.Random(7)
    lengths = [0, 1, 2, 5, 17, 63, 64, 65, 100, 127, 128, 129, 200, 300]

    def word(n, spaces, wide):
        return "".join(" " if spaces and rng.random() < 0.2 else rng.choice("\u00e9\u03a3\u4e2d\U0001F600\u00a0")
                       if wide and rng.random() < 0.2 else rng.choice("abcdeAB") for _ in range(n))

    for wide in (False, True):
        for la in lengths:
            for lb in lengths:
                for rep in range(3):
                    assert_agree(word(la, rep == 2, wide), word(lb, rep == 2, wide))
    # A carry through a word of the pattern without the text's character.
    assert_agree("x" + "b" * 40 + "c" * 100 + "a" * 5 + "b" * 5 + "y", "z" + "c" + "a" * 100 + "b" * 5 + "a" * 64 + "w")
    # Shared prefixes and suffixes around long differing middles.
    for rep in range(200):
        p, x, y = word(rng.randrange(70), False, rep % 2), word(rng.randrange(140), False, rep % 3 == 0), word(
            rng.randrange(140), False, False)
        assert_agree(p + x + p, p + y)
