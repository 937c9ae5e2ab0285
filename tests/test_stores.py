"""``zemo-etl load`` into SQLite and a real PostgreSQL, end to end through the
command line: round trips of real dumps, hostile text, the published DDL, and
loads that fail or are interrupted part-way and leave the target unchanged."""

from __future__ import annotations

import os
import random
import resource
import signal
import sqlite3
import subprocess
import sys
import time
from datetime import date, datetime, timedelta
from decimal import Decimal
from pathlib import Path
from typing import Any

import pytest

from cli_helpers import SAMPLE_DUMP as SAMPLE, main, one_line_error, zemo  # noqa: F401  (the fixture)
from mariadb_fixture import mariadb  # noqa: F401  (the fixture)
from postgres_fixture import PostgreSQL, postgres  # noqa: F401  (the fixture)
from mariadb_dumps import DUMP_FORMS, READ_BACK, declared_rows, dumps, server_values  # noqa: F401  (fixtures)
from shared import render
from zemo_etl import pg, schema, stores
from zemo_etl.job.states import resolve_db_url
from zemo_etl.parser import load_table_rows

STORES = ["sqlite", "postgres"]


@pytest.fixture
def target(request: pytest.FixtureRequest, tmp_path: Path) -> Any:
    # (store kind, URL, a function returning a fresh DB-API connection).
    if request.param == "sqlite":
        db = tmp_path / "target.db"
        return "sqlite", f"sqlite:///{db}", lambda: sqlite3.connect(db)
    server: PostgreSQL = request.getfixturevalue("postgres")
    server.reset()
    return "postgres", server.url, server.connect


def query(connect: Any, sql: str) -> tuple[list[tuple[Any, ...]], list[str]]:
    conn = connect()
    try:
        cur = conn.execute(sql)
        return [tuple(r) for r in cur.fetchall()], [d[0] for d in cur.description or ()]
    finally:
        conn.close()


def select_all(connect: Any, table: str) -> list[tuple[Any, ...]]:
    return query(connect, f'SELECT * FROM "{table}" ORDER BY 1')[0]


def _time(text: str) -> timedelta:
    sign = -1 if text.startswith("-") else 1
    hours, minutes, seconds = text.lstrip("-").split(":")
    return sign * timedelta(hours=int(hours), minutes=int(minutes), seconds=float(seconds))


TEMPORAL = {date: date.fromisoformat, datetime: datetime.fromisoformat, timedelta: _time}


def stored_as(kind: str, expected: Any, got: Any) -> bool:
    # Whether `got`, read back from the store, is the dump value `expected`:
    # dates as PostgreSQL's types or SQLite's text; decimals exact, in SQLite
    # as NUMERIC (a float holding up to 15 digits) or else their digits.
    if isinstance(expected, Decimal):
        return type(got) in (Decimal, float, int, str) and Decimal(str(got)) == expected
    if isinstance(expected, str) and type(got) in TEMPORAL:
        return kind == "postgres" and got == TEMPORAL[type(got)](expected)
    if expected is None or isinstance(expected, str):
        return got == (pg.to_pg_text_form(expected) if kind == "postgres" and expected else expected)
    if isinstance(got, Decimal):
        return got == Decimal(str(expected))
    if isinstance(got, str):  # SQLite: an integer beyond 64 bits as its digits
        return kind == "sqlite" and got == str(expected)
    return got == expected and (type(expected) is not float or type(got) is float)


def assert_stored(kind: str, expected: list[tuple[Any, ...]], got: list[tuple[Any, ...]]) -> None:
    assert [len(r) for r in got] == [len(r) for r in expected]
    bad = [(w, h) for want, have in zip(expected, got) for w, h in zip(want, have) if not stored_as(kind, w, h)]
    assert not bad


@pytest.mark.parametrize("target", STORES, indirect=True)
def test_every_table_of_the_mariadb_dumps_round_trips(main, dumps: dict[str, Path], target: Any,  # noqa: F811
                                                       declared_rows: dict[str, list[tuple[Any, ...]]]) -> None:
    # Every value as the server returns it, whatever the column's type.
    kind, url, connect = target
    for form in DUMP_FORMS:
        path = dumps[form]
        for table in READ_BACK:
            done = main("load", str(path), table, "--into", url, "--create", "--replace", "--batch-rows", "50")
            assert done.returncode == 0, (form, table, done.stderr)
            assert_stored(kind, declared_rows[table], select_all(connect, table))
    types = dict(query(connect, "SELECT column_name, data_type FROM information_schema.columns WHERE table_name = 't'"
                               if kind == "postgres" else "SELECT name, type FROM pragma_table_info('t')")[0])
    assert [types[c] for c in ("id", "ubig", "dec0", "dec4", "f", "s", "bl", "bt", "geo", "dt", "dtt", "tm")] == {
        "postgres": ["bigint", "numeric", "numeric", "numeric", "double precision", "text", "bytea", "bytea", "bytea",
                     "date", "timestamp without time zone", "interval"],
        "sqlite": ["INTEGER", "", "", "NUMERIC", "REAL", "TEXT", "BLOB", "BLOB", "BLOB", "TEXT", "TEXT", "TEXT"]}[kind]


HOSTILE = ["\x00", "\x01", "\x08", "\t", "\n", "\r", "\x1a", "\x7f", "\x85", "\u2028", "\u2029", "\ufeff", "\\",
           "'", '"', ",", ";", "\\N", "🎵", "\U0001F9D1\u200d\U0001F3A4", "\ue000", "\U000F0000", "\U0010FFFF",
           "\uffff", "é", "e\u0301", "日本"]


@pytest.mark.parametrize("target", STORES, indirect=True)
def test_hostile_strings_in_a_dump_load_unchanged(main, tmp_path: Path, target: Any) -> None:
    kind, url, connect = target
    rng = random.Random(16)
    strings = ["".join(rng.choice(HOSTILE) if rng.random() < 0.5 else chr(rng.randrange(0x20, 0xD800))
                       for _ in range(rng.randrange(0, 12))) for _ in range(3000)]
    path = tmp_path / "hostile.sql"
    path.write_text("CREATE TABLE `h` (`k` int, `s` text);\n" + "".join(
        "INSERT INTO `h` VALUES " + ",".join(f"({k},{render(strings[k])})" for k in range(start, start + 500)) + ";\n"
        for start in range(0, 3000, 500)), encoding="utf-8")
    done = main("load", str(path), "h", "--into", url, "--create", "--batch-rows", "777")
    assert done.returncode == 0, done.stderr
    rows = load_table_rows(str(path), "h")
    assert [s for _, s in rows] == strings
    assert_stored(kind, rows, select_all(connect, "h"))


def test_published_ddl_executes_on_postgres(postgres: PostgreSQL) -> None:  # noqa: F811
    postgres.reset()
    with postgres.connect() as conn:
        conn.execute(schema.library_ddl())
        conn.execute(schema.entity_identity_ddl())
        conn.execute("INSERT INTO entity.identity (library_name) VALUES ('Björk')")
        (status,) = conn.execute("SELECT reconciliation_status FROM entity.identity").fetchone()
        assert status == "unreconciled"
        for table, columns in [("library", schema.library_columns()),
                               ("entity.identity", schema.entity_identity_columns())]:
            names = conn.execute(f"SELECT * FROM {table} LIMIT 0").description
            assert [c.name for c in names] == columns


# ---------------------------------------------------------------------------
# Appending, replacing, creating; what the command refuses

SAMPLE_ROWS = len(load_table_rows(SAMPLE, "library"))


@pytest.mark.parametrize("target", STORES, indirect=True)
def test_library_create_append_replace(main, target: Any) -> None:
    kind, url, connect = target
    expected = load_table_rows(SAMPLE, "library")
    one_line_error(main("load", SAMPLE, "library", "--into", url), "has no table library (--create makes it)")
    done = main("load", SAMPLE, "library", "--into", url, "--create")
    assert done.returncode == 0 and f"created and loaded library: {SAMPLE_ROWS} rows" in done.stdout
    assert_stored(kind, expected, select_all(connect, "library"))
    # Appending the same ids again breaks the primary key: nothing changes.
    done = main("load", SAMPLE, "library", "--into", url, "--batch-rows", "7")
    one_line_error(done)
    assert done.stderr.endswith(f"library in {url} is unchanged\n")
    assert len(select_all(connect, "library")) == SAMPLE_ROWS
    done = main("load", SAMPLE, "library", "--into", url, "--replace", "--create")
    assert done.returncode == 0 and done.stdout.startswith(f"loaded library: {SAMPLE_ROWS} rows")
    assert_stored(kind, expected, select_all(connect, "library"))
    # Another table: the column names of its CREATE TABLE (a table without one
    # gets numbered columns: test_cli_commands.py).
    assert main("load", SAMPLE, "library_notes", "--into", url, "--create").returncode == 0
    assert query(connect, 'SELECT * FROM "library_notes"')[1] == ["id", "note"]


@pytest.mark.parametrize("args, message", [
    (["/nonexistent/d.sql", "t", "--into", "sqlite:///{tmp}/x.db"], "no dump file /nonexistent/d.sql"),
    ([SAMPLE, "library", "--into", "mysql://h/db"], "unsupported database URL mysql://h/db"),
    ([SAMPLE, "library", "--into", "sqlite:////nonexistent/x.db"], "cannot open sqlite:////nonexistent/x.db"),
    ([SAMPLE, "absent", "--into", "sqlite:///{tmp}/x.db", "--create"],
     "library.sql holds no table `absent` (tables: library, library_notes); absent in"),
    ([SAMPLE, "library", "--into", "postgresql://u:secret@/db?host=/nonexistent"], "cannot connect to"),
    ([SAMPLE, "library", "--into", "postgresql://u:secret?#1@/db?host=/nonexistent"], "to postgresql://u@/db?host"),
    ([SAMPLE, "library", "--into", "postgresql://u:secret%zz@/db"], 'percent-encoded token: "***"'),
    ([SAMPLE, "library", "--into", "postgresql:///db?host=/nonexistent&password=secret"], "cannot connect to"),
    ([SAMPLE, "library", "--into", "sqlite:///{tmp}/x.db", "--batch-rows", "0"], "--batch-rows must be"),
    ([SAMPLE, "library", "--into", "postgresql:///db"], "pip install 'zemo-etl[postgres]'"),
    # No file named with the query is made; nor is the input overwritten when both sides carry one.
    ([SAMPLE, "library", "--into", "sqlite:///{tmp}/x.db?mode=rwc", "--create"],
     "x.db?mode=rwc: a SQLite URL takes no query string (?mode=rwc); a '?' in the file name is written %3F"),
    ([SAMPLE + "?x=1", "library", "--into", f"sqlite:///{SAMPLE}?x=1"], "takes no query string (?x=1)"),
], ids=["no-dump", "url", "sqlite-dir", "no-table", "pg-connect", "pg-userinfo", "pg-encoding", "pg-parameter",
        "batch-rows", "no-psycopg", "sqlite-query", "sqlite-query-both"])
def test_user_errors_exit_2_with_one_line(main, monkeypatch: pytest.MonkeyPatch, tmp_path: Path, args: list[str],
                                          message: str) -> None:
    if "[postgres]" in message:
        monkeypatch.setitem(sys.modules, "psycopg", None)  # import fails
    elif any(a.startswith("postgresql:") for a in args):
        pytest.importorskip("psycopg")
    done = main("load", *[a.format(tmp=tmp_path) for a in args])
    one_line_error(done, "zemo-etl load: ", message)
    assert done.stdout == "" and "secret" not in done.stderr
    assert list(tmp_path.iterdir()) == []  # no empty database left behind


# ---------------------------------------------------------------------------
# Loads that stop part-way

def write_big_library(path: Path, rows: int) -> None:
    tail = ",'{}','Some Artist','ART',101,2,'Rock','LP',NULL)"
    with open(path, "w", encoding="utf-8") as f:
        for start in range(1, rows + 1, 1000):
            f.write("INSERT INTO `library` VALUES " + ",".join(
                f"({k}" + tail.format(f"title {k} {'x' * (k % 50)}") for k in range(start, start + 1000)) + ";\n")


@pytest.fixture(scope="module")
def big_dump(tmp_path_factory: pytest.TempPathFactory) -> Path:
    path = tmp_path_factory.mktemp("big") / "library.sql"
    write_big_library(path, 600_000)
    return path


def count_rows(connect: Any, table: str) -> int:
    return query(connect, f'SELECT count(*) FROM "{table}"')[0][0][0]


@pytest.mark.parametrize("target", STORES, indirect=True)
@pytest.mark.parametrize("when", ["mid-load", "in the commit"])
def test_ctrl_c_leaves_the_table_as_the_message_says(main, monkeypatch: pytest.MonkeyPatch, tmp_path: Path,
                                                      target: Any, when: str) -> None:
    # KeyboardInterrupt raised in-process at the third chunk, or SIGINT while
    # the load commits (held back until the commit is counted).
    kind, url, connect = target
    assert main("load", SAMPLE, "library", "--into", url, "--create").returncode == 0
    before = select_all(connect, "library")
    path = tmp_path / "big.sql"
    write_big_library(path, 5000)
    if when == "mid-load":
        for name in ("TableRowChunks", "TableCopyChunks"):
            def chunks(*args: Any, _real: Any = getattr(stores.dump, name)) -> Any:
                for k, chunk in enumerate(_real(*args)):
                    if k == 2:
                        raise KeyboardInterrupt
                    yield chunk
            monkeypatch.setattr(stores.dump, name, chunks)
    else:
        def start(held: Any, _real: Any = stores._CtrlCHeld.start) -> None:
            _real(held)
            signal.raise_signal(signal.SIGINT)
        monkeypatch.setattr(stores._CtrlCHeld, "start", start)
    done = main("load", str(path), "library", "--into", url, "--replace", "--batch-rows", "1000")
    assert (done.returncode, done.stdout) == (130, "")
    if when == "mid-load":
        assert (done.stderr, select_all(connect, "library")) == (
            f"zemo-etl load: interrupted; library in {url} is unchanged\n", before)
    else:
        assert (done.stderr, count_rows(connect, "library")) == (
            f"zemo-etl load: interrupted once the load was committed; library in {url} is loaded\n", 5000)


@pytest.mark.parametrize("target", STORES, indirect=True)
def test_ctrl_c_from_the_terminal_mid_load(main, big_dump: Path, target: Any) -> None:
    # SIGINT once the load is under way; wherever it lands, the table is what
    # the exit status and the message say.
    kind, url, connect = target
    assert main("load", SAMPLE, "library", "--into", url, "--create").returncode == 0
    before = select_all(connect, "library")
    proc = subprocess.Popen([sys.executable, "-m", "zemo_etl", "load", str(big_dump), "library", "--into", url,
                             "--replace", "--batch-rows", "2000"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    journal = Path(url[len("sqlite:///"):] + "-journal")

    def copying() -> bool:
        if kind == "sqlite":
            return journal.exists()
        return bool(query(connect, "SELECT 1 FROM pg_stat_progress_copy WHERE tuples_processed > 0")[0])
    deadline = time.monotonic() + 60  # the signal goes anyway after that: the checks below hold wherever it lands
    while not copying() and proc.poll() is None and time.monotonic() < deadline:
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode in (0, 130), (out, err)
    if err == f"zemo-etl load: interrupted; library in {url} is unchanged\n":
        assert proc.returncode == 130 and select_all(connect, "library") == before
    else:
        assert err in ("", f"zemo-etl load: interrupted once the load was committed; library in {url} is loaded\n",
                       "zemo-etl: interrupted\n"), err
        assert count_rows(connect, "library") == 600_000


def test_full_disk_rolls_back(main, big_dump: Path, tmp_path: Path) -> None:
    db = tmp_path / "full.db"
    url = f"sqlite:///{db}"
    assert main("load", SAMPLE, "library", "--into", url, "--create").returncode == 0
    limit = db.stat().st_size + 2**20  # room for a megabyte more: the load needs far more

    def small_disk() -> None:
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    done = zemo("load", str(big_dump), "library", "--into", url, "--replace", preexec_fn=small_disk, timeout=300)
    # The write past the limit fails as on a full disk (EFBIG instead of ENOSPC).
    one_line_error(done, "zemo-etl load: SQLite: disk I/O error", status=1)
    assert done.stderr.endswith("is unchanged\n")
    with sqlite3.connect(db) as conn:
        assert conn.execute("SELECT count(*) FROM library").fetchone() == (SAMPLE_ROWS,)


@pytest.mark.parametrize("target", STORES, indirect=True)
def test_a_bad_row_part_way_rolls_back(main, tmp_path: Path, target: Any) -> None:
    kind, url, connect = target
    path = tmp_path / "bad.sql"
    write_big_library(path, 5000)
    with open(path, "a", encoding="utf-8") as f:
        f.write("INSERT INTO `library` VALUES ('not a number','t','a','c',1,2,'g','f',NULL);\n")
    done = main("load", str(path), "library", "--into", url, "--create", "--batch-rows", "1000")
    one_line_error(done)
    assert done.stderr.endswith(f"library in {url} is unchanged\n")
    exists = query(connect, "SELECT count(*) FROM sqlite_master WHERE name = 'library'" if kind == "sqlite"
                   else "SELECT count(*) FROM pg_class WHERE relname = 'library'")[0]
    assert exists == [(0,)]  # the table created by the load is gone too


def test_sqlite_urls_are_read_by_one_parser(tmp_path: Path) -> None:
    # A file name with '?' and '%' goes through the URL and back, by the
    # store and the command line alike.
    folder = Path(os.path.realpath(tmp_path))
    url = f"sqlite:///{folder}/a%3Fb%25.db"
    assert stores.sqlite_path(url) == f"{folder}/a?b%.db" and stores.sqlite_url(f"{folder}/a?b%.db") == url
    assert stores.sqlite_path("postgresql:///db") is None
    assert resolve_db_url(url) == url
    with stores.open_store(url) as store, store.transaction():
        store.execute("CREATE TABLE t (x)")
    assert os.listdir(folder) == ["a?b%.db"]
