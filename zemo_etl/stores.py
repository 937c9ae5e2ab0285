"""The databases the pipeline writes: SQLite and PostgreSQL behind one face.

``open_store(url)`` takes ``sqlite:///relative/path.db``,
``sqlite:////absolute/path.db`` (Python's own sqlite3) or
``postgresql://...`` (psycopg 3, the optional extra ``zemo-etl[postgres]``).
``load_dump_table`` moves one table of a MySQL dump into a store in one
transaction: rows stream from the dump in chunks, PostgreSQL is fed with COPY
(text in the PostgreSQL text form), SQLite with ``executemany``. Any failure,
Ctrl-C included, rolls the whole load back.
"""

from __future__ import annotations

import contextlib
import decimal
import os
import pathlib
import signal
import sqlite3
import sys
import threading
import urllib.parse
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Optional

from zemo_etl import dump, pg, schema
from zemo_etl.errors import OPTION, Error
from zemo_etl.safety import (SafetyError, new_private_file, open_in_place, publish, redact_url, require_regular_file,
                             scrub, url_secrets, writable_by_others)

__all__ = ["StoreError", "Store", "SQLiteStore", "PostgresStore", "open_store", "redact_url",
           "load_dump_table", "LoadResult", "DEFAULT_BATCH_ROWS", "describe_error"]

DEFAULT_BATCH_ROWS = 10000

# The column types `dump.table_column_types` reports, per store. SQLite has no
# exact type for integers beyond 64 bits nor for decimals beyond a double's
# 15 digits: such a column, and one mixing strings and numbers, gets no
# declared type, so that every value keeps its own (wide numbers as their
# decimal text); a shorter DECIMAL is NUMERIC, which keeps its value. A TIME
# spans ±838 hours: an interval in PostgreSQL, not a time of day. Dates are
# ISO text in SQLite.
PG_TYPES = {"integer": "BIGINT", "numeric": "NUMERIC", "decimal": "NUMERIC", "float": "DOUBLE PRECISION",
            "text": "TEXT", "mixed": "TEXT", "bytes": "BYTEA", "date": "DATE", "timestamp": "TIMESTAMP",
            "time": "INTERVAL"}
SQLITE_TYPES = {"integer": "INTEGER", "numeric": "", "decimal": "NUMERIC", "float": "REAL", "text": "TEXT",
                "mixed": "", "bytes": "BLOB", "date": "TEXT", "timestamp": "TEXT", "time": "TEXT"}

_INT64 = range(-2**63, 2**63)

# SQLite's result codes for failures of the machine rather than of the input.
_SQLITE_MACHINE_ERRORS = {"SQLITE_FULL", "SQLITE_IOERR", "SQLITE_NOMEM", "SQLITE_CORRUPT", "SQLITE_NOTADB"}


class StoreError(Error):
    """A failure the user can act on (bad URL, missing table, a row the table
    refuses...); its message is one line."""


def _one_line(text: object) -> str:
    return " ".join(str(text).split())


def describe_error(error: BaseException) -> Optional[tuple[bool, str]]:
    """For an error of a store or a load: whether the machine failed (a full
    disk, a lost connection) rather than the input, and one line saying what
    happened. None for any other error."""
    if isinstance(error, StoreError):
        return False, str(error)
    if isinstance(error, sqlite3.Error):
        name = "_".join(getattr(error, "sqlite_errorname", "").split("_")[:2])  # SQLITE_IOERR_WRITE: SQLITE_IOERR
        text = str(error)
        machine = name in _SQLITE_MACHINE_ERRORS or (not name and ("disk" in text or "I/O" in text))
        return machine, f"SQLite: {_one_line(text)}"
    psycopg = sys.modules.get("psycopg")  # loaded by the store when it is in use
    if psycopg is not None and isinstance(error, psycopg.Error):
        diag = getattr(error, "diag", None)
        primary = (diag.message_primary if diag is not None else None) or str(error)
        context = diag.context if diag is not None else None
        line = f"PostgreSQL: {primary}" + (f" ({context.splitlines()[0]})" if context else "")
        machine = isinstance(error, psycopg.OperationalError) and not isinstance(error, psycopg.errors.QueryCanceled)
        return machine, _one_line(line)
    if isinstance(error, OSError):
        return True, _one_line(error)
    if isinstance(error, dump.DumpError):
        return False, str(error)
    return None


class _CtrlCHeld:
    """Holds Ctrl-C back from ``start()`` to the end of the ``with`` block, then
    delivers it: a commit and its count in ``Store.commits`` happen together,
    so whoever catches the KeyboardInterrupt knows whether the work is in."""

    def __enter__(self) -> _CtrlCHeld:
        self._previous: Any = None
        self._held: Optional[tuple[int, Any]] = None
        return self

    def start(self) -> None:
        # KeyboardInterrupt is raised on the main thread only; a handler not
        # installed from Python (None) is left alone.
        if threading.current_thread() is threading.main_thread() and signal.getsignal(signal.SIGINT) is not None:
            self._previous = signal.signal(signal.SIGINT, self._hold)

    def _hold(self, signum: int, frame: Any) -> None:
        self._held = (signum, frame)

    def __exit__(self, *exc: object) -> None:
        if self._previous is None:
            return
        signal.signal(signal.SIGINT, self._previous)
        if self._held is not None:
            if callable(self._previous):
                self._previous(*self._held)  # the default handler raises KeyboardInterrupt
            elif self._previous == signal.SIG_DFL:
                signal.raise_signal(signal.SIGINT)


class Store:
    """A database connection with the few operations the pipeline needs. Use
    ``with store.transaction():`` around changes; nothing is committed
    otherwise. ``commits`` counts the transactions committed: a Ctrl-C that
    comes while one commits is delivered once it is counted."""

    types: dict[str, str] = {}

    def __init__(self, url: str) -> None:
        self.url = url
        self.name = redact_url(url)
        self.commits = 0

    def scrub(self, text: object) -> str:
        """`text` (a driver's error, say) on one line without the URL's password."""
        return _one_line(scrub(str(text), url_secrets(self.url)))

    def quote(self, name: str) -> str:
        return '"' + name.replace('"', '""') + '"'

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        raise NotImplementedError

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def execute(self, sql: str, params: Sequence[Any] = ()) -> None:
        raise NotImplementedError

    def query(self, sql: str, params: Sequence[Any] = ()) -> list[tuple[Any, ...]]:
        raise NotImplementedError

    def table_exists(self, table: str) -> bool:
        raise NotImplementedError

    def existing_columns(self, table: str) -> list[tuple[str, str]]:
        """(name, declared type) of each column of an existing table."""
        raise NotImplementedError

    def create_table(self, table: str, columns: Sequence[tuple[str, str]]) -> None:
        """Creates `table` with (name, type) columns, the type one of
        `dump.table_column_types`'s."""
        body = ", ".join(f"{self.quote(n)} {self.types[t]}".rstrip() for n, t in columns)
        self.execute(f"CREATE TABLE {self.quote(table)} ({body})")

    def clear(self, table: str) -> None:
        self.execute(f"DELETE FROM {self.quote(table)}")

    def insert_rows(self, table: str, columns: Sequence[str], rows: Iterable[Sequence[Any]]) -> None:
        raise NotImplementedError

    incomplete: Optional[str] = None  # why the last dump loaded with allow_incomplete was cut short

    def load_chunks(self, table: str, columns: Optional[Sequence[str]], path: str, dump_table: str,
                    batch_rows: int, allow_incomplete: bool = False) -> int:
        """Appends the dump table's rows to `table`; the count of rows."""
        raise NotImplementedError


class SQLiteStore(Store):
    """A SQLite database file. It and its side files (``-journal``, ``-wal``,
    ``-shm``, which SQLite reads back into the database) are used in place,
    so each must be a regular file of ours that no other user can write
    (StoreError otherwise). The database is opened without following a link
    and SQLite is given the name the kernel has for that descriptor. In a
    folder others may write (sticky, accepted with --allow-shared-folder),
    SQLite holds its lock from the first read to the close (exclusive
    locking mode), so that it looks for side files only then, right after
    they were checked, and never between two transactions."""

    types = SQLITE_TYPES
    _SIDE_FILES = ("-journal", "-wal", "-shm")

    def __init__(self, url: str, path: str, staged: bool = False) -> None:
        super().__init__(url)
        if path != ":memory:" and not pathlib.Path(path).parent.is_dir():
            raise StoreError(f"cannot open {self.name}: no directory {pathlib.Path(path).parent}")
        self.path = path
        self.created = path != ":memory:" and not os.path.lexists(path)
        # A new database is made by us, O_EXCL and not through a symlink,
        # either at its name or (staged) at a private temporary name renamed
        # to it on close. `_file`: the real name of the file SQLite works on.
        self._file = path
        self._staged: Optional[str] = None
        if path == ":memory:":
            self.conn = sqlite3.connect(path, isolation_level=None)
            return
        fd = self._open_file(staged)
        try:
            self.conn = self._connect(fd)
        except BaseException:
            self._drop_new_file()
            raise
        finally:
            os.close(fd)

    def _connect(self, fd: int) -> sqlite3.Connection:
        shared = writable_by_others(os.path.dirname(self._file)) is not None
        self._check_side_files()
        try:
            # Transactions are begun and ended here, not by the module.
            conn = sqlite3.connect(self._file, isolation_level=None)
        except sqlite3.Error as e:
            raise StoreError(f"cannot open {self.name}: {e}") from e
        try:
            if shared:
                conn.execute("PRAGMA locking_mode = EXCLUSIVE")
            conn.execute("SELECT count(*) FROM sqlite_master")  # the first read: the lock is held from here
            opened = conn.execute("PRAGMA database_list").fetchone()[2]
            if not os.path.samestat(os.stat(opened), os.fstat(fd)):
                raise StoreError(f"cannot open {self.name}: {self.path} was replaced while being opened")
            if shared:
                self._check_side_files()
        except sqlite3.Error as e:
            conn.close()
            raise StoreError(f"cannot open {self.name}: {e}") from e
        except BaseException:
            conn.close()
            raise
        return conn

    def _open_file(self, staged: bool) -> int:
        """A descriptor of the database, checked (or made), and its real name
        in `_file`: the one SQLite is given, and names the side files after."""
        try:
            if self.created and staged:
                fd, self._staged = new_private_file(self.path)
            else:
                fd = open_in_place(self.path, os.O_RDONLY | os.O_CREAT | os.O_EXCL, 0o666) if self.created \
                    else open_in_place(self.path)
        except SafetyError as e:
            raise StoreError(f"cannot open {self.name}: {e}") from None
        except OSError as e:
            raise StoreError(f"cannot {'create' if self.created else 'open'} {self.name}: {e.strerror}") from None
        try:
            self._file = os.readlink(f"/proc/self/fd/{fd}")
        except OSError:  # no /proc: the name, resolved, was just checked
            self._file = os.path.realpath(self._file)
        return fd

    def _check_side_files(self) -> None:
        for suffix in self._SIDE_FILES:
            try:
                os.close(open_in_place(self._file + suffix))
            except FileNotFoundError:
                pass
            except SafetyError as e:
                raise StoreError(f"cannot open {self.name}: {e}") from None
            except OSError as e:
                raise StoreError(f"cannot open {self.name}: {self._file + suffix}: {e.strerror}") from None

    def _drop_new_file(self) -> None:
        if self.created:
            with contextlib.suppress(OSError):
                os.unlink(self._staged or self.path)

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        with _CtrlCHeld() as held:
            self.conn.execute("BEGIN IMMEDIATE")
            try:
                yield
                held.start()
                self.conn.execute("COMMIT")
            except BaseException:
                # SQLite itself rolls back on some errors (a full disk, an I/O
                # error); the error that stopped the load is the one to report.
                if self.conn.in_transaction:
                    self.conn.execute("ROLLBACK")
                raise
            self.commits += 1

    def close(self) -> None:
        self.conn.close()
        if not self.created:
            return
        # A file this store made and never committed to is not left behind;
        # a staged one that holds something takes the database's name.
        if os.stat(self._file).st_size == 0:
            self._drop_new_file()
        elif self._staged is not None:
            publish(self._staged, self.path)

    def execute(self, sql: str, params: Sequence[Any] = ()) -> None:
        self.conn.execute(sql, params)

    def query(self, sql: str, params: Sequence[Any] = ()) -> list[tuple[Any, ...]]:
        return self.conn.execute(sql, params).fetchall()

    def table_exists(self, table: str) -> bool:
        return bool(self.query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?", (table,)))

    def existing_columns(self, table: str) -> list[tuple[str, str]]:
        return [(r[1], r[2]) for r in self.query(f"PRAGMA table_info({self.quote(table)})")]

    def insert_rows(self, table: str, columns: Sequence[str], rows: Iterable[Sequence[Any]]) -> None:
        names = ", ".join(map(self.quote, columns))
        marks = ", ".join("?" * len(columns))
        self.conn.executemany(f"INSERT INTO {self.quote(table)} ({names}) VALUES ({marks})", rows)

    def load_chunks(self, table: str, columns: Optional[Sequence[str]], path: str, dump_table: str,
                    batch_rows: int, allow_incomplete: bool = False) -> int:
        existing = self.existing_columns(table)
        names = [n for n, _ in existing] if columns is None else list(columns)
        # Integers beyond 64 bits go in as their digits, into columns without
        # a declared type (what a created numeric column has); elsewhere
        # SQLite refuses them. Decimals (which SQLite cannot bind) go in as
        # their digits too.
        untyped = {n for n, t in existing if not t}
        decimals = {k for k, (_, mode, _) in enumerate(dump.declared_types(path, dump_table) or [])
                    if mode == "decimal"}
        wide = [k for k, n in enumerate(names) if n in untyped or k in decimals]
        table_q = self.quote(table)
        loaded = 0
        statement = None
        chunks = dump.TableRowChunks(path, dump_table, batch_rows, allow_incomplete)
        for chunk in chunks:
            if statement is None:
                width = len(names) if columns is not None else len(chunk[0])
                statement = (f"INSERT INTO {table_q} ({', '.join(map(self.quote, names[:width]))}) "
                             f"VALUES ({', '.join('?' * width)})")
            if wide:
                chunk = [_digits_beyond_int64(row, wide) for row in chunk]
            try:
                self.conn.executemany(statement, chunk)
            except OverflowError as e:
                raise StoreError(f"a value of {dump_table} is an integer beyond 64 bits, which a typed "
                                 f"SQLite column cannot hold ({e})") from e
            except sqlite3.ProgrammingError as e:
                raise StoreError(f"rows of {dump_table} do not fit {table}: {e}") from e
            loaded += len(chunk)
        self.incomplete = chunks.report()["incomplete"]
        return loaded


def _digits_beyond_int64(row: tuple[Any, ...], columns: list[int]) -> tuple[Any, ...]:
    if not any(_wide(row[k]) for k in columns if k < len(row)):
        return row
    out = list(row)
    for k in columns:
        if k < len(out) and _wide(out[k]):
            out[k] = format(out[k], "f") if isinstance(out[k], decimal.Decimal) else str(out[k])
    return tuple(out)


def _wide(value: Any) -> bool:
    """An integer beyond 64 bits (a Decimal beyond a thousand digits)."""
    return (type(value) is int and value not in _INT64) or type(value) is decimal.Decimal


class PostgresStore(Store):
    types = PG_TYPES

    def __init__(self, url: str) -> None:
        super().__init__(url)
        try:
            import psycopg
        except ImportError as e:
            raise StoreError("PostgreSQL needs psycopg 3: pip install 'zemo-etl[postgres]'") from e
        try:
            self.conn = psycopg.connect(url, autocommit=True)  # transactions only where asked
        except psycopg.Error as e:
            # Not chained: libpq's own text may show the password (or pieces of it).
            raise StoreError(f"cannot connect to {self.name}: {self.scrub(e)}") from None

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        with _CtrlCHeld() as held:
            with self.conn.transaction():
                yield
                held.start()  # the commit is made on leaving the block
            self.commits += 1

    def close(self) -> None:
        self.conn.close()

    def execute(self, sql: str, params: Sequence[Any] = ()) -> None:
        self.conn.execute(sql.encode(), params or None)

    def query(self, sql: str, params: Sequence[Any] = ()) -> list[tuple[Any, ...]]:
        return self.conn.execute(sql.encode(), params or None).fetchall()

    def table_exists(self, table: str) -> bool:
        return self.query("SELECT to_regclass(%s) IS NOT NULL", (self.quote(table),))[0][0]

    def existing_columns(self, table: str) -> list[tuple[str, str]]:
        return self.query("SELECT attname, format_type(atttypid, atttypmod) FROM pg_attribute "
                          "WHERE attrelid = to_regclass(%s) AND attnum > 0 AND NOT attisdropped ORDER BY attnum",
                          (self.quote(table),))

    def clear(self, table: str) -> None:
        self.execute(f"TRUNCATE {self.quote(table)}")

    def _copy_sql(self, table: str, columns: Optional[Sequence[str]]) -> bytes:
        names = f" ({', '.join(map(self.quote, columns))})" if columns is not None else ""
        return f"COPY {self.quote(table)}{names} FROM STDIN".encode()

    def insert_rows(self, table: str, columns: Sequence[str], rows: Iterable[Sequence[Any]]) -> None:
        with self.conn.cursor() as cur, cur.copy(self._copy_sql(table, columns)) as copy:
            for row in rows:
                copy.write_row([pg.to_pg_text_form(v) if type(v) is str else v for v in row])

    def load_chunks(self, table: str, columns: Optional[Sequence[str]], path: str, dump_table: str,
                    batch_rows: int, allow_incomplete: bool = False) -> int:
        # The rows arrive as ready COPY text: no value passes through Python.
        loaded = 0
        with self.conn.cursor() as cur, cur.copy(self._copy_sql(table, columns)) as copy:
            chunks = dump.TableCopyChunks(path, dump_table, batch_rows, allow_incomplete)
            for chunk in chunks:
                copy.write(chunk)
                loaded += chunk.count(b"\n")
        self.incomplete = chunks.report()["incomplete"]
        return loaded


SQLITE_PREFIX = "sqlite:///"


def sqlite_path(url: str) -> Optional[str]:
    """The database file a sqlite:/// URL names (percent-decoded), None for
    another URL. StoreError for one without a path, or with a query string:
    SQLite's URI parameters are not taken, and a file name holding '?' is
    written with %3F. Every reader of these URLs goes through here."""
    if not url.startswith(SQLITE_PREFIX):
        return None
    rest = url[len(SQLITE_PREFIX):]
    if "?" in rest:
        raise StoreError(f"{redact_url(url)}: a SQLite URL takes no query string "
                         f"(?{rest.split('?', 1)[1]}); a '?' in the file name is written %3F")
    path = urllib.parse.unquote(rest)
    if not path:
        raise StoreError(f"no database path in {redact_url(url)}")
    return path


def sqlite_url(path: str) -> str:
    """The sqlite:/// URL of a database file: `sqlite_path` gives `path` back."""
    return SQLITE_PREFIX + path.replace("%", "%25").replace("?", "%3F")


def open_store(url: str, staged: bool = False) -> Store:
    """The store of a URL. `staged`: a new SQLite database is built under a
    private temporary name and takes its own name only when closed holding
    something (for a one-transaction load; a resumable run needs each
    committed step under the real name at once)."""
    path = sqlite_path(url)
    if path is not None:
        return SQLiteStore(url, path, staged)
    if url.startswith(("postgresql://", "postgres://")):
        return PostgresStore(url)
    raise StoreError(f"unsupported database URL {redact_url(url)}: use sqlite:///PATH or postgresql://...")


@dataclass
class LoadResult:
    rows: int
    created: bool


def _new_table_columns(path: str, table: str) -> list[tuple[str, str]]:
    """(name, type) of a new table for the dump table's rows: names from the
    dump's CREATE TABLE when it has one, else c1..cN; types from the values."""
    names = dump.table_columns(path, table)
    types = dump.table_column_types(path, table)
    if names is None:
        if not types:
            dump.require_table(path, table)
            raise StoreError(f"{path} holds no rows of {table} and no CREATE TABLE to take its columns from")
        names = [f"c{k}" for k in range(1, len(types) + 1)]
    elif types and len(types) != len(names):
        raise StoreError(f"the CREATE TABLE of {table} in {path} names {len(names)} columns "
                         f"but its rows hold {len(types)} values")
    return list(zip(names, types + ["text"] * (len(names) - len(types))))


def load_dump_table(store: Store, path: str, table: str, *, create: bool = False, replace: bool = False,
                    batch_rows: int = DEFAULT_BATCH_ROWS, allow_incomplete: bool = False) -> LoadResult:
    """Moves the rows of `table` in the dump at `path` into the table of the
    same name in `store`, in one transaction: created first when missing and
    `create` is set (``library`` from the published DDL), emptied first when
    `replace` is set, else appended to."""
    try:
        require_regular_file(path)  # a FIFO or a device would block the reader
    except FileNotFoundError:
        raise StoreError(f"no dump file {path}") from None
    except SafetyError as e:
        raise StoreError(str(e)) from None
    except OSError as e:
        raise StoreError(f"{path}: {e.strerror}") from None
    if batch_rows < 1:
        raise StoreError(f"{OPTION} must be at least 1", "batch_rows")
    if os.path.getsize(path) == 0:
        raise StoreError(f"{path} is empty: no dump to load table {table} from")
    with store.transaction():
        created = False
        if table == schema.LIBRARY_TABLE:
            columns: Optional[list[str]] = schema.library_columns()
        else:
            columns = dump.table_columns(path, table)
        if not store.table_exists(table):
            if not create:
                raise StoreError(f"{store.name} has no table {table} ({OPTION} makes it)", "create")
            if table == schema.LIBRARY_TABLE:
                store.execute(schema.library_ddl())
            else:
                new_columns = _new_table_columns(path, table)
                store.create_table(table, new_columns)
                columns = [n for n, _ in new_columns]
            created = True
        elif replace:
            store.clear(table)
        rows = store.load_chunks(table, columns, path, table, batch_rows, allow_incomplete)
    return LoadResult(rows, created)
