"""Decision quality on labelled real names: how often each rule set keeps a
release the library does not hold (wrong keep), prunes one it holds (wrong
prune) or sends one to review, per kind of variant, and its CPU time per
release.

The library is real artist and album names (``music-names.csv``, a music
store's sample catalogue, read from ``$ZEMO_MUSIC_NAMES`` or
``../shared/data/music-names.csv`` beside the repository; the benchmark is
skipped without it) plus the cross-script rows of ``CROSS_SCRIPT``, each
with its Latin alias. Some artists and some albums are held out of the
library: they are the releases it does not hold. Releases are generated
from a fixed seed, each labelled with its kind and whether the library
holds it; ``python bench/match_quality.py [--quick] [--examples N]`` runs it
alone, ``--examples`` printing the releases each rule set gets wrong.
"""

from __future__ import annotations

import argparse
import csv
import dataclasses
import os
import pathlib
import random
import re
import resource
import sys
import unicodedata
from collections import Counter, defaultdict
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

import names

HERE = pathlib.Path(__file__).resolve().parent
DATA = HERE.parent.parent / "shared" / "data" / "music-names.csv"
SEED = 2026


@dataclasses.dataclass(frozen=True)
class Entry:
    """A library row; ``alias`` and ``latin_title`` only where the names are not in Latin script."""

    artist: str
    title: str
    alias: str = ""
    latin_title: str = ""


@dataclasses.dataclass(frozen=True)
class Release:
    artist: str
    title: str
    kind: str
    held: bool  # the library holds this release
    source: Optional[Entry] = None  # the library row a variant was made from


# Real releases whose names are not in Latin script, as the library's source
# gives them, with the artist's Latin alias and the title as a Latin listing
# writes it. The sample catalogue has none.
CROSS_SCRIPT = [
    Entry("Кино", "Группа крови", "Kino", "Gruppa Krovi"),
    Entry("Кино", "Звезда по имени Солнце", "Kino", "Zvezda po imeni Solntse"),
    Entry("Аквариум", "Радио Африка", "Aquarium", "Radio Afrika"),
    Entry("ДДТ", "Актриса Весна", "DDT", "Aktrisa Vesna"),
    Entry("Земфира", "Прости меня моя любовь", "Zemfira", "Prosti menya moya lyubov"),
    Entry("Сплин", "Гранатовый альбом", "Splin", "Granatovy albom"),
    Entry("Наутилус Помпилиус", "Разлука", "Nautilus Pompilius", "Razluka"),
    Entry("Мумий Тролль", "Морская", "Mumiy Troll", "Morskaya"),
    Entry("Μίκης Θεοδωράκης", "Ζορμπάς", "Mikis Theodorakis", "Zorbas"),
    Entry("Μάνος Χατζιδάκις", "Ο Μεγάλος Ερωτικός", "Manos Hadjidakis", "O Megalos Erotikos"),
    Entry("Χάρις Αλεξίου", "Οδός Νεφέλης '88", "Haris Alexiou", "Odos Nefelis '88"),
    Entry("Νίκος Ξυλούρης", "Ριζίτικα", "Nikos Xylouris", "Rizitika"),
    Entry("Ελευθερία Αρβανιτάκη", "Τα Κορμιά Και Τα Μαχαίρια", "Eleftheria Arvanitaki", "Ta Kormia Kai Ta Macheria"),
    Entry("コーネリアス", "ファンタズマ", "Cornelius", "Fantasma"),
    Entry("スピッツ", "ハチミツ", "Spitz", "Hachimitsu"),
    Entry("サカナクション", "シンシロ", "Sakanaction", "Shinshiro"),
    Entry("きゃりーぱみゅぱみゅ", "ぱみゅぱみゅレボリューション", "Kyary Pamyu Pamyu", "Pamyu Pamyu Revolution"),
    Entry("ポルノグラフィティ", "ロマンチスト・エゴイスト", "Porno Graffitti", "Romantist Egoist"),
    Entry("ピチカート・ファイヴ", "Happy End of the World", "Pizzicato Five", "Happy End of the World"),
]

_GUESTS = ["David Bowie", "Jay-Z", "Ella Fitzgerald", "Carlos Santana", "Gilberto Gil", "Slash", "Sting",
           "Annie Lennox", "Caetano Veloso", "Ozzy Osbourne"]
_EDITIONS = [" (Remastered)", " (2011 Remaster)", " [Deluxe Edition]", " - 20th Anniversary Deluxe Edition",
             " - Remastered 2009", " (Expanded Edition)", " [Bonus Tracks]", " (Special Edition)"]
_ROMAN = ["i", "ii", "iii", "iv", "v", "vi", "vii", "viii", "ix", "x", "xi"]
# Digits, and roman numerals where they are not words ("I Am", "The X Factor"): two letters or more, or
# one at the end of the title.
_NUMBER = re.compile(r"\d+|\b(?:ii|iii|iv|vi|vii|viii|ix)\b|\b[ivx]$", re.IGNORECASE)
_KEYBOARD = ["qwertyuiop", "asdfghjkl", "zxcvbnm"]


def _script(entry: Entry) -> str:
    name = unicodedata.name(next(c for c in entry.artist if c.isalpha()), "")
    return name.split(" ")[0]  # CYRILLIC, GREEK, KATAKANA, HIRAGANA, LATIN, ...


def loose(s: str) -> str:
    """Case, accents and spacing folded away: what no two distinct releases of the benchmark share."""
    s = "".join(c for c in unicodedata.normalize("NFKD", s) if not unicodedata.combining(c))
    return " ".join(s.casefold().split())


def number_free(title: str) -> str:
    return " ".join(_NUMBER.sub(" ", loose(title)).replace(",", " ").split())


# Variants of a library row that name the same release: each takes the rng
# and the row and gives (artist, title), or None where it does not apply.
Variant = Callable[[random.Random, Entry], Optional[Tuple[str, str]]]


def _fields(rng: random.Random, entry: Entry, change: Callable[[str], Optional[str]],
            which: Optional[str] = None) -> Optional[Tuple[str, str]]:
    """`change` applied to the artist, the title or both (`which`, else at random among those it changes)."""
    changed = {f: change(getattr(entry, f)) for f in ("artist", "title")}
    choices = [w for w in ("artist", "title", "both")
               if all(changed[f] is not None for f in (("artist", "title") if w == "both" else (w,)))]
    if which is not None:
        choices = [which] if which in choices else []
    if not choices:
        return None
    w = rng.choice(choices)
    artist = changed["artist"] if w in ("artist", "both") else entry.artist
    title = changed["title"] if w in ("title", "both") else entry.title
    return artist, title


def _only_if_changed(fn: Callable[[str], str]) -> Callable[[str], Optional[str]]:
    def change(s: str) -> Optional[str]:
        out = fn(s)
        return out if out != s else None
    return change


def _case(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
    style = rng.choice([str.upper, str.lower, str.title])
    return _fields(rng, entry, _only_if_changed(style))


def strip_accents(s: str) -> str:
    """Accents off Latin and Greek letters (not the marks that make other kana, as in ぱ and は)."""
    out = []
    for c in unicodedata.normalize("NFD", s):
        if not (unicodedata.combining(c) and out and unicodedata.name(out[-1], "").startswith(("LATIN", "GREEK"))):
            out.append(c)
    return unicodedata.normalize("NFC", "".join(out))


def _accents(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
    return _fields(rng, entry, _only_if_changed(strip_accents))


def mojibake(s: str) -> str:
    """UTF-8 read as Windows-1252 (bytes it leaves undefined as Latin-1)."""
    out = []
    for b in s.encode("utf-8"):
        try:
            out.append(bytes([b]).decode("cp1252"))
        except UnicodeDecodeError:
            out.append(chr(b))
    return "".join(out)


def _mojibake(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
    return _fields(rng, entry, _only_if_changed(mojibake))


def typo(rng: random.Random, s: str) -> Optional[str]:
    """One slip in a Latin word of four letters or more: a letter dropped, doubled, swapped with the next,
    or a neighbouring key."""
    words = list(re.finditer(r"[A-Za-zÀ-ÖØ-öø-ÿ]{4,}", s))
    if not words:
        return None
    m = rng.choice(words)
    w = m.group()
    i = rng.randrange(1, len(w) - 1)  # first and last letters are rarely wrong
    kind = rng.randrange(4)
    if kind == 0:
        w = w[:i] + w[i + 1:]
    elif kind == 1:
        w = w[:i] + w[i] + w[i:]
    elif kind == 2:
        w = w[:i] + w[i + 1] + w[i] + w[i + 2:]
    else:
        row = next((r for r in _KEYBOARD if w[i].lower() in r), None)
        if row is None:
            return None
        j = row.index(w[i].lower())
        near = row[j - 1] if j and (j == len(row) - 1 or rng.random() < 0.5) else row[j + 1]
        w = w[:i] + (near.upper() if w[i].isupper() else near) + w[i + 1:]
    out = s[:m.start()] + w + s[m.end():]
    return out if out != s else None


def _typo(which: str) -> Variant:
    return lambda rng, entry: _fields(rng, entry, lambda s: typo(rng, s), which)


def _article(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
    def move(s: str) -> Optional[str]:
        if not s.startswith("The "):
            return None
        return s[4:] + ", The" if rng.random() < 0.5 else s[4:]
    return _fields(rng, entry, move)


def _ampersand(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
    def swap(s: str) -> Optional[str]:
        if " & " in s:
            return s.replace(" & ", rng.choice([" and ", " And "]), 1)
        m = re.search(r" and ", s, re.IGNORECASE)
        return s[:m.start()] + " & " + s[m.end():] if m else None
    return _fields(rng, entry, swap)


def _edition(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
    return entry.artist, entry.title + rng.choice(_EDITIONS)


def _year(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
    year = rng.randint(1965, 2022)
    return entry.artist, entry.title + rng.choice([f" ({year})", f" [{year}]", f" - {year}"])


def _featuring(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
    guest = rng.choice(_GUESTS)
    credit = rng.choice(["feat.", "ft.", "featuring", "Feat."])
    if rng.random() < 0.6:
        return f"{entry.artist} {credit} {guest}", entry.title
    return entry.artist, f"{entry.title} ({credit} {guest})"


def _latin(scripts: Tuple[str, ...]) -> Variant:
    def variant(rng: random.Random, entry: Entry) -> Optional[Tuple[str, str]]:
        if not entry.alias or _script(entry) not in scripts:
            return None
        roll = rng.random()
        if roll < 0.7:
            return entry.alias, entry.latin_title
        if roll < 0.85 or entry.latin_title == entry.title:
            return entry.alias, entry.title
        return entry.artist, entry.latin_title
    return variant


SAME_RELEASE: Dict[str, Variant] = {
    "exact copy": lambda rng, entry: (entry.artist, entry.title),
    "case": _case,
    "accents dropped": _accents,
    "mojibake": _mojibake,
    "typo in artist": _typo("artist"),
    "typo in title": _typo("title"),
    "typo in both": _typo("both"),
    "article moved/dropped": _article,
    "& / and": _ampersand,
    "edition note": _edition,
    "year": _year,
    "featuring credit": _featuring,
    "Latin for Cyrillic": _latin(("CYRILLIC",)),
    "Latin for Greek": _latin(("GREEK",)),
    "Latin for kana": _latin(("KATAKANA", "HIRAGANA")),
}
OTHER_RELEASE = ["same artist, other release", "numbered neighbour", "unrelated"]
KINDS = list(SAME_RELEASE) + OTHER_RELEASE


def read_library(path: pathlib.Path) -> List[Entry]:
    with open(path, newline="", encoding="utf-8") as f:
        reader = csv.DictReader(f)
        if not {"artist", "title"} <= set(reader.fieldnames or ()):
            raise SystemExit(f"{path}: expected a CSV file with the columns artist and title")
        return [Entry(r["artist"], r["title"]) for r in reader if r["artist"] and r["title"]]


@dataclasses.dataclass
class Split:
    library: List[Entry]
    held_out_titles: Dict[str, List[str]]  # albums of library artists the library lacks
    absent: List[Entry]  # albums of artists the library lacks


def split(rows: Sequence[Entry], rng: random.Random) -> Split:
    """Hold out one album of half of the artists with several, and the albums of a tenth of the artists
    with one (at least one of each where there are such); the cross-script rows all stay."""
    by_artist: Dict[str, List[Entry]] = defaultdict(list)
    for row in rows:
        if row not in by_artist[row.artist]:
            by_artist[row.artist].append(row)
    several = [a for a, albums in by_artist.items() if len(albums) > 1]
    single = [a for a, albums in by_artist.items() if len(albums) == 1]
    thinned = set(rng.sample(several, (len(several) + 1) // 2))
    absent_artists = set(rng.sample(single, (len(single) + 9) // 10))
    library: List[Entry] = []
    held_out: Dict[str, List[str]] = {}
    absent: List[Entry] = []
    for artist, albums in by_artist.items():
        if artist in thinned:
            out = rng.randrange(len(albums))
            held_out[artist] = [albums[out].title]
            library += albums[:out] + albums[out + 1:]
        elif artist in absent_artists:
            absent += albums
        else:
            library += albums
    library += [e for e in CROSS_SCRIPT if e not in library]
    return Split(library, held_out, absent)


def _next_number(rng: random.Random, title: str) -> Optional[str]:
    """`title` with one of its numbers changed (2 -> 3, II -> III), or a sequel number added."""
    found = list(_NUMBER.finditer(title))
    if not found:
        return title + rng.choice([" Vol. 2", ", Vol. 3", " II", " III", " 2", " Part 2"])
    m = rng.choice(found)
    n = m.group()
    if n.isdigit():
        new = str(int(n) + rng.choice([1, 2, -1])).zfill(len(n))
        if int(new) < 0:
            return None
    else:
        k = _ROMAN.index(n.lower())
        new = _ROMAN[k + 1]
        new = new.upper() if n.isupper() else new.capitalize() if n[0].isupper() else new
    return title[:m.start()] + new + title[m.end():]


def generate(rows: Sequence[Entry], per_kind: int, seed: int = SEED) -> Tuple[List[Entry], List[Release]]:
    """The library and up to `per_kind` distinct labelled releases of each kind, the same for the same seed."""
    rng = random.Random(seed)
    parts = split(rows, rng)
    library = parts.library
    held = {(loose(e.artist), loose(e.title)) for e in library}
    titles_of: Dict[str, set] = defaultdict(set)
    for e in library:
        titles_of[e.artist].add(number_free(e.title))
    releases: List[Release] = []

    def fill(kind: str, make: Callable[[], Optional[Tuple[str, str, Optional[Entry]]]], is_held: bool) -> None:
        seen = set()
        for _ in range(per_kind * 20):
            if len(seen) >= per_kind:
                break
            made = make()
            if made is None:
                continue
            artist, title, source = made
            # A release made as another one of the library is no release it lacks.
            if (artist, title) in seen or (not is_held and (loose(artist), loose(title)) in held):
                continue
            seen.add((artist, title))
            releases.append(Release(artist, title, kind, is_held, source))

    for kind, variant in SAME_RELEASE.items():
        # The rows it applies to, probed with an rng of their own so that the releases stay those of the seed.
        probe = random.Random(0)
        rows_for = [e for e in library if any(variant(probe, e) is not None for _ in range(3))]

        def same(variant: Variant = variant, rows_for: List[Entry] = rows_for) \
                -> Optional[Tuple[str, str, Optional[Entry]]]:
            if not rows_for:
                return None
            entry = rng.choice(rows_for)
            made = variant(rng, entry)
            return None if made is None else (*made, entry)
        fill(kind, same, True)

    # Real albums: the held-out ones, then those of absent artists, under a library artist.
    other_titles = [t for ts in parts.held_out_titles.values() for t in ts] + [e.title for e in parts.absent]

    def other_release() -> Optional[Tuple[str, str, Optional[Entry]]]:
        if not other_titles:
            return None
        entry = rng.choice(library)
        own = parts.held_out_titles.get(entry.artist, [])
        title = rng.choice(own) if own and rng.random() < 0.5 else rng.choice(other_titles)
        if number_free(title) in titles_of[entry.artist]:
            return None  # a numbered neighbour, made below
        return entry.artist, title, entry

    # The held-out albums that differ from one of the artist's library albums in their numbers only.
    neighbours = [(t, e) for e in library for t in parts.held_out_titles.get(e.artist, [])
                  if number_free(t) == number_free(e.title)]

    def numbered() -> Optional[Tuple[str, str, Optional[Entry]]]:
        if neighbours and rng.random() < 0.2:
            title, entry = rng.choice(neighbours)
        else:
            entry = rng.choice(library)
            title = _next_number(rng, entry.title)
        return None if title is None else (entry.artist, title, entry)

    absent_artists = sorted({e.artist for e in parts.absent})
    made_up = names.generate_names(4 * per_kind, seed=seed)

    def unrelated() -> Optional[Tuple[str, str, Optional[Entry]]]:
        roll = rng.random()
        if roll < 0.3:
            e = rng.choice(parts.absent)
            return e.artist, e.title, None
        if roll < 0.6:
            return rng.choice(absent_artists), rng.choice(other_titles), None
        return rng.choice(made_up).strip(), rng.choice(made_up).strip(), None

    fill("same artist, other release", other_release, False)
    fill("numbered neighbour", numbered, False)
    if parts.absent:
        fill("unrelated", unrelated, False)
    return library, releases


# A rule set: the library in, an index out (its classify and explain are what
# is used). A second rule set is one more entry.
RuleSet = Callable[[Sequence[Entry]], Any]


def _standard(library: Sequence[Entry]) -> Any:
    from zemo_etl.index import LibraryIndex
    return LibraryIndex([(e.artist, e.title) for e in library])


def _careful(library: Sequence[Entry]) -> Any:
    from zemo_etl.index import LibraryIndex
    return LibraryIndex([(e.artist, e.title, e.alias or None) for e in library], rules="careful")


def _careful_without(step: int) -> RuleSet:
    """The careful rules with one step turned off: what that step does, measured alone."""
    def rules(library: Sequence[Entry]) -> Any:
        from zemo_etl import _ext
        from zemo_etl.index import LibraryIndex
        native = _ext.CarefulIndex([(e.artist, e.title) for e in library], [e.alias for e in library],
                                   _ext.CAREFUL_STEPS & ~step)
        return LibraryIndex._wrap(native, "built")
    return rules


RULE_SETS: Dict[str, RuleSet] = {
    "standard": _standard,
    "careful": _careful,
}
# Each careful step by its bit (src/fuzzy/careful.hpp), for --steps.
CAREFUL_STEPS = {"one entry decides": 1, "trigram candidates": 2, "name forms": 4, "ASCII across scripts": 8,
                 "aliases": 16, "number guard": 32}


def _cpu() -> float:
    u = resource.getrusage(resource.RUSAGE_SELF)  # every thread of the process, the pool's included
    return u.ru_utime + u.ru_stime


@dataclasses.dataclass
class Row:
    """Counts for one kind (or a total) under one rule set."""

    label: str
    held: Optional[bool]
    n: int = 0
    decisions: Counter = dataclasses.field(default_factory=Counter)
    wrong_keeps: int = 0
    not_held: int = 0
    wrong_prunes: int = 0
    held_n: int = 0
    cpu: float = 0.0

    def add(self, release: Release, decision: str) -> None:
        self.n += 1
        self.decisions[decision] += 1
        if release.held:
            self.held_n += 1
            self.wrong_prunes += decision == "prune"
        else:
            self.not_held += 1
            self.wrong_keeps += decision == "keep"

    def line(self) -> str:
        def share(k: int, n: int) -> str:
            return f"{100 * k / n:6.1f} %" if n else "       -"
        us = f"{1e6 * self.cpu / self.n:8.1f}" if self.cpu else "       -"
        return (f"  {self.label:<28} {self.n:>6}  {share(self.wrong_keeps, self.not_held)}  "
                f"{share(self.wrong_prunes, self.held_n)}  {share(self.decisions['review'], self.n)}  {us}")


HEADER = (f"  {'kind':<28} {'n':>6}  {'wr.keep':>8}  {'wr.prune':>8}  {'review':>8}  {'us/rel':>8}\n"
          "  (wrong keeps: % of releases the library lacks; wrong prunes: % of those it holds; "
          "review: % of all)")


def measure(index: Any, releases: Sequence[Release], repeat: int = 3) -> Tuple[List[Row], List[str]]:
    """Per kind and in total: the counts, and the CPU time of classifying that kind's releases alone (the
    best of `repeat`); with the decisions, in the order of `releases`."""
    classify = index.classify
    by_kind: Dict[str, List[Release]] = defaultdict(list)
    for r in releases:
        by_kind[r.kind].append(r)
    artists, titles = [r.artist for r in releases], [r.title for r in releases]
    classify(artists[:10], titles[:10])  # starts the pool

    def timed(a: List[str], t: List[str]) -> Tuple[float, List[str]]:
        best, out = None, []
        for _ in range(repeat):
            start = _cpu()
            out = classify(a, t)
            spent = _cpu() - start
            best = spent if best is None else min(best, spent)
        return best or 0.0, out

    rows = []
    for kind in KINDS:
        if kind not in by_kind:
            continue
        group = by_kind[kind]
        row = Row(kind, group[0].held)
        row.cpu, decided = timed([r.artist for r in group], [r.title for r in group])
        for r, d in zip(group, decided):
            row.add(r, d)
        rows.append(row)
    cpu, decisions = timed(artists, titles)
    totals = [Row("same release (all)", True), Row("other release (all)", False), Row("all", None)]
    for r, d in zip(releases, decisions):
        totals[0 if r.held else 1].add(r, d)
        totals[2].add(r, d)
    totals[2].cpu = cpu
    return rows + totals, decisions


def wrong(releases: Sequence[Release], decisions: Sequence[str]) -> Iterable[Tuple[Release, str]]:
    """The releases decided wrongly (keep of one the library lacks, prune of one it holds) or sent to review."""
    for r, d in zip(releases, decisions):
        if d == "review" or (d == "keep") != r.held:
            yield r, d


def _examples(index: Any, releases: Sequence[Release], decisions: Sequence[str], n: int) -> None:
    shown: Counter = Counter()
    picked = []
    # Wrong decisions first, then the releases sent to review.
    for r, d in sorted(wrong(releases, decisions), key=lambda rd: rd[1] == "review"):
        if shown[r.kind] < n:
            shown[r.kind] += 1
            picked.append((r, d))
    explained = index.explain([r.artist for r, _ in picked], [r.title for r, _ in picked])
    for (r, d), e in zip(picked, explained):
        src = f"  <- {r.source.artist} / {r.source.title}" if r.source else ""
        best = e["token_set_entries"][0][1:] if e["token_set_entries"] else ()
        print(f"  [{r.kind}] {d}: {r.artist} / {r.title}{src}\n      {e['reason']}; "
              f"set {e['token_set']:.2f} sort {e['token_sort']:.2f} two-stage {e['two_stage']:.2f}"
              f"{'; best token-set entry ' + ' / '.join(best) if best else ''}")


def data_path() -> pathlib.Path:
    return pathlib.Path(os.environ.get("ZEMO_MUSIC_NAMES", DATA))


def run(quick: bool, examples: int = 0, steps: bool = False) -> None:
    path = data_path()
    print(f"\n== Decision quality on labelled real names ({'quick' if quick else 'full'}) ==", flush=True)
    if not path.is_file():
        print(f"  skipped: no {path} (set ZEMO_MUSIC_NAMES to the file of real artist and album names)")
        return
    library, releases = generate(read_library(path), per_kind=60 if quick else 600)
    counts = Counter(r.held for r in releases)
    print(f"  library: {len(library)} rows; releases: {len(releases)} "
          f"({counts[True]} the library holds, {counts[False]} it lacks); seed {SEED}", flush=True)
    rule_sets = dict(RULE_SETS)
    if steps:
        rule_sets.update({f"careful without {name}": _careful_without(bit) for name, bit in CAREFUL_STEPS.items()})
    for name, rules in rule_sets.items():
        index = rules(library)
        rows, decisions = measure(index, releases, repeat=1 if quick else 3)
        print(f"\n  rules: {name}  (CPU time, all threads)\n{HEADER}")
        for row in rows:
            if row.label == "same release (all)":
                print()
            print(row.line(), flush=True)
        if examples:
            print(f"\n  wrong or undecided, up to {examples} per kind ({name} rules):")
            _examples(index, releases, decisions, examples)
    print(f"  load average (includes other users of the machine): {os.getloadavg()}", flush=True)


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="fewer releases per kind, for a smoke run")
    ap.add_argument("--examples", type=int, default=0, metavar="N",
                    help="print up to N wrongly decided or undecided releases per kind, with the evidence")
    ap.add_argument("--steps", action="store_true",
                    help="also measure the careful rules with each of their steps turned off")
    args = ap.parse_args()
    try:
        run(args.quick, args.examples, args.steps)
    except BrokenPipeError:  # output cut short (| head): no traceback, and none at exit either
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
