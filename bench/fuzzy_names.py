"""Generated music-library names for the fuzzy benchmarks.

A Zipf-distributed vocabulary of pseudo-words plus the common words that
real titles and artist names share ("the", "of", "love", "live",
"remastered", ...), so that the posting lists of common words cover a large
share of the library, as in a real collection. Release lists mix near-copies
of library pairs (case, typos, extra words) with unrelated releases.
"""

from __future__ import annotations

import bisect
import itertools
import random

COMMON = ["the", "of", "love", "live", "remastered", "edition", "a", "in", "and", "my", "you", "me", "i",
          "to", "night", "deluxe", "version", "vol.", "greatest", "hits", "band", "orchestra", "best",
          "blue", "dance", "world", "new", "man", "time", "life", "heart", "mix", "remix", "ep", "sessions"]
_ONSETS = ["b", "c", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s", "t", "v", "w", "z", "br",
           "ch", "cr", "dr", "fl", "gr", "kr", "pl", "sh", "st", "th", "tr", "qu"]
_VOWELS = ["a", "e", "i", "o", "u", "y", "ai", "ea", "ou"]
_ACCENTED = ["ä", "é", "ø", "ü", "ó"]
_CODAS = ["", "", "", "n", "r", "s", "t", "l", "m", "ck", "x", "nd", "st"]


class Vocabulary:
    def __init__(self, size: int = 60_000, seed: int = 1) -> None:
        rng = random.Random(seed)
        seen: set[str] = set(COMMON)
        words: list[str] = []
        while len(words) < size:
            w = "".join(rng.choice(_ONSETS) + rng.choice(_ACCENTED if rng.random() < 0.04 else _VOWELS)
                        + rng.choice(_CODAS) for _ in range(rng.choice((1, 2, 2, 3))))
            if w not in seen:
                seen.add(w)
                words.append(w)
        self.words = words
        # Zipf weights 1/rank over the pseudo-words.
        self._cum = list(itertools.accumulate(1.0 / (r + 1) for r in range(size)))

    def word(self, rng: random.Random) -> str:
        if rng.random() < 0.3:
            return rng.choice(COMMON)
        return self.words[bisect.bisect_left(self._cum, rng.random() * self._cum[-1])]

    def phrase(self, rng: random.Random, lo: int, hi: int) -> str:
        words = [self.word(rng) for _ in range(rng.randint(lo, hi))]
        if rng.random() < 0.4:
            words = [w.capitalize() for w in words]
        return " ".join(words)


def typo(rng: random.Random, s: str) -> str:
    if not s:
        return s
    i = rng.randrange(len(s))
    kind = rng.random()
    if kind < 0.3:
        return s[:i] + s[i + 1:]
    if kind < 0.5:
        return s[:i] + rng.choice("aeiourst") + s[i:]
    if kind < 0.7:
        return s.upper() if rng.random() < 0.5 else s.title()
    if kind < 0.85:
        return s + " (" + rng.choice(["Remastered", "Live", "Deluxe Edition", "2011"]) + ")"
    return s.replace(" ", "  ")


def library_pairs(vocab: Vocabulary, n: int, seed: int = 2) -> list[tuple[str, str]]:
    rng = random.Random(seed)
    artists = [vocab.phrase(rng, 1, 3) for _ in range(max(1, n // 6))]
    return [(rng.choice(artists), vocab.phrase(rng, 1, 5)) for _ in range(n)]


def releases(vocab: Vocabulary, library: list[tuple[str, str]], n: int, seed: int = 3,
             near_share: float = 0.25) -> tuple[list[str], list[str]]:
    rng = random.Random(seed)
    artists: list[str] = []
    titles: list[str] = []
    for _ in range(n):
        if rng.random() < near_share:
            a, t = rng.choice(library)
            if rng.random() < 0.7:
                a, t = (typo(rng, a), t) if rng.random() < 0.5 else (a, typo(rng, t))
        else:
            a, t = vocab.phrase(rng, 1, 3), vocab.phrase(rng, 1, 5)
        artists.append(a)
        titles.append(t)
    return artists, titles


def name_pairs(vocab: Vocabulary, n: int, seed: int = 4) -> list[tuple[str, str]]:
    """Pairs of artist-like names, a third of them near-copies."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        a = vocab.phrase(rng, 1, 4)
        b = typo(rng, a) if rng.random() < 0.33 else vocab.phrase(rng, 1, 4)
        out.append((a, b))
    return out
