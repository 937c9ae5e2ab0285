"""Artist-name splitting, context-free and with known artists."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zemo_etl import text

WHITE_SPACE = "\t\n\v\f\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"


@pytest.mark.parametrize(
    "name, expected",
    [
        ("", None),
        ("   ", None),
        ("\u3000\xa0", None),
        ("Sun & Moon", None),
        ("Rock, Paper & Scissors", ["Rock", "Paper & Scissors"]),
        ("Kane, The Wanderer", ["Kane", "The Wanderer"]),
        ("North, South, East & West", ["North", "South", "East & West"]),
        ("North, South, and East", ["North", "South", "East"]),
        ("Alpha, AND Beta", ["Alpha", "Beta"]),
        ("Alpha, aNd Beta", ["Alpha", "aNd Beta"]),
        ("Alpha, and", ["Alpha", "and"]),
        ("Band, 1999", None),
        ("Band, 1,000", None),
        ("Band, , 1999", None),
        ("Band / Other, 1999", ["Band", "Other, 1999"]),
        ("Band, 1999 / Other", ["Band", "1999 / Other"]),
        ("Alpha / Beta", ["Alpha", "Beta"]),
        ("Alpha + Beta", ["Alpha", "Beta"]),
        ("Alpha/Beta", None),
        ("Alpha+Beta", None),
        ("Alpha, Beta / Gamma", ["Alpha", "Beta / Gamma"]),
        ("Alpha / Alpha", ["Alpha"]),
        ("alpha / Alpha", ["alpha", "Alpha"]),
        ("A / B", None),
        ("A, Beta", ["Beta"]),
        ("Alpha, , Beta", ["Alpha", "Beta"]),
        ("é / Beta", ["é", "Beta"]),
        (" Alpha / Beta ", ["Alpha", "Beta"]),
        ("\u3000Alpha / \u2003Beta\u2029", ["Alpha", "Beta"]),
        ("Alpha\u3000/\u3000Beta", None),  # the separator's spaces are U+0020 only
        ("Alpha\u3000 / Beta", ["Alpha", "Beta"]),
        ("Alpha\xa0/ Beta", None),
        ("Alpha,\u200b Beta", None),  # U+200B is not white space
    ],
)
def test_split_artist_name(name, expected):
    assert text.split_artist_name(name) == expected


@pytest.mark.parametrize(
    "name, known, expected",
    [
        ("Sun & Moon", {"sun"}, ["Sun", "Moon"]),
        ("Sun & Moon", {"sunny"}, None),
        ("Sun & Moon", set(), None),
        ("  Sun & Moon  ", frozenset({"moon"}), ["Sun", "Moon"]),
        ("SÜN & Moon", {"sun"}, ["SÜN", "Moon"]),  # pieces are looked up by match form
        ("Sun & Moon", {"Sun"}, None),  # the set is not normalised
        ("Sun & Moon / Alpha", {"moon"}, ["Sun", "Moon", "Alpha"]),
        ("Alpha / Beta", set(), ["Alpha", "Beta"]),
        ("Alpha & Beta & Alpha", {"beta"}, ["Alpha", "Beta", "Alpha"]),
        ("Alpha & Beta / Alpha", {"beta"}, ["Alpha", "Beta"]),
        ("A & Bee", {"a"}, None),
        ("Sun &  & Moon", {"sun"}, ["Sun", "Moon"]),
        ("Sun&Moon", {"sun"}, None),
    ],
)
def test_split_artist_name_contextual(name, known, expected):
    assert text.split_artist_name_contextual(name, known) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: text.split_artist_name(None), "argument 'name': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: text.split_artist_name_contextual("a", ["alpha"]), "argument 'known_artists': 'list' object cannot be converted to 'PySet'"),
        (lambda: text.split_artist_name_contextual("a", {1}), "argument 'known_artists': 'int' object cannot be converted to 'PyString'"),
        (lambda: text.split_artist_name_contextual(), "split_artist_name_contextual() missing 2 required positional arguments: 'name' and 'known_artists'"),
    ],
)
def test_bad_arguments(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# A plain reference, on Python strings rather than UTF-8 bytes.
def _nbytes(s):
    return len(s.encode())


def _dedup(items):
    out = []
    for item in items:
        if item not in out:
            out.append(item)
    return out


def _split_reference(name):
    t = name.strip(WHITE_SPACE)
    for sep in (", ", " / ", " + "):
        if not t or sep not in t:
            continue
        pieces = [p.strip(WHITE_SPACE) for p in t.split(sep)]
        if sep == ", ":
            if any(p and set(p) <= set("0123456789,") for p in pieces):
                continue
            if pieces[-1][:4] in ("and ", "And ", "AND "):
                pieces[-1] = pieces[-1][4:].strip(WHITE_SPACE)
        return _dedup(p for p in pieces if _nbytes(p) >= 2) or None
    return None


def _ampersand_reference(s, known):
    pieces = [p.strip(WHITE_SPACE) for p in s.split(" & ")]
    if len(pieces) < 2 or not any(text.to_match_form(p) in known for p in pieces):
        return None
    kept = [p for p in pieces if _nbytes(p) >= 2]
    return kept if len(kept) >= 2 else None


def _contextual_reference(name, known):
    parts = _split_reference(name)
    if parts is None:
        return _ampersand_reference(name.strip(WHITE_SPACE), known)
    return _dedup(piece for part in parts for piece in (_ampersand_reference(part, known) or [part]))


FRAGMENTS = [
    "Alpha", "alpha", "ALPHA", "Beta", "Sun", "A", "é", "É", "日本", "\U0001f3b5", "x",
    "1999", "1,000", "0", ",", ", ", " / ", " + ", " & ", "/", "+", "&", "and ", "And ", "AND ", "aNd ",
    " ", "  ", "\t", "\xa0", "\u3000", "\u2003", "\x85", "\u2028", "\u200b", "\x1f", "\u0301",
]
names = st.lists(st.sampled_from(FRAGMENTS), max_size=12).map("".join)
known_sets = st.sets(st.sampled_from(["alpha", "beta", "sun", "a", "é", "日本", "x"]), max_size=3)


@settings(max_examples=500)
@given(names, known_sets)
def test_split_matches_reference(name, known):
    parts = text.split_artist_name(name)
    assert parts == _split_reference(name)
    assert text.split_artist_name_contextual(name, known) == _contextual_reference(name, known)
    # Every piece is a trimmed substring of the name, in input order.
    position = 0
    for piece in parts or []:
        assert piece == piece.strip(WHITE_SPACE) and _nbytes(piece) >= 2
        position = name.index(piece, position) + len(piece)
