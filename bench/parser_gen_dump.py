"""Generates a mysqldump-style dump for the parser benchmarks (not committed).

``python bench/parser_gen_dump.py [--size-mb N] [--out PATH]`` writes one-line
extended INSERT statements of about 1,000 rows each, alternating between the
tables `library` and `release`, so that `library` fills half the file. The
rows mix integers, NULLs, decimals, dates and strings with escapes and
non-ASCII text. The default output is bench/data/dump_<N>mb.sql, which is
git-ignored; an existing file of the right size is reused.
"""

from __future__ import annotations

import argparse
import pathlib
import random

DATA = pathlib.Path(__file__).resolve().parent / "data"
ROWS_PER_STATEMENT = 1000

WORDS = ["the", "blue", "note", "session", "live", "at", "montreux", "café", "naïve", "Björk", "日本",
         "O'Brien", 'say "hi"', "back\\slash", "tab\tsep", "new\nline", "Ærø", "Motörhead", "🎵", "vol. 2"]
GENRES = ["Rock", "Jazz", "Electronic", "Hip Hop", "Classical", "Folk, World, & Country"]


def _quote(s: str) -> str:
    return "'" + (s.replace("\\", "\\\\").replace("'", "\\'").replace('"', '\\"')
                  .replace("\n", "\\n").replace("\t", "\\t")) + "'"


def _phrase(rng: random.Random, lo: int, hi: int) -> str:
    return " ".join(rng.choice(WORDS) for _ in range(rng.randint(lo, hi)))


def _library_tail(rng: random.Random) -> str:
    """Everything of a `library` row after its id."""
    return ",".join([
        _quote(_phrase(rng, 1, 3)), _quote(_phrase(rng, 1, 6)), _quote(f"CD {rng.randint(1, 999)}.{rng.randint(0, 99)}"),
        "NULL" if rng.random() < 0.2 else _quote(rng.choice(GENRES)), str(rng.randint(1950, 2025)),
        f"{rng.uniform(0, 10):.2f}", _quote(f"20{rng.randint(10, 25)}-0{rng.randint(1, 9)}-1{rng.randint(0, 9)} 12:00:00"),
    ])


def _release_tail(rng: random.Random) -> str:
    return ",".join([
        _quote(_phrase(rng, 2, 8)), str(rng.randint(0, 2**40)), "NULL", _quote(rng.choice(GENRES)),
        f"{rng.uniform(-1, 1) * 10 ** rng.randint(-30, 30):.6e}", _quote(_phrase(rng, 0, 4)),
    ])


def _statement(table: str, tails: list[str], first_id: int) -> str:
    body = ",".join(f"({first_id + k},{tail})" for k, tail in enumerate(tails))
    return f"INSERT INTO `{table}` VALUES {body};\n"


def generate(path: pathlib.Path, size_mb: int, seed: int = 1) -> None:
    rng = random.Random(seed)
    # A pool of distinct row bodies, reused with fresh ids: generation stays fast.
    library_pool = [_library_tail(rng) for _ in range(20 * ROWS_PER_STATEMENT)]
    release_pool = [_release_tail(rng) for _ in range(20 * ROWS_PER_STATEMENT)]
    target = size_mb * 1024 * 1024
    written = {"library": 0, "release": 0}
    next_id = {"library": 1, "release": 1}
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "w", encoding="utf-8", newline="\n") as out:
        out.write("-- generated for the parser benchmarks\n"
                  "CREATE TABLE `library` (`id` int, `artist` text, `title` text, `call_number` text,"
                  " `genre` text, `year` int, `rating` decimal(4,2), `added` datetime);\n"
                  "CREATE TABLE `release` (`id` int, `title` text, `barcode` bigint, `notes` text,"
                  " `genre` text, `score` double, `label` text);\n")
        while sum(written.values()) < target:
            # Keep the two tables at about equal byte counts.
            table = "library" if written["library"] <= written["release"] else "release"
            pool = library_pool if table == "library" else release_pool
            start = rng.randrange(len(pool) - ROWS_PER_STATEMENT)
            text = _statement(table, pool[start:start + ROWS_PER_STATEMENT], next_id[table])
            out.write(text)
            next_id[table] += ROWS_PER_STATEMENT
            written[table] += len(text.encode())
    tmp.replace(path)


def ensure_dump(size_mb: int) -> pathlib.Path:
    path = DATA / f"dump_{size_mb}mb.sql"
    if not path.exists() or path.stat().st_size < size_mb * 1024 * 1024:
        generate(path, size_mb)
    return path


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--size-mb", type=int, default=500)
    ap.add_argument("--out", type=pathlib.Path)
    args = ap.parse_args()
    if args.out:
        generate(args.out, args.size_mb)
        print(args.out)
    else:
        print(ensure_dump(args.size_mb))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
