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
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Optional, TypeVar

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
_T = TypeVar("_T")
_COMPILATION_ARTISTS = ["Various Artists", "Various", "V/A", "Soundtrack", "Original Soundtrack"]


class _Random(random.Random):
    """random.Random drawing the same numbers, its `choice` in one call
    rather than two: the generator makes tens of millions of choices."""

    def choice(self, seq: Sequence[_T]) -> _T:  # type: ignore[override]
        # random.Random._randbelow_with_getrandbits, inline.
        n = len(seq)
        k = n.bit_length()
        r = self.getrandbits(k)
        while r >= n:
            r = self.getrandbits(k)
        return seq[r]


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


def _artist(rng: random.Random) -> str:
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


def _other_release(rng: random.Random) -> tuple[str, str]:
    if rng.random() < 0.5:
        artist = f"{rng.choice(_OTHER_FIRST)} {rng.choice(_OTHER_LAST)}"
    else:
        artist = _cap(rng.sample(_OTHER_WORDS, 2))
    return artist, _cap(rng.sample(_OTHER_WORDS, rng.randint(1, 3)))


_CYRILLIC_LETTER = re.compile("[\u0400-\u04ff]")


def _title(rng: random.Random, artist: str) -> str:
    if _CYRILLIC_LETTER.search(artist) and rng.random() < 0.7:
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
    # UTF-8 read as Latin-1 and written back as UTF-8, the classic export fault.
    try:
        return s.encode("utf-8").decode("cp1252")
    except UnicodeDecodeError:
        return s


_NOT_LETTER = re.compile("[^A-Z]+")


def _call_letters(artist: str) -> str:
    letters = _NOT_LETTER.sub("", artist.upper())
    return (letters[3:6] if letters.startswith("THE") and len(letters) > 5 else letters[:3]) or "ZZZ"


def library_rows(n: int, seed: int = 1) -> list[tuple[object, ...]]:
    """n library rows in the column order of schema.library_columns()."""
    rng = _Random(seed)
    artists: list[str] = []
    seen_artists: set[str] = set()
    while len(artists) < max(1, n // 3):
        a = _artist(rng)
        if a not in seen_artists:
            seen_artists.add(a)
            artists.append(a)
    rows: list[tuple[object, ...]] = []
    per_artist: dict[str, int] = {}
    seen_pairs: set[tuple[str, str]] = set()
    artist_numbers = {a: 100 + i for i, a in enumerate(artists)}
    call_letters: dict[str, str] = {}
    while len(rows) < n:
        compilation = rng.random() < 0.03
        # A few artists hold many releases, most hold one to three.
        artist = rng.choice(_COMPILATION_ARTISTS) if compilation else artists[
            min(int(rng.paretovariate(1.2)) - 1, len(artists) - 1) if rng.random() < 0.3 else rng.randrange(len(artists))]
        title = _title(rng, artist)
        if (artist, title) in seen_pairs:
            continue
        seen_pairs.add((artist, title))
        per_artist[artist] = per_artist.get(artist, 0) + 1
        stored_artist, stored_title = artist, title
        if rng.random() < 0.04:
            stored_artist = _mojibake(stored_artist)
        if rng.random() < 0.02:
            stored_title = _mojibake(stored_title)
        if artist.startswith("The ") and rng.random() < 0.15:
            stored_artist = artist[4:] + ", The"
        alternate = None
        if " & " in artist or " and " in artist:
            alternate = artist.split(" & ")[0].split(" and ")[0] if rng.random() < 0.3 else None
        rows.append((
            len(rows) + 1, stored_title, stored_artist, call_letters.get(artist) or call_letters.setdefault(
                artist, _call_letters(artist)),
            900 + _COMPILATION_ARTISTS.index(artist) if compilation else artist_numbers[artist],
            per_artist[artist], rng.choice(_GENRES), rng.choice(_FORMATS), alternate,
        ))
    return rows


def _typo(rng: random.Random, s: str) -> str:
    if len(s) < 4:
        return s + s[-1:]
    i = rng.randrange(1, len(s) - 1)
    kind = rng.randrange(4)
    if kind == 0:
        return s[:i] + s[i + 1:]                      # dropped letter
    if kind == 1:
        return s[:i] + s[i] + s[i:]                   # doubled letter
    if kind == 2:
        return s[:i - 1] + s[i] + s[i - 1] + s[i + 1:]  # swapped neighbours
    return s[:i] + rng.choice("aeiourstnl") + s[i + 1:]  # wrong letter


def _strip_accents(s: str) -> str:
    import unicodedata
    return "".join(c for c in unicodedata.normalize("NFD", s) if not unicodedata.combining(c))


def _as_typed(rng: random.Random, s: str) -> str:
    r = rng.random()
    if r < 0.15:
        return s.lower()
    if r < 0.20:
        return s.upper()
    if r < 0.35:
        return _strip_accents(s)
    if r < 0.40:
        return "  " + s.replace(" ", "  ") + " "
    return s


def release_rows(library: Sequence[tuple[object, ...]], n: int, seed: int = 2) -> list[tuple[str, str]]:
    """n incoming (artist, title) releases against a library from library_rows()."""
    rng = _Random(seed)
    # The names as the library meant them, mojibake and moved articles undone.
    def original(s: str) -> str:
        if not s.isascii():  # ASCII is the same in both: the name itself, not a copy
            try:
                s = s.encode("cp1252").decode("utf-8")
            except (UnicodeEncodeError, UnicodeDecodeError):
                pass
        return "The " + s[:-5] if s.endswith(", The") else s
    known = [(original(str(r[2])), original(str(r[1]))) for r in library]
    known_artists = sorted({a for a, _ in known})
    out: list[tuple[str, str]] = []
    while len(out) < n:
        r = rng.random()
        artist, title = rng.choice(known) if known else (_artist(rng), _title(rng, ""))
        if r < 0.30:
            out.append((_as_typed(rng, artist), _as_typed(rng, title)))
        elif r < 0.40 and out:
            a, t = rng.choice(out)
            out.append((a if rng.random() < 0.5 else a.lower(), t))   # duplicate
        elif r < 0.53:
            if rng.random() < 0.5:
                out.append((_typo(rng, artist), title))
            else:
                out.append((artist, _typo(rng, title)))
        elif r < 0.63:
            out.append((artist, title + rng.choice(_EDITIONS)))
        elif r < 0.68:
            moved = artist[4:] + ", The" if artist.startswith("The ") else (
                artist[4:] if artist.startswith("The ") else "The " + artist)
            out.append((moved, title))
        elif r < 0.75 and known_artists:
            a = rng.choice(known_artists)
            out.append((a, _title(rng, a)))                         # new title, known artist
        elif r < 0.80:
            a = _artist(rng)
            out.append((a, _title(rng, a)))                         # near the library's names
        else:
            out.append(_other_release(rng))                         # not in the library
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
