"""The labels of bench/match_quality.py's releases: a release labelled the same
as a library row really is a variant of that row, and one labelled as lacking
from the library is none of its rows. A wrong label would count a right
decision as wrong. Checked on a small library written here, with
derivations written independently of the generator's."""

import re
import unicodedata

import pytest

import match_quality as mq
from match_quality import Entry

_ROWS = [Entry(a, t) for a, t in [
    ("The Rolling Stones", "Voodoo Lounge"), ("The Rolling Stones", "No Security"),
    ("The Rolling Stones", "Hot Rocks, 1964-1971 (Disc 1)"), ("Guns N' Roses", "Use Your Illusion I"),
    ("Guns N' Roses", "Use Your Illusion II"), ("Guns N' Roses", "Appetite for Destruction"),
    ("Page & Plant", "Walking Into Clarksdale"), ("Accept", "Restless and Wild"), ("Accept", "Balls to the Wall"),
    ("Motörhead", "Ace Of Spades"), ("Titãs", "Acústico"), ("Titãs", "Volume Dois"),
    ("Caetano Veloso", "Prenda Minha"), ("Caetano Veloso", "Sozinho Remix Ao Vivo"),
    ("Legião Urbana", "Mais Do Mesmo"), ("Van Halen", "Van Halen III"), ("Van Halen", "The Best Of Van Halen, Vol. I"),
    ("Queen", "Greatest Hits I"), ("Queen", "Greatest Hits II"), ("Queen", "News Of The World"),
    ("Björk", "Homogenic"), ("Cláudio Zoli", "Na Pista"), ("Skank", "O Samba Poconé"),
    ("Alanis Morissette", "Jagged Little Pill"), ("Body Count", "Body Count"), ("Cake", "Cake: B-Sides and Rarities"),
    ("Jota Quest", "Jota Quest-1995"), ("Habib Koité and Bamada", "Muso Ko"), ("Pearl Jam", "Ten"),
    ("R.E.M.", "Out Of Time"),
]]


def _fold(s):
    s = unicodedata.normalize("NFKD", s)
    return " ".join("".join(c for c in s if not unicodedata.combining(c)).casefold().split())


def _distance(a, b):
    row = list(range(len(b) + 1))
    for i, ca in enumerate(a, 1):
        prev, row[0] = row[0], i
        for j, cb in enumerate(b, 1):
            prev, row[j] = row[j], min(row[j] + 1, row[j - 1] + 1, prev + (ca != cb))
    return row[-1]


def _unmojibake(s):
    return bytes(ord(c) if ord(c) < 256 else c.encode("cp1252")[0] for c in s).decode("utf-8")


def _one_field(check):
    """Exactly one field or both changed, each changed one as `check` allows."""
    def derives(r, e):
        pairs = [(x, y) for x, y in ((r.artist, e.artist), (r.title, e.title)) if x != y]
        return bool(pairs) and all(check(x, y) for x, y in pairs)
    return derives


def _suffix(pattern):
    return lambda r, e: r.artist == e.artist and re.fullmatch(re.escape(e.title) + pattern, r.title) is not None


def _typo_in(fields):
    def derives(r, e):
        changed = tuple(f for f in ("artist", "title") if getattr(r, f) != getattr(e, f))
        return changed == fields and all(0 < _distance(getattr(r, f), getattr(e, f)) <= 2 for f in fields)
    return derives


def _latin(r, e):
    return bool(e.alias) and r.artist in (e.artist, e.alias) and r.title in (e.title, e.latin_title) \
        and (r.artist, r.title) != (e.artist, e.title)


def _featuring(r, e):
    credit = r" \(?(feat\.|ft\.|featuring|Feat\.) [^()]+\)?"
    return (r.title == e.title and re.fullmatch(re.escape(e.artist) + credit, r.artist) is not None) or \
        (r.artist == e.artist and re.fullmatch(re.escape(e.title) + credit, r.title) is not None)


def _without_numbers(s):
    return re.sub(r"\b(vol|part)\b|\d+|\b[ivx]+\b|[^\w]", "", s.casefold())


_DERIVES = {
    "exact copy": lambda r, e: (r.artist, r.title) == (e.artist, e.title),
    "case": _one_field(lambda x, y: x.casefold() == y.casefold()),
    "accents dropped": _one_field(lambda x, y: x.isascii() or _fold(x) == _fold(y)),
    "mojibake": _one_field(lambda x, y: _unmojibake(x) == y),
    "typo in artist": _typo_in(("artist",)),
    "typo in title": _typo_in(("title",)),
    "typo in both": _typo_in(("artist", "title")),
    "article moved/dropped": _one_field(lambda x, y: y.startswith("The ") and x in (y[4:], y[4:] + ", The")),
    "& / and": _one_field(lambda x, y: x.replace(" & ", " and ").casefold() == y.replace(" & ", " and ").casefold()),
    "edition note": _suffix(r" (\(.*\)|\[.*\]|- .*)"),
    "year": _suffix(r" (\((19|20)\d\d\)|\[(19|20)\d\d\]|- (19|20)\d\d)"),
    "featuring credit": _featuring,
    "Latin for Cyrillic": _latin,
    "Latin for Greek": _latin,
    "Latin for kana": _latin,
    "same artist, other release": lambda r, e: r.artist == e.artist and r.title != e.title,
    "numbered neighbour": lambda r, e: r.artist == e.artist and r.title != e.title
    and _without_numbers(r.title) == _without_numbers(e.title),
}


@pytest.fixture(scope="module")
def generated():
    return mq.generate(_ROWS, per_kind=40)


def test_every_kind_is_made_and_derives_from_its_row(generated):
    library, releases = generated
    assert set(_DERIVES) | {"unrelated"} == set(mq.KINDS)
    assert {r.kind for r in releases} == set(mq.KINDS)
    in_library = set(library)
    for r in releases:
        assert r.held == (r.kind in mq.SAME_RELEASE)
        if r.kind == "unrelated":
            assert r.source is None
            continue
        assert r.source in in_library, r
        assert _DERIVES[r.kind](r, r.source), r


def test_releases_labelled_as_lacking_are_not_in_the_library(generated):
    library, releases = generated
    held = {(_fold(e.artist), _fold(e.title)) for e in library}
    lacking = [r for r in releases if not r.held]
    assert lacking
    assert not [r for r in lacking if (_fold(r.artist), _fold(r.title)) in held]
    # Held-out albums and absent artists are what the library lacks: none of their rows stayed.
    assert 0 < len(library) - len(mq.CROSS_SCRIPT) < len(_ROWS)


def test_the_same_seed_gives_the_same_releases(generated):
    assert mq.generate(_ROWS, per_kind=40) == generated
    assert mq.generate(_ROWS, per_kind=40, seed=mq.SEED + 1)[1] != generated[1]
