"""The fuzzy measures, the release classifier and the resolver written
plainly in Python, with rapidfuzz doing the string distances.

This is what a user would assemble without the native module: every
candidate of a release is scored with every measure its decision reaches.
The benchmarks time it against the native classifier, and the tests use it
as an oracle on small inputs. The resolver ranks the whole catalogue by a
Jaro-Winkler spelled out in Python, so that it needs nothing else.
"""

from __future__ import annotations

import math
import re
from collections import defaultdict
from typing import Callable, Iterable, Optional, Sequence

try:
    from rapidfuzz.distance import Indel, JaroWinkler
except ImportError:  # the resolver below needs nothing else
    pass

_SPACE = re.compile("[\t\n\v\f\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")


def tokens(s: str) -> list[str]:
    # str.lower() applies the full mapping with the final-sigma rule to the piece.
    return [piece.lower() for piece in _SPACE.split(s) if piece]


def fuzz_ratio(a: str, b: str) -> float:
    n = len(a) + len(b)
    if n == 0:
        return 1.0
    lcs = (n - Indel.distance(a, b)) // 2
    return (2 * lcs) / n


def sorted_tokens(s: str) -> str:
    return " ".join(sorted(tokens(s)))


def token_sort_ratio(a: str, b: str) -> float:
    return fuzz_ratio(sorted_tokens(a), sorted_tokens(b))


def token_set_ratio(a: str, b: str) -> float:
    ta, tb = set(tokens(a)), set(tokens(b))
    if not ta and not tb:
        return 1.0
    if not ta or not tb:
        return 0.0
    s_i = " ".join(sorted(ta & tb))
    s_a = " ".join(sorted(ta - tb))
    s_b = " ".join(sorted(tb - ta))
    c_a = " ".join(x for x in (s_i, s_a) if x)
    c_b = " ".join(x for x in (s_i, s_b) if x)
    return max(max(fuzz_ratio(s_i, c_a), fuzz_ratio(s_i, c_b)), fuzz_ratio(c_a, c_b))


def jaro_winkler(a: str, b: str) -> float:
    return JaroWinkler.similarity(a, b, prefix_weight=0.1)


def _index_tokens(s: str) -> list[str]:
    return [t for t in tokens(s) if t != "|||"]


def _build(strings: Sequence[str]) -> dict[str, list[int]]:
    index: dict[str, list[int]] = defaultdict(list)
    for p, s in enumerate(strings):
        for t in dict.fromkeys(_index_tokens(s)):
            index[t].append(p)
    return index


class Library:
    """The library index: combined keys, pairs, artists, titles and token indexes."""

    def __init__(self, pairs: Iterable[tuple[str, str]], match_form: Callable[[str], str]) -> None:
        self.combined: list[str] = []
        self.pairs: set[tuple[str, str]] = set()
        self.artist_titles: dict[str, list[str]] = defaultdict(list)
        for artist, title in pairs:
            a, t = match_form(artist), match_form(title)
            self.pairs.add((a, t))
            self.artist_titles[a].append(t)
            self.combined.append(f"{a} ||| {t}")
        self.artists = sorted(self.artist_titles, key=lambda s: s.encode())
        self.combined_index = _build(self.combined)
        self.artist_index = _build(self.artists)

    @staticmethod
    def _candidates(toks: Iterable[str], index: dict[str, list[int]]) -> list[int]:
        found: set[int] = set()
        for t in toks:
            found.update(index.get(t, ()))
        return sorted(found)

    def _combined_blocked(self, q: str, toks: list[str], metric: Callable[[str, str], float]) -> float:
        best = 0.0
        for i in self._candidates(toks, self.combined_index):
            best = max(best, metric(q, self.combined[i]))
        return best

    def _two_stage(self, artist: str, title: str, gate: float) -> float:
        best, best_artist = 0.0, None
        for i in self._candidates(_index_tokens(artist), self.artist_index):
            s = jaro_winkler(artist, self.artists[i])
            if s > best:
                best, best_artist = s, self.artists[i]
        if best < gate or best_artist is None:
            return 0.0
        bt = 0.0
        for u in self.artist_titles[best_artist]:
            bt = max(bt, jaro_winkler(title, u))
        return math.sqrt(best * bt)

    def classify(self, artist: str, title: str, token_set_keep: float = 0.8, token_sort_keep: float = 0.8,
                 two_stage_keep: float = 0.8, artist_gate: float = 0.7, review_floor: float = 0.4) -> str:
        """Artist and title in match form; returns "keep", "prune" or "review"."""
        if (artist, title) in self.pairs:
            return "keep"
        q = f"{artist} ||| {title}"
        toks = _index_tokens(q)
        s1 = self._combined_blocked(q, toks, token_set_ratio)
        if review_floor <= s1 < token_set_keep:
            return "review"
        s2 = self._combined_blocked(q, toks, token_sort_ratio)
        if review_floor <= s2 < token_sort_keep:
            return "review"
        s3 = self._two_stage(artist, title, artist_gate)
        if s1 >= token_set_keep and s2 >= token_sort_keep and s3 >= two_stage_keep:
            return "keep"
        if s1 < review_floor and s2 < review_floor and s3 < review_floor:
            return "prune"
        return "review"


def classify_releases(artists: Sequence[str], titles: Sequence[str], library: Library,
                      match_form: Callable[[str], str], **thresholds: float) -> list[str]:
    """Thresholds as LibraryIndex takes them, the same defaults."""
    return [library.classify(match_form(a), match_form(t), **thresholds) for a, t in zip(artists, titles)]


def plain_jaro_winkler(a: str, b: str) -> float:
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


def resolve(name: str, catalog: Sequence[str], threshold: float, limit: int, ambiguity: float) -> Optional[str]:
    """Score every entry, rank with a stable sort, look at the first two."""
    if not catalog:
        return None
    ranked = sorted(((plain_jaro_winkler(name, e), i) for i, e in enumerate(catalog)), key=lambda x: -x[0])
    k = min(max(limit, 1), len(ranked))
    if ranked[0][0] < threshold:
        return None
    if k > 1 and abs(ranked[0][0] - ranked[1][0]) < ambiguity:
        return None
    return catalog[ranked[0][1]]
