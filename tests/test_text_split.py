"""Artist-name splitting, context-free and with known artists."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zemo_etl import text

WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"


@pytest.mark.parametrize(
    "name, known, expected",
    [
        # Without known artists (None): the context-free split.
        ("North, South, and East", None, ["North", "South", "East"]),
        ("Band, 1,000", None, None),
        ("Band / Other, 1999", None, ["Band", "Other, 1999"]),
        ("Alpha\xa0/ Beta", None, None),  # the separator's spaces are U+0020 only
        ("\u3000SÜN & Moon ", frozenset({"sun"}), ["SÜN", "Moon"]),  # pieces are looked up by match form
        ("Sun&Moon", {"sun"}, None),  # the ampersand needs its spaces
        ("Sun &  & Moon", {"sun"}, ["Sun", "Moon"]),  # empty pieces dropped
        ("  Sun  & \u3000\u00e9\u00a0", {"sun"}, ["Sun", "\u00e9"]),  # pieces trimmed of any White_Space
        ("Sun & Moon", {"Sun"}, None),  # the set is taken as it is
        ("Sun & Moon / Alpha", {"moon"}, ["Sun", "Moon", "Alpha"]),
        ("Alpha & Beta & Alpha", {"beta"}, ["Alpha", "Beta", "Alpha"]),
        ("Alpha & Beta / Alpha", {"beta"}, ["Alpha", "Beta"]),
        ("A & Bee", {"a"}, None),
        # the known piece that triggers the cut may itself be too short to keep
        ("B & Young & Fee, Che", {"b"}, ["Young", "Fee", "Che"]),
        # long lists keep first occurrences
        (" / ".join(f"n{i % 25}" for i in range(60)), None, [f"n{i}" for i in range(25)]),
        (" / ".join(f"n{i % 25}" for i in range(60)) + " & n3", {"n3"}, [f"n{i}" for i in range(25)]),
    ],
)
def test_split_artist_name(name, known, expected):
    if known is None:
        assert text.split_artist_name(name) == expected
    else:
        assert text.split_artist_name_contextual(name, known) == expected


def _split_reference(name):
    """The context-free split on Python strings rather than UTF-8 bytes."""
    t = name.strip(WHITE_SPACE)
    for sep in (", ", " / ", " + "):
        if t and sep in t:
            pieces = [p.strip(WHITE_SPACE) for p in t.split(sep)]
            if sep == ", ":
                if any(p and set(p) <= set("0123456789,") for p in pieces):
                    continue
                if pieces[-1][:4] in ("and ", "And ", "AND "):
                    pieces[-1] = pieces[-1][4:].strip(WHITE_SPACE)
            kept = [p for p in pieces if len(p.encode()) >= 2]
            return [p for i, p in enumerate(kept) if p not in kept[:i]] or None
    return None


FRAGMENTS = [
    "Alpha", "ALPHA", "Sun", "A", "é", "日本", "\U0001f3b5", "1999", "1,000", ",", ", ", " / ", " + ", " & ",
    "/", "and ", "And ", "aNd ", " ", "\t", "\xa0", "\u3000", "\x85", "\u2028", "\u200b", "\x1f", "\u0301",
]


@settings(max_examples=500)
@given(st.lists(st.sampled_from(FRAGMENTS), max_size=12).map("".join), st.sets(st.sampled_from(["sun", "é", "a"])))
def test_split_properties(name, known):
    parts = text.split_artist_name(name)
    assert parts == _split_reference(name)
    assert text.split_artist_name_contextual(name, set()) == parts
    pieces = text.split_artist_name_contextual(name, known)
    if parts is not None:
        assert pieces == list(dict.fromkeys(pieces))
        assert all(any(piece in part for part in parts) for piece in pieces)
