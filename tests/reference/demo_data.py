"""The demo data's rows drawn plainly, one helper call per word, with the
standard library's generator: what zemo_etl._demo_data draws faster from
pieces made once. The tests compare the two row for row; the word lists, and
_cap and _plural, which make those pieces, are the package's."""

from __future__ import annotations

import random
import re
import unicodedata
from typing import Sequence

from zemo_etl._demo_data import (
    _ADJECTIVES, _COMPILATION_ARTISTS, _CYRILLIC, _CYRILLIC_TITLES, _EDITIONS, _FIRST, _FORMATS, _GENRES,
    _JAPANESE, _LAST, _NOUNS, _OTHER_FIRST, _OTHER_LAST, _OTHER_WORDS, _PLACES, _cap, _plural,
)


def artist(rng: random.Random) -> str:
    kind = rng.random()
    if kind < 0.35:
        return f"{rng.choice(_FIRST)} {rng.choice(_LAST)}"
    if kind < 0.55:
        return "The " + _cap([rng.choice(_ADJECTIVES), _plural(rng.choice(_NOUNS))])
    if kind < 0.70:
        return _cap([rng.choice(_ADJECTIVES), rng.choice(_NOUNS)])
    if kind < 0.78:
        return f"{rng.choice(_FIRST)} {rng.choice(_LAST)} & The " + _cap([_plural(rng.choice(_NOUNS))])
    if kind < 0.84:
        return _cap([rng.choice(_NOUNS)]) + rng.choice(["", "", " Collective", " Trio", " Quartet", " Orchestra"])
    if kind < 0.89:
        return f"{rng.choice(_FIRST)} {rng.choice(_LAST)} and {rng.choice(_FIRST)} {rng.choice(_LAST)}"
    if kind < 0.94:
        return rng.choice(_CYRILLIC) + rng.choice(["", "", " " + str(rng.randint(2, 9))])
    if kind < 0.96:
        return rng.choice(_JAPANESE)
    return _cap([rng.choice(_NOUNS), rng.choice(_PLACES)])


def other_release(rng: random.Random) -> tuple[str, str]:
    if rng.random() < 0.5:
        name = f"{rng.choice(_OTHER_FIRST)} {rng.choice(_OTHER_LAST)}"
    else:
        name = _cap(rng.sample(_OTHER_WORDS, 2))
    return name, _cap(rng.sample(_OTHER_WORDS, rng.randint(1, 3)))


def title(rng: random.Random, artist: str) -> str:
    if re.search("[\u0400-\u04ff]", artist) and rng.random() < 0.7:
        return rng.choice(_CYRILLIC_TITLES) + rng.choice(["", "", " " + str(rng.randint(2, 5))])
    kind = rng.random()
    if kind < 0.25:
        return _cap([rng.choice(_ADJECTIVES), rng.choice(_NOUNS)])
    if kind < 0.40:
        return "The " + _cap([rng.choice(_NOUNS), "of", _plural(rng.choice(_NOUNS))]).replace(" Of ", " of ")
    if kind < 0.52:
        return _cap([_plural(rng.choice(_NOUNS))])
    if kind < 0.62:
        return f"Live in {rng.choice(_PLACES)}"
    if kind < 0.70:
        return "Songs for " + _cap(["the", rng.choice(_ADJECTIVES), rng.choice(_NOUNS)]).replace("The", "the")
    if kind < 0.77:
        first, second = rng.sample(_NOUNS, 2)
        return _cap([first, rng.choice(["&", "and"]), second])
    if kind < 0.83:
        return f"{_cap([rng.choice(_ADJECTIVES), _plural(rng.choice(_NOUNS))])}, Vol. {rng.randint(1, 4)}"
    if kind < 0.88:
        return f"{rng.choice(_NOUNS).capitalize()} ({rng.choice(['Original Mix', 'Radio Edit', 'Instrumental'])})"
    if kind < 0.92:
        return "It's " + _cap([rng.choice(_ADJECTIVES)]) + " Out There"
    return _cap([rng.choice(_ADJECTIVES), rng.choice(_ADJECTIVES), rng.choice(_NOUNS)])


def _mojibake(s: str) -> str:
    try:
        return s.encode("utf-8").decode("cp1252")
    except UnicodeDecodeError:
        return s


def _call_letters(artist: str) -> str:
    letters = re.sub("[^A-Z]+", "", artist.upper())
    return (letters[3:6] if letters.startswith("THE") and len(letters) > 5 else letters[:3]) or "ZZZ"


def library_rows(n: int, seed: int = 1) -> list[tuple[object, ...]]:
    rng = random.Random(seed)
    numbers: dict[str, int] = {}  # the artists, in the order drawn
    while len(numbers) < max(1, n // 3):
        numbers.setdefault(artist(rng), 100 + len(numbers))
    artists = list(numbers)
    rows: list[tuple[object, ...]] = []
    per_artist: dict[str, int] = {}
    seen_pairs: set[tuple[str, str]] = set()
    while len(rows) < n:
        compilation = rng.random() < 0.03
        name = rng.choice(_COMPILATION_ARTISTS) if compilation else artists[
            min(int(rng.paretovariate(1.2)) - 1, len(artists) - 1) if rng.random() < 0.3 else rng.randrange(len(artists))]
        name_title = title(rng, name)
        if (name, name_title) in seen_pairs:
            continue
        seen_pairs.add((name, name_title))
        per_artist[name] = per_artist.get(name, 0) + 1
        stored_artist, stored_title = name, name_title
        if rng.random() < 0.04:
            stored_artist = _mojibake(stored_artist)
        if rng.random() < 0.02:
            stored_title = _mojibake(stored_title)
        if name.startswith("The ") and rng.random() < 0.15:
            stored_artist = name[4:] + ", The"
        alternate = None
        if " & " in name or " and " in name:
            alternate = name.split(" & ")[0].split(" and ")[0] if rng.random() < 0.3 else None
        rows.append((len(rows) + 1, stored_title, stored_artist, _call_letters(name),
                     900 + _COMPILATION_ARTISTS.index(name) if compilation else numbers[name],
                     per_artist[name], rng.choice(_GENRES), rng.choice(_FORMATS), alternate))
    return rows


def typo(rng: random.Random, s: str) -> str:
    if len(s) < 4:
        return s + s[-1:]
    i = rng.randrange(1, len(s) - 1)
    kind = rng.randrange(4)
    if kind == 0:
        return s[:i] + s[i + 1:]
    if kind == 1:
        return s[:i] + s[i] + s[i:]
    if kind == 2:
        return s[:i - 1] + s[i] + s[i - 1] + s[i + 1:]
    return s[:i] + rng.choice("aeiourstnl") + s[i + 1:]


def as_typed(rng: random.Random, s: str) -> str:
    r = rng.random()
    if r < 0.15:
        return s.lower()
    if r < 0.20:
        return s.upper()
    if r < 0.35:
        return "".join(c for c in unicodedata.normalize("NFD", s) if not unicodedata.combining(c))
    if r < 0.40:
        return "  " + s.replace(" ", "  ") + " "
    return s


def _original(s: str) -> str:
    if not s.isascii():
        try:
            s = s.encode("cp1252").decode("utf-8")
        except (UnicodeEncodeError, UnicodeDecodeError):
            pass
    return "The " + s[:-5] if s.endswith(", The") else s


def release_rows(library: Sequence[tuple[object, ...]], n: int, seed: int = 2) -> list[tuple[str, str]]:
    rng = random.Random(seed)
    known = [(_original(str(r[2])), _original(str(r[1]))) for r in library]
    known_artists = sorted({a for a, _ in known})
    out: list[tuple[str, str]] = []
    while len(out) < n:
        r = rng.random()
        name, name_title = rng.choice(known) if known else (artist(rng), title(rng, ""))
        if r < 0.30:
            out.append((as_typed(rng, name), as_typed(rng, name_title)))
        elif r < 0.40 and out:
            a, t = rng.choice(out)
            out.append((a if rng.random() < 0.5 else a.lower(), t))
        elif r < 0.53:
            if rng.random() < 0.5:
                out.append((typo(rng, name), name_title))
            else:
                out.append((name, typo(rng, name_title)))
        elif r < 0.63:
            out.append((name, name_title + rng.choice(_EDITIONS)))
        elif r < 0.68:
            out.append((name[4:] + ", The" if name.startswith("The ") else "The " + name, name_title))
        elif r < 0.75 and known_artists:
            a = rng.choice(known_artists)
            out.append((a, title(rng, a)))
        elif r < 0.80:
            a = artist(rng)
            out.append((a, title(rng, a)))
        else:
            out.append(other_release(rng))
    return out
