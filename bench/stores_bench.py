"""``zemo-etl load`` of a generated `library` table against the floors.

PostgreSQL (a private server, as the tests start it, fsync on):
(a) ``zemo-etl load DUMP library --into postgresql://...`` against
    ``psql -c "\\copy library FROM 'rows.csv' CSV"`` of the same rows already
    written as CSV (the floor; goal: within 1.5x);
(b) the same load against a plain psycopg ``executemany`` script of the rows
    already in Python (goal: at least 10x faster), run on a sample of the rows
    and extrapolated, since it is slow.
SQLite: ``zemo-etl load`` against the sqlite3 shell's ``.import`` of the CSV.

Each load replaces the table's rows (TRUNCATE / DELETE first, in the same
transaction) of a table created once from ``schema.library_ddl()``. Every
command runs as a child process and is timed as a whole, start-up included.
Wall times; the machine is shared, so medians of several rounds.
"""

from __future__ import annotations

import csv
import pathlib
import random
import shutil
import sqlite3
import statistics
import subprocess
import sys
import time

from harness import Table
from parser_gen_dump import DATA, GENRES, _phrase, _quote

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
import postgres_fixture  # noqa: E402  (the tests' private server)

from zemo_etl import schema  # noqa: E402
from zemo_etl.parser import load_table_rows  # noqa: E402

ROWS = 1_000_000
QUICK_ROWS = 50_000
EXECUTEMANY_SAMPLE = 50_000


def generate_library_dump(path: pathlib.Path, rows: int, seed: int = 15) -> None:
    """A mysqldump-style dump of `rows` rows with the published library columns."""
    if path.exists():
        return
    rng = random.Random(seed)

    def tail() -> str:
        return ",".join([
            _quote(_phrase(rng, 1, 6)), _quote(_phrase(rng, 1, 3)), _quote(rng.choice(["RO", "JA", "EL", "HH"])),
            str(rng.randint(1, 99999)), str(rng.randint(1, 999)),
            "NULL" if rng.random() < 0.2 else _quote(rng.choice(GENRES)),
            _quote(rng.choice(["CD", "LP", '7"', "Cassette"])),
            "NULL" if rng.random() < 0.8 else _quote(_phrase(rng, 1, 3)),
        ])

    pool = [tail() for _ in range(20_000)]
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    with open(tmp, "w", encoding="utf-8", newline="\n") as out:
        out.write("-- generated for the store benchmarks\n" + schema.library_ddl().replace("library", "`library`", 1)
                  + ";\n")
        for start in range(0, rows, 1000):
            at = rng.randrange(len(pool) - 1000)
            out.write("INSERT INTO `library` VALUES " + ",".join(
                f"({start + k + 1},{pool[at + k]})" for k in range(min(1000, rows - start))) + ";\n")
    tmp.replace(path)


def timed(args: list[str], **kwargs: object) -> float:
    start = time.perf_counter()
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, **kwargs)  # type: ignore[call-overload]
    return time.perf_counter() - start


def median_of(rounds: int, fn) -> float:  # type: ignore[no-untyped-def]
    return statistics.median(fn() for _ in range(rounds))


ZEMO = [sys.executable, "-m", "zemo_etl", "load"]

EXECUTEMANY_SCRIPT = """
import sys, psycopg
from zemo_etl import schema
from zemo_etl.parser import load_table_rows
url, dump, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
rows = load_table_rows(dump, "library")[:n]
cols = schema.library_columns()
sql = "INSERT INTO library ({}) VALUES ({})".format(", ".join(cols), ", ".join(["%s"] * len(cols)))
with psycopg.connect(url) as conn:
    conn.execute("TRUNCATE library")
    conn.cursor().executemany(sql, rows)
"""


def run(quick: bool) -> None:
    rows = QUICK_ROWS if quick else ROWS
    rounds = 1 if quick else 3
    dump = DATA / f"library_{rows}.sql"
    generate_library_dump(dump, rows)
    csv_path = DATA / f"library_{rows}.csv"
    if not csv_path.exists():
        with open(csv_path, "w", newline="", encoding="utf-8") as f:
            csv.writer(f).writerows(load_table_rows(str(dump), "library"))
    mb = dump.stat().st_size / 2**20

    reason = postgres_fixture.skip_reason()
    if reason:
        print(f"\n== stores: PostgreSQL skipped: {reason} ==")
    else:
        with postgres_fixture.running_server(fsync=True) as server:
            env = server.env
            with server.connect(autocommit=True) as conn:
                conn.execute(schema.library_ddl())
            psql = [str(server.bindir / "psql") if (server.bindir / "psql").exists() else "psql", "-q",
                    "-v", "ON_ERROR_STOP=1", server.url, "-c", "TRUNCATE library",
                    "-c", f"\\copy library FROM '{csv_path}' CSV"]
            table = Table(f"stores: load {rows:,} library rows ({mb:.0f} MB dump) into PostgreSQL", per="load")
            table.header()
            ours = median_of(rounds, lambda: timed([*ZEMO, str(dump), "library", "--into", server.url,
                                                    "--replace", "--batch-rows", "10000"]))
            floor = median_of(rounds, lambda: timed(psql, env=env))
            table.add("zemo-etl load (COPY)", ours, "psql \\copy of the CSV (floor)", floor)
            sample = min(rows, EXECUTEMANY_SAMPLE)
            plain = timed([sys.executable, "-c", EXECUTEMANY_SCRIPT, server.url, str(dump), str(sample)])
            table.add("zemo-etl load (COPY)", ours, f"psycopg executemany (x{rows / sample:.0f} of {sample:,})",
                      plain * rows / sample)

    sqlite3_shell = shutil.which("sqlite3")
    table = Table(f"stores: load {rows:,} library rows into SQLite", per="load")
    table.header()
    db = DATA / "bench.db"
    db.unlink(missing_ok=True)
    with sqlite3.connect(db) as conn:
        conn.execute(schema.library_ddl())
    ours = median_of(rounds, lambda: timed([*ZEMO, str(dump), "library", "--into", f"sqlite:///{db}", "--replace"]))
    if sqlite3_shell is None:
        print("  sqlite3 shell not installed (Debian package sqlite3): no .import to compare with")
        return
    script = f"BEGIN;\nDELETE FROM library;\n.import --csv {csv_path} library\nCOMMIT;\n"
    floor = median_of(rounds, lambda: timed([sqlite3_shell, str(db)], input=script.encode()))
    table.add("zemo-etl load (executemany)", ours, "sqlite3 .import of the CSV", floor)
    db.unlink(missing_ok=True)
