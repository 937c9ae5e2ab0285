"""Generated but realistic demo data: a library dump and an incoming release list.

The library is written the way mariadb-dump 10.11 writes a table (header and
trailer comments, the version-gated SET statements, one extended INSERT per
megabyte with one tuple per line, backslash escapes), with the odd
double-encoded (mojibake) name that real exports carry. The release list holds
library releases as people type them (case, missing accents, articles moved),
duplicates, misspellings, remasters and editions, new titles by known
artists, and releases the library does not have.

``tools/gen_sample_data.py`` writes the bundled sample with a fixed seed;
``zemo-etl demo --scale N`` writes N of each on the fly.
"""

from __future__ import annotations

import contextlib
import csv
import io
import os
import random
import re
import sys
import traceback
import unicodedata
from collections.abc import Callable, Iterable, Iterator, Sequence
from operator import itemgetter
from typing import IO, Optional

from zemo_etl import schema
from zemo_etl.safety import atomic_write

# mariadb-dump starts a new INSERT statement when the next row would take the
# statement past this many bytes (measured against mariadb-dump 10.11 with its
# default net_buffer_length; tests/test_demo_data.py compares the two).
NET_BUFFER_LENGTH = 1024 * 1024 - 2048

_ADJECTIVES = """
black white silver golden crimson blue green violet scarlet amber hollow broken
quiet loud electric velvet paper glass iron stone burning frozen wild gentle
lonely lucky secret midnight morning evening summer winter autumn spring
distant northern southern eastern western little big last first lost hidden
sacred savage silent sweet bitter strange wandering dancing falling rising
sleeping flying shining fading endless open empty heavy light new old young
""".split()
_NOUNS = """
river mountain ocean city garden mirror shadow window engine machine heart
dream echo signal wave fire rain storm thunder moon sun star planet comet
forest desert island harbour highway bridge tower castle church railway
station radio satellite telephone letter diary camera piano guitar drum
violin choir orchestra army circus carnival parade kingdom empire republic
wolf fox raven owl horse tiger serpent lion bird bee butterfly whale
""".split()
_PLACES = """
Memphis Berlin Lisbon Havana Tokyo Lagos Bristol Detroit Reykjavík Montréal
Kingston Seville Kraków Istanbul Bogotá Marseille Glasgow Oaxaca Osaka Cairo
""".split()
_FIRST = """
John Mary Alice Nina Miles Ella Louis Billie Joni Bob Kate Marvin Stevie
Aretha Otis Etta Curtis Gil Sun Chet Dinah Sarah Frank Patti Lou Neil Tom
José María Zoë Søren Ólafur Björn Émilie Françoise Jürgen Łukasz Agnès Iñaki
Ségolène Dvořák Antônio Mónica Andrés Håkon Åsa Chloé
""".split()
_LAST = """
Davis Coltrane Mitchell Dylan Bush Gaye Wonder Franklin Redding James Mayfield
Scott Baker Washington Vaughan Sinatra Smith Reed Young Waits Parker Monk
Gonçalves Müller Høeg Sørensen Ibáñez Jónsson Nowak Lefèvre Černý Öztürk
Ramírez Gauthier Kowalski Nakamura Okafor Lindqvist Ferreira Rossi Petrović
""".split()
_CYRILLIC = ["Кино", "Звёзды", "Аквариум", "Ночные снайперы", "Сплин", "Зимний сад", "Белые ночи"]
_CYRILLIC_TITLES = ["Лучшее", "Группа крови", "Последний герой", "Звезда", "Ночь", "Город"]
_JAPANESE = ["夜明けの街", "青い鳥", "ひかり", "東京の夜"]
_GENRES = ["Rock", "Jazz", "Electronic", "Folk", "Hip-Hop", "Soul", "Classical", "Pop", "Reggae",
           "Blues", "Country", "Latin", "World", "Metal", "Punk", "Post-Rock", "Rock en Español"]
_FORMATS = ["LP", "LP", "LP", "CD", "CD", '7"', '12"', "Cassette"]
_EDITIONS = [" (Remastered)", " (Remastered 2011)", " (2009 Remaster)", " [Deluxe Edition]",
             " (Expanded Edition)", " (Live)", " [Mono]", " (Anniversary Edition)", " - Remastered"]
# Words the library's names never use: releases it does not hold.
_OTHER_WORDS = """
lunar copper marble neon cobalt saffron hazel ivory jade onyx opal quartz
rusty dusty misty foggy sunny windy cloudy stormy snowy rocky sandy grassy
mice kites lanterns tides pylons meadows orchards tunnels ferries pebbles
mosaics spindles glaciers lagoons canyons embers marrow thistle clover
juniper cedar willow aspen heron crane badger otter lynx marten falcon
""".split()
_OTHER_FIRST = ["Ines", "Tariq", "Yuki", "Kofi", "Aino", "Mateo", "Leila", "Ravi", "Signe", "Dmitri",
                "Fatou", "Keanu", "Oona", "Pilar", "Bashir", "Greta"]
_OTHER_LAST = ["Halvorsen", "Abernathy", "Quispe", "Tanaka", "Mbeki", "Vukovic", "Oyelaran", "Castellanos",
               "Eriksdottir", "Zielinski", "Nakashima", "Delacroix", "Achterberg", "Moravec"]
_COMPILATION_ARTISTS = ["Various Artists", "Various", "V/A", "Soundtrack", "Original Soundtrack"]


def _plural(noun: str) -> str:
    if noun.endswith(("s", "x", "ch", "sh")):
        return noun + "es"
    if noun.endswith("y") and noun[-2:-1] not in ("a", "e", "o", "u"):
        return noun[:-1] + "ies"
    if noun.endswith("f"):
        return noun[:-1] + "ves"
    return noun + "s"


def _cap(words: Iterable[str]) -> str:
    return " ".join(w[:1].upper() + w[1:] for w in words)


_ENSEMBLES = ["", "", " Collective", " Trio", " Quartet", " Orchestra"]
_MIXES = ["Original Mix", "Radio Edit", "Instrumental"]
_CYRILLIC_LETTER = re.compile("[\u0400-\u04ff]")


class _Pieces:
    """What _cap and _plural make of the words, made once: a name is joined
    from these rather than built word by word, tens of millions of times.
    A table of pairs is indexed by first * len(second words) + second."""

    def __init__(self) -> None:
        nouns, adjectives = _NOUNS, _ADJECTIVES
        self.adjective = [_cap([a]) for a in adjectives]
        self.noun = [_cap([w]) for w in nouns]
        self.plural = [_cap([_plural(w)]) for w in nouns]
        self.first_last = [f"{f} {last}" for f in _FIRST for last in _LAST]
        self.adjective_noun = [_cap([a, w]) for a in adjectives for w in nouns]
        self.adjective_plural = [_cap([a, _plural(w)]) for a in adjectives for w in nouns]
        self.noun_place = [_cap([w, p]) for w in nouns for p in _PLACES]
        self.noun_of_plural = ["The " + _cap([w, "of", _plural(v)]).replace(" Of ", " of ")
                               for w in nouns for v in nouns]
        self.songs_for = ["Songs for " + _cap(["the", a, w]).replace("The", "the") for a in adjectives for w in nouns]
        self.noun_mix = [f"{w.capitalize()} ({m})" for w in nouns for m in _MIXES]
        self.other_word = [_cap([w]) for w in _OTHER_WORDS]
        self.other_first_last = [f"{f} {last}" for f in _OTHER_FIRST for last in _OTHER_LAST]


_PIECES: Optional[_Pieces] = None


def _pieces() -> _Pieces:
    global _PIECES
    if _PIECES is None:
        _PIECES = _Pieces()
    return _PIECES


def _drawing(rng: random.Random) -> Callable[[int], int]:
    """rng.randrange(n) for n > 0, which is rng.choice's draw too (the
    interpreter's _randbelow_with_getrandbits, the same from 3.9 on)."""
    bits = rng.getrandbits

    def below(n: int) -> int:
        k = n.bit_length()
        r = bits(k)
        while r >= n:
            r = bits(k)
        return r
    return below


def _drawing_below(rng: random.Random, n: int) -> Callable[[], int]:
    """rng.randrange(n) for a fixed n > 0, its bit length found once."""
    bits, k = rng.getrandbits, n.bit_length()

    def draw() -> int:
        r = bits(k)
        while r >= n:
            r = bits(k)
        return r
    return draw


def _drawing_pairs(rng: random.Random, n: int, m: int) -> Callable[[], int]:
    """i * m + j for i = rng.randrange(n), then j = rng.randrange(m): the
    index in a table of pairs, in one call rather than two."""
    bits, k, l = rng.getrandbits, n.bit_length(), m.bit_length()

    def pair() -> int:
        i = bits(k)
        while i >= n:
            i = bits(k)
        j = bits(l)
        while j >= m:
            j = bits(l)
        return i * m + j
    return pair


class _Draws:
    """Names drawn from one generator: each function makes the same calls
    on it, in the same order, as its plain namesake in
    tests/reference/demo_data.py, and returns the same text."""

    def __init__(self, rng: random.Random) -> None:
        p = _pieces()
        uniform = rng.random
        below = self.below = _drawing(rng)
        n_noun, n_place, n_adjective = len(_NOUNS), len(_PLACES), len(_ADJECTIVES)
        n_cyrillic, n_japanese = len(_CYRILLIC), len(_JAPANESE)
        first_last_at = _drawing_pairs(rng, len(_FIRST), len(_LAST))
        adjective_noun_at = _drawing_pairs(rng, n_adjective, n_noun)
        noun_noun_at = _drawing_pairs(rng, n_noun, n_noun)
        noun_place_at = _drawing_pairs(rng, n_noun, n_place)
        noun_mix_at = _drawing_pairs(rng, n_noun, len(_MIXES))
        other_first_last_at = _drawing_pairs(rng, len(_OTHER_FIRST), len(_OTHER_LAST))
        noun_at, adjective_at, place_at = (
            _drawing_below(rng, n_noun), _drawing_below(rng, n_adjective), _drawing_below(rng, n_place))
        first_last, adjective_noun, adjective_plural = p.first_last, p.adjective_noun, p.adjective_plural
        noun, plural, adjective, noun_place = p.noun, p.plural, p.adjective, p.noun_place

        def sample(population: Sequence[str], k: int) -> list[str]:
            # rng.sample(population, k): where the population is larger than a small set
            # (21) and k at most 5, distinct draws below its length, a repeat drawn again.
            n = len(population)
            if n <= 21 or k > 5:
                return rng.sample(population, k)
            chosen: list[int] = []
            for _ in range(k):
                j = below(n)
                while j in chosen:
                    j = below(n)
                chosen.append(j)
            return [population[j] for j in chosen]

        def artist() -> str:
            kind = uniform()
            if kind < 0.35:
                return first_last[first_last_at()]
            if kind < 0.55:
                return "The " + adjective_plural[adjective_noun_at()]
            if kind < 0.70:
                return adjective_noun[adjective_noun_at()]
            if kind < 0.78:
                return first_last[first_last_at()] + " & The " + plural[noun_at()]
            if kind < 0.84:
                return noun[noun_at()] + _ENSEMBLES[below(len(_ENSEMBLES))]
            if kind < 0.89:
                return first_last[first_last_at()] + " and " + first_last[first_last_at()]
            if kind < 0.94:
                # choice(_CYRILLIC) + choice(["", "", " " + str(randint(2, 9))])
                name, number = _CYRILLIC[below(n_cyrillic)], 2 + below(8)
                return name + " " + str(number) if below(3) == 2 else name
            if kind < 0.96:
                return _JAPANESE[below(n_japanese)]
            return noun_place[noun_place_at()]

        n_cyrillic_titles = len(_CYRILLIC_TITLES)
        noun_of_plural, songs_for, noun_mix = p.noun_of_plural, p.songs_for, p.noun_mix

        def title(cyrillic: bool) -> str:
            # told whether the artist has a Cyrillic letter rather than the artist
            if cyrillic and uniform() < 0.7:
                name, number = _CYRILLIC_TITLES[below(n_cyrillic_titles)], 2 + below(4)
                return name + " " + str(number) if below(3) == 2 else name
            kind = uniform()
            if kind < 0.25:
                return adjective_noun[adjective_noun_at()]
            if kind < 0.40:
                return noun_of_plural[noun_noun_at()]
            if kind < 0.52:
                return plural[noun_at()]
            if kind < 0.62:
                return "Live in " + _PLACES[place_at()]
            if kind < 0.70:
                return songs_for[adjective_noun_at()]
            if kind < 0.77:
                first, second = sample(noun, 2)
                return first + (" & " if below(2) == 0 else " And ") + second
            if kind < 0.83:
                return adjective_plural[adjective_noun_at()] + ", Vol. " + str(1 + below(4))
            if kind < 0.88:
                return noun_mix[noun_mix_at()]
            if kind < 0.92:
                return "It's " + adjective[adjective_at()] + " Out There"
            return adjective[adjective_at()] + " " + adjective_noun[adjective_noun_at()]

        other_word, other_first_last = p.other_word, p.other_first_last

        def other_release() -> tuple[str, str]:
            if uniform() < 0.5:
                artist = other_first_last[other_first_last_at()]
            else:
                artist = " ".join(sample(other_word, 2))
            return artist, " ".join(sample(other_word, 1 + below(3)))

        self.artist, self.title, self.other_release = artist, title, other_release


def _has_cyrillic(s: str) -> bool:
    return not s.isascii() and _CYRILLIC_LETTER.search(s) is not None


def _mojibake(s: str) -> str:
    # UTF-8 read as Latin-1 and written back as UTF-8, the classic export fault.
    try:
        return s.encode("utf-8").decode("cp1252")
    except UnicodeDecodeError:
        return s


_NOT_LETTER = re.compile("[^A-Z]+")


def _call_letters(artist: str) -> str:
    letters = _NOT_LETTER.sub("", artist.upper())
    return (letters[3:6] if letters.startswith("THE") and len(letters) > 5 else letters[:3]) or "ZZZ"


def _alternate(artist: str) -> Optional[str]:
    """The first of a pair of artists, or None for one artist."""
    if " & " in artist or " and " in artist:
        return artist.split(" & ")[0].split(" and ")[0]
    return None


# The different names _Draws.artist can make (tests/test_demo_data.py counts
# them from the words): library_rows draws a third as many artists as rows,
# and past this would draw for ever.
_MOST_ARTISTS = 3_852_999
MOST_LIBRARY_ROWS = 3 * _MOST_ARTISTS + 2


def library_rows(n: int, seed: int = 1) -> list[tuple[object, ...]]:
    """n library rows in the column order of schema.library_columns()."""
    if n > MOST_LIBRARY_ROWS:
        raise ValueError(f"at most {MOST_LIBRARY_ROWS:,} library rows: their artists are a third as many, "
                         f"and the words make {_MOST_ARTISTS:,} different ones")
    rng = random.Random(seed)
    draws = _Draws(rng)
    uniform, paretovariate, draw_artist, draw_title = rng.random, rng.paretovariate, draws.artist, draws.title
    artists: list[str] = []
    seen_artists: set[str] = set()
    missing = max(1, n // 3)
    while missing:
        a = draw_artist()
        if a not in seen_artists:
            seen_artists.add(a)
            artists.append(a)
            missing -= 1
    # What the rows take from their artist, by slot: an artist's index, then
    # the compilation artists' (or the index of an artist of the same name).
    n_artists, last = len(artists), len(artists) - 1
    compilation_slots = [artists.index(a) if a in seen_artists else n_artists + i
                         for i, a in enumerate(_COMPILATION_ARTISTS)]
    names = artists + _COMPILATION_ARTISTS
    cyrillic = [_has_cyrillic(a) for a in names]
    article_moved = [a[4:] + ", The" if a.startswith("The ") else None for a in names]
    alternate_of = [_alternate(a) for a in names]
    call_letters = list(map(_call_letters, names))
    released = [0] * len(names)
    artist_at, compilation_at = _drawing_below(rng, n_artists), _drawing_below(rng, len(_COMPILATION_ARTISTS))
    genre_at, format_at = _drawing_below(rng, len(_GENRES)), _drawing_below(rng, len(_FORMATS))
    rows: list[tuple[object, ...]] = []
    append = rows.append
    seen_pairs: set[tuple[str, str]] = set()
    add_pair = seen_pairs.add
    made = 0
    while made < n:
        # A few artists hold many releases, most hold one to three.
        if uniform() < 0.03:
            c = compilation_at()
            artist, slot, number = _COMPILATION_ARTISTS[c], compilation_slots[c], 900 + c
        else:
            slot = min(int(paretovariate(1.2)) - 1, last) if uniform() < 0.3 else artist_at()
            artist, number = artists[slot], 100 + slot
        title = draw_title(cyrillic[slot])
        size = len(seen_pairs)
        add_pair((artist, title))
        if len(seen_pairs) == size:
            continue
        released[slot] += 1
        stored_artist, stored_title = artist, title
        if uniform() < 0.04:
            stored_artist = _mojibake(stored_artist)
        if uniform() < 0.02:
            stored_title = _mojibake(stored_title)
        moved = article_moved[slot]
        if moved is not None and uniform() < 0.15:
            stored_artist = moved
        alternate = alternate_of[slot]
        if alternate is not None and uniform() >= 0.3:
            alternate = None
        made += 1
        append((made, stored_title, stored_artist, call_letters[slot], number, released[slot],
                _GENRES[genre_at()], _FORMATS[format_at()], alternate))
    return rows


def _strip_accents(s: str) -> str:
    return "".join(c for c in unicodedata.normalize("NFD", s) if not unicodedata.combining(c))


class _Originals(dict[str, str]):
    """The names as the library meant them, mojibake and moved articles undone, each worked out once."""

    def __missing__(self, s: str) -> str:
        name = s
        if not s.isascii():  # ASCII is the same in both: the name itself, not a copy
            try:
                name = s.encode("cp1252").decode("utf-8")
            except (UnicodeEncodeError, UnicodeDecodeError):
                pass
        self[s] = name = "The " + name[:-5] if name.endswith(", The") else name
        return name


def release_rows(library: Sequence[tuple[object, ...]], n: int, seed: int = 2) -> list[tuple[str, str]]:
    """n incoming (artist, title) releases against a library from library_rows()."""
    rng = random.Random(seed)
    draws = _Draws(rng)
    uniform, below, draw_artist, draw_title, other_release = (
        rng.random, draws.below, draws.artist, draws.title, draws.other_release)

    original = _Originals().__getitem__
    artists = list(map(original, map(str, map(itemgetter(2), library))))
    known = list(zip(artists, map(original, map(str, map(itemgetter(1), library)))))
    known_artists = sorted(set(artists))
    n_known, n_known_artists, n_editions = len(known), len(known_artists), len(_EDITIONS)
    bits, known_bits = rng.getrandbits, n_known.bit_length()
    unaccented: dict[str, str] = {}

    def as_typed(s: str) -> str:
        r = uniform()
        if r < 0.15:
            return s.lower()
        if r < 0.20:
            return s.upper()
        if r < 0.35:
            plain = unaccented.get(s)
            if plain is None:
                plain = unaccented[s] = _strip_accents(s)
            return plain
        if r < 0.40:
            return "  " + s.replace(" ", "  ") + " "
        return s

    def typo(s: str) -> str:
        if len(s) < 4:
            return s + s[-1:]
        i = 1 + below(len(s) - 2)
        kind = below(4)
        if kind == 0:
            return s[:i] + s[i + 1:]                      # dropped letter
        if kind == 1:
            return s[:i] + s[i] + s[i:]                   # doubled letter
        if kind == 2:
            return s[:i - 1] + s[i] + s[i - 1] + s[i + 1:]  # swapped neighbours
        return s[:i] + "aeiourstnl"[below(10)] + s[i + 1:]  # wrong letter

    out: list[tuple[str, str]] = []
    append = out.append
    for _ in range(n):  # one release each time round
        r = uniform()
        if n_known:  # below(n_known), inline
            i = bits(known_bits)
            while i >= n_known:
                i = bits(known_bits)
            artist, title = known[i]
        else:
            artist, title = draw_artist(), draw_title(False)
        if r < 0.30:
            append((as_typed(artist), as_typed(title)))
        elif r < 0.40 and out:
            a, t = out[below(len(out))]
            append((a if uniform() < 0.5 else a.lower(), t))   # duplicate
        elif r < 0.53:
            if uniform() < 0.5:
                append((typo(artist), title))
            else:
                append((artist, typo(title)))
        elif r < 0.63:
            append((artist, title + _EDITIONS[below(n_editions)]))
        elif r < 0.68:
            moved = artist[4:] + ", The" if artist.startswith("The ") else "The " + artist
            append((moved, title))
        elif r < 0.75 and n_known_artists:
            a = known_artists[below(n_known_artists)]
            append((a, draw_title(_has_cyrillic(a))))               # new title, known artist
        elif r < 0.80:
            a = draw_artist()
            append((a, draw_title(_has_cyrillic(a))))               # near the library's names
        else:
            append(other_release())                                 # not in the library
    return out


_ESCAPED = re.compile("[\\\\\0\n\r'\"\x1a]")


def _sql_literal(value: object) -> str:
    if value is None:
        return "NULL"
    if isinstance(value, int):
        return str(value)
    s = str(value)
    if not _ESCAPED.search(s):  # most names: nothing to escape
        return "'" + s + "'"
    s = (s.replace("\\", "\\\\").replace("\0", "\\0").replace("\n", "\\n").replace("\r", "\\r")
         .replace("'", "\\'").replace('"', '\\"').replace("\x1a", "\\Z"))
    return "'" + s + "'"


_HEADER = """/*M!999999\\- enable the sandbox mode */ 
-- MariaDB dump 10.19  Distrib 10.11.19-MariaDB, for debian-linux-gnu (x86_64)
--
-- Host: localhost    Database: {database}
-- ------------------------------------------------------
-- Server version\t10.11.19-MariaDB-0+deb12u1

/*!40101 SET @OLD_CHARACTER_SET_CLIENT=@@CHARACTER_SET_CLIENT */;
/*!40101 SET @OLD_CHARACTER_SET_RESULTS=@@CHARACTER_SET_RESULTS */;
/*!40101 SET @OLD_COLLATION_CONNECTION=@@COLLATION_CONNECTION */;
/*!40101 SET NAMES utf8mb4 */;
/*!40103 SET @OLD_TIME_ZONE=@@TIME_ZONE */;
/*!40103 SET TIME_ZONE='+00:00' */;
/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0 */;
/*!40014 SET @OLD_FOREIGN_KEY_CHECKS=@@FOREIGN_KEY_CHECKS, FOREIGN_KEY_CHECKS=0 */;
/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;
/*!40111 SET @OLD_SQL_NOTES=@@SQL_NOTES, SQL_NOTES=0 */;
"""

_TRAILER = """/*!40103 SET TIME_ZONE=@OLD_TIME_ZONE */;

/*!40101 SET SQL_MODE=@OLD_SQL_MODE */;
/*!40014 SET FOREIGN_KEY_CHECKS=@OLD_FOREIGN_KEY_CHECKS */;
/*!40014 SET UNIQUE_CHECKS=@OLD_UNIQUE_CHECKS */;
/*!40101 SET CHARACTER_SET_CLIENT=@OLD_CHARACTER_SET_CLIENT */;
/*!40101 SET CHARACTER_SET_RESULTS=@OLD_CHARACTER_SET_RESULTS */;
/*!40101 SET COLLATION_CONNECTION=@OLD_COLLATION_CONNECTION */;
/*!40111 SET SQL_NOTES=@OLD_SQL_NOTES */;

-- Dump completed
"""

_LIBRARY_CREATE = """CREATE TABLE `library` (
  `id` int(11) NOT NULL,
  `title` text DEFAULT NULL,
  `artist` text DEFAULT NULL,
  `call_letters` text DEFAULT NULL,
  `artist_call_number` int(11) DEFAULT NULL,
  `release_call_number` int(11) DEFAULT NULL,
  `genre` text DEFAULT NULL,
  `format` text DEFAULT NULL,
  `alternate_artist_name` text DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci"""

_NOTES_CREATE = """CREATE TABLE `library_notes` (
  `id` int(11) NOT NULL,
  `note` text DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4 COLLATE=utf8mb4_general_ci"""


def insert_statements(table: str, rows: Iterable[Sequence[object]]) -> Iterable[str]:
    """The table's INSERT statements as mariadb-dump writes them, each ending in ';\n'."""
    head = f"INSERT INTO `{table}` VALUES"
    init_length = len(head.encode()) + 4
    parts: list[str] = []
    total = 0
    for row in rows:
        tup = "(" + ",".join(map(_sql_literal, row)) + ")"
        # The dump tool's accounting: each row counts its bytes and two more.
        row_length = len(tup.encode()) + 2
        if parts and total + row_length < NET_BUFFER_LENGTH:
            total += row_length
        else:
            if parts:
                yield head + "\n" + ",\n".join(parts) + ";\n"
            parts, total = [], row_length + init_length
        parts.append(tup)
    if parts:
        yield head + "\n" + ",\n".join(parts) + ";\n"


def _table_block(out: IO[str], table: str, create: str, rows: Sequence[Sequence[object]]) -> None:
    out.write(f"\n--\n-- Table structure for table `{table}`\n--\n\n")
    out.write(f"DROP TABLE IF EXISTS `{table}`;\n")
    out.write("/*!40101 SET @saved_cs_client     = @@character_set_client */;\n")
    out.write("/*!40101 SET character_set_client = utf8mb4 */;\n")
    out.write(create + ";\n")
    out.write("/*!40101 SET character_set_client = @saved_cs_client */;\n")
    out.write(f"\n--\n-- Dumping data for table `{table}`\n--\n\n")
    out.write(f"LOCK TABLES `{table}` WRITE;\n")
    out.write(f"/*!40000 ALTER TABLE `{table}` DISABLE KEYS */;\n")
    for statement in insert_statements(table, rows):
        out.write(statement)
    out.write(f"/*!40000 ALTER TABLE `{table}` ENABLE KEYS */;\n")
    out.write("UNLOCK TABLES;\n")


def write_dump(out: IO[str], library: Sequence[Sequence[object]], database: str = "library_db",
               notes: Optional[Sequence[Sequence[object]]] = None) -> None:
    """A dump of the library table (and a notes table, when given) in mariadb-dump's layout."""
    out.write(_HEADER.format(database=database))
    _table_block(out, schema.LIBRARY_TABLE, _LIBRARY_CREATE, library)
    if notes is not None:
        _table_block(out, "library_notes", _NOTES_CREATE, notes)
    out.write(_TRAILER)


def notes_rows(library: Sequence[Sequence[object]]) -> list[tuple[object, ...]]:
    # Catalogue notes; one quotes an INSERT for `library`, which is text, not a row.
    notes: list[tuple[object, ...]] = [
        (1, "INSERT INTO `library` VALUES (99999,'Injected','Nobody',NULL,NULL,NULL,NULL,NULL,NULL);"),
        (2, "Shelf 4 re-filed after the flood.\nCheck the 7\" boxes."),
    ]
    for row in library[: min(len(library), 40)]:
        if isinstance(row[0], int) and row[0] % 7 == 0:
            notes.append((len(notes) + 1, f"Signed copy: {row[1]}"))
    return notes


def write_releases_csv(out: IO[str], releases: Iterable[tuple[str, str]]) -> None:
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(["artist", "title"])
    writer.writerows(releases)


def generate(dump_path: str, releases_path: str, n_library: int, n_releases: int, seed: int = 1) -> None:
    """Write a library dump of n_library rows and a release list of n_releases rows."""
    library = library_rows(n_library, seed)

    def dump() -> None:
        # Written whole or not at all, never through a file planted at the name.
        with atomic_write(dump_path) as f:
            write_dump(f, library, notes=notes_rows(library))

    # The releases are drawn while the dump is written: both are the library's, neither needs the other.
    with _beside(dump):
        releases = release_rows(library, n_releases, seed + 1)
        with atomic_write(releases_path) as f:
            write_releases_csv(f, releases)


def _single_threaded() -> bool:
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:
        return False


@contextlib.contextmanager
def _beside(work: Callable[[], None]) -> Iterator[None]:
    """`work` done by a forked copy of this process while the body runs, and
    waited for after it; an error of either is raised here. A Ctrl-C at the
    terminal reaches both: the copy removes its temporary file and ends (one
    sent to this process alone leaves the copy to finish its file). Where a
    fork is unsafe (other threads, whose locks the copy would inherit held) or
    impossible, `work` is done first, here."""
    if not hasattr(os, "fork") or not _single_threaded():
        work()
        yield
        return
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:  # the copy: never back into the caller's code
        status = 1
        try:
            work()
            status = 0
        except KeyboardInterrupt:
            pass
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)
    interrupted: Optional[KeyboardInterrupt] = None
    try:
        yield
    finally:
        while True:
            try:
                _, status = os.waitpid(pid, 0)
                break
            except KeyboardInterrupt as e:  # the copy had it too: it is ending
                interrupted = e
    if interrupted is not None:
        raise interrupted
    if os.waitstatus_to_exitcode(status) != 0:
        raise OSError(f"writing the demo data failed (status {os.waitstatus_to_exitcode(status)})")


def dump_text(library: Sequence[Sequence[object]]) -> str:
    buf = io.StringIO()
    write_dump(buf, library)
    return buf.getvalue()
