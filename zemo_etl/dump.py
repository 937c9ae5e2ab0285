"""One table of a MySQL dump in chunks, and what a new table for it needs.

``TableRowChunks(path, table_name, chunk_rows=10000)`` iterates over lists of
row tuples that together are the rows of ``parser.load_table_rows(path,
table_name)``, in order, while memory stays bounded by one chunk;
``TableCopyChunks`` gives the same rows as PostgreSQL COPY text. Both also
read INSERT IGNORE and REPLACE statements and judge the whole file at the end
of the table: a dump cut short raises ``IncompleteDumpError`` (unless
``allow_incomplete``), a file that changed while it was read ``DumpError``,
and a dump that holds no such table at all (no CREATE TABLE, no INSERT)
``MissingTableError``, naming the tables it does hold; ``report()`` tells
what the scan saw. ``dump_tables`` lists the tables of a dump,
``table_columns`` reads the column names of the dump's own CREATE TABLE and
``table_column_types`` the type each column takes from its declared type or
else its values. Every ``path`` is a str or an ``os.PathLike``.

Columns are read by their declared types where the dump's CREATE TABLE gives
them: DECIMAL and NUMERIC as ``decimal.Decimal`` of the digits written,
BLOB, BINARY, VARBINARY, BIT and the geometry types as ``bytes`` (in default
and ``--hex-blob`` dumps alike; a BIT(n) value as (n + 7) // 8 bytes);
``declared_types=False`` reads every column as ``parser.load_table_rows``
does.

A dump compressed with gzip, bzip2, xz or zstd (known by its first bytes,
whatever its name) is decompressed as it is read, by a process beside the
parsing, into neither memory whole nor disk; so is a ``path`` of "-", standard
input, which ``TableRowChunks`` and ``TableCopyChunks`` read (once). A cut
compressed stream is a dump cut short. A file of another binary kind raises
``NotADumpError``. Every error about
the dump itself (one that cannot be opened or read included) is a
``DumpError``, a RuntimeError.
"""

from __future__ import annotations

import contextlib
import fcntl
import io
import os
import re
import stat
import sys
import subprocess
import threading
from collections.abc import Iterator
from typing import IO, Any, Generic, Optional, Sequence, TypeVar, cast

from zemo_etl import _decompress, _ext
from zemo_etl._ext import DumpError, IncompleteDumpError

__all__ = ["TableRowChunks", "TableCopyChunks", "DumpError", "IncompleteDumpError", "MissingTableError", "NotADumpError",
           "table_columns", "table_column_types", "column_positions", "dump_tables", "compression_of",
           "open_decompressed", "declared_types"]

# First bytes of the compressed formats read, and of files often given by mistake.
_COMPRESSIONS = [(b"\x1f\x8b", "gzip"), (b"BZh", "bzip2"), (b"\xfd7zXZ\x00", "xz"), (b"\x28\xb5\x2f\xfd", "zstd")]
_LOOKS_LIKE = [(b"PK\x03\x04", "a zip archive or an office document"), (b"SQLite format 3\x00", "an SQLite database"),
               (b"\x89PNG", "a PNG image"), (b"\xff\xd8\xff", "a JPEG image"), (b"%PDF", "a PDF document"),
               (b"\x7fELF", "a program"), (b"7z\xbc\xaf\x27\x1c", "a 7-Zip archive"),
               (b"\xff\xfe", "UTF-16 text"), (b"\xfe\xff", "UTF-16 text")]
_HEAD = 4096


class NotADumpError(DumpError):
    """The file is of a binary kind no dump is (an image, an archive, a database)."""


def compression_of(head: bytes) -> Optional[str]:
    """The compression ("gzip", "bzip2", "xz", "zstd") of a file starting with `head`, or None."""
    return next((name for magic, name in _COMPRESSIONS if head.startswith(magic)), None)


def open_decompressed(raw: IO[bytes], compression: str) -> IO[bytes]:
    """The decompressed bytes of `raw` as a stream, decompressed as they are
    read: members (gzip members, zstd frames, xz and bzip2 streams) one after
    another are one stream, and data that ends inside one raises EOFError."""
    try:
        return cast(IO[bytes], _decompress.Decompressing(raw, compression))
    except ModuleNotFoundError as e:
        raise DumpError(str(e)) from None


_STDIN = "-"


class _Feed:
    """The dump's bytes, decompressed where they are compressed, written
    into a pipe for the reader to take in pieces (the reader opens it by
    ``path``): nothing is held whole, in memory or on disk. A compressed file
    is decompressed by a process of its own (``_decompress``), which runs
    beside the parsing and the Python work on the rows with no lock to share;
    standard input by a thread. A reader that stops early closes the pipe,
    which ends either."""

    def __init__(self, name: str, raw: io.BufferedIOBase, compression: Optional[str],
                 identity: Optional[tuple[Any, ...]]) -> None:
        self.name, self.compression, self._read = name, compression, -1
        self.error: Optional[BaseException] = None
        self.changed = False
        self._identity = identity
        self._child: Optional[subprocess.Popen[bytes]] = None
        data = raw if compression is None else cast(io.BufferedIOBase, open_decompressed(cast(IO[bytes], raw), compression))
        try:
            # The decompressed data must be a dump too (not an image gzipped).
            first = data.read1(_PIECE)
            _refuse_other_kinds(first[:_HEAD], name, compression)
        except EOFError as e:
            self.error, first = e, b""  # cut within its first block: judged at the end, as any cut
        except (ValueError, OSError) as e:
            raise DumpError(f"{name}: cannot read {self._what()} ({e})") from None
        read, write = os.pipe2(os.O_CLOEXEC)
        try:
            fcntl.fcntl(write, _F_SETPIPE_SZ, _PIECE)
        except OSError:
            pass  # the default size only costs more switches
        self._read = read
        self.path = f"/proc/self/fd/{read}"
        self._raw = raw
        self._thread = threading.Thread(target=self._run, args=(raw, data, first, write), daemon=True,
                                        name="zemo-etl dump feed")
        if compression is None or identity is None or self.error is not None:
            self._thread.start()
            return
        try:
            os.lseek(raw.fileno(), 0, os.SEEK_SET)
            self._child = subprocess.Popen([sys.executable, _decompress.__file__, compression], stdin=raw.fileno(),
                                           stdout=write, stderr=subprocess.PIPE, close_fds=True)
        finally:
            os.close(write)

    def _run(self, raw: io.BufferedIOBase, data: io.BufferedIOBase, block: bytes, write: int) -> None:
        try:
            # Unbuffered: what has come is the reader's at once.
            with open(write, "wb", buffering=0) as out:
                while block:
                    view = memoryview(block)
                    while view:
                        view = view[out.write(view) or 0:]
                    block = data.read1(_PIECE)
                if self._identity is not None:
                    self.changed = self._identity != _identity(raw, self.name)  # removed: changed too
        except BrokenPipeError:
            pass  # the reader stopped
        except BaseException as e:  # noqa: BLE001 - the reader's thread reports it
            self.error = e
        finally:
            raw.close()

    def opened(self) -> None:
        """The reader holds the pipe by its own descriptor now."""
        if self._read >= 0:
            os.close(self._read)
            self._read = -1

    def failure(self, table: str, rows: int, allow_incomplete: bool) -> Optional[DumpError]:
        """Once the reader has seen the end: what went wrong on the feeding
        side, if anything (a cut compressed stream is an incomplete dump)."""
        if self._child is not None:
            self._judge_child()
        elif self._thread.ident is not None:
            self._thread.join()
        if self.changed:
            return DumpError(f"{self.name}: the file changed while table `{table}` was read ({rows} rows read); "
                             f"read it again once it is complete")
        return None if self.error is None else self._failure(self.error, table, rows, allow_incomplete)

    def _failure(self, e: BaseException, table: str, rows: int, allow_incomplete: bool) -> Optional[DumpError]:
        if isinstance(e, EOFError):
            return None if allow_incomplete else IncompleteDumpError(f"{self.name}: table `{table}`: {self.cut(rows)}")
        if isinstance(e, (OSError, ValueError)):
            return DumpError(f"{self.name}: cannot read {self._what()} ({e})")
        raise e

    def _judge_child(self) -> None:
        assert self._child is not None and self._child.stderr is not None
        status, reason = self._child.wait(), self._child.stderr.read().decode("utf-8", "replace").strip()
        self._child.stderr.close()
        self._child = None
        if status == _decompress.CUT:
            self.error = EOFError(reason)
        elif status != 0:
            self.error = ValueError(reason or f"the decompressor ended with status {status}")
        try:
            self.changed = self._identity != _identity(self._raw, self.name)
        finally:
            self._raw.close()

    def _what(self) -> str:
        return f"its {self.compression} data" if self.compression else "it"

    def cut(self, rows: int) -> Optional[str]:
        """Why the dump is incomplete when its compressed data is cut short, else None."""
        if not isinstance(self.error, EOFError):
            return None
        return f"its {self.compression} data is cut short ({rows} rows read); the dump is incomplete or damaged"

    def __del__(self) -> None:
        self.opened()
        if getattr(self, "_child", None) is not None:
            self._raw.close()  # the reader stopped before the end


_PIECE = _decompress.PIECE
_F_SETPIPE_SZ = 1031  # fcntl.F_SETPIPE_SZ, which Python names from 3.10 on


def _identity(raw: io.BufferedIOBase, name: str) -> tuple[Any, ...]:
    """What tells a file from itself rewritten, by its descriptor and by its name (None once removed)."""
    try:
        named: Optional[os.stat_result] = os.stat(name)
    except OSError:
        named = None
    return tuple(s and (s.st_dev, s.st_ino, s.st_size, s.st_mtime_ns) for s in (os.fstat(raw.fileno()), named))


class _Joined(io.BufferedIOBase):
    """`first`, then the rest of `raw`."""

    def __init__(self, first: bytes, raw: io.RawIOBase) -> None:
        super().__init__()
        self._first, self._raw = first, raw

    def readable(self) -> bool:
        return True

    def read1(self, size: Optional[int] = -1) -> bytes:
        if self._first:
            block, self._first = self._first, b""
            return block
        return self._raw.read(_PIECE if size is None or size < 0 else size) or b""

    read = read1

    def close(self) -> None:
        self._raw.close()
        super().close()


def _source(path: str) -> Optional[_Feed]:
    """How the reader gets the dump at `path` ("-": standard input): None
    for a plain regular file, which it maps itself; else a feed.
    NotADumpError for a file of another binary kind."""
    if path == _STDIN:
        stdin = cast(io.BufferedReader, sys.stdin.buffer)
        head = stdin.read1(_HEAD)
        _refuse_other_kinds(head, "standard input")
        # The rest straight from the descriptor: a thread left reading the
        # buffered stream would hold its lock when the interpreter exits.
        joined = _Joined(head, io.FileIO(os.dup(stdin.fileno()), "rb"))
        try:
            return _Feed("standard input", joined, compression_of(head), None)
        except BaseException:
            joined.close()
            raise
    try:
        raw = open(path, "rb")
    except OSError:
        return None  # the reader's own message
    try:
        head = raw.peek(_HEAD)[:_HEAD]
        _refuse_other_kinds(head, path)
        compression = compression_of(head)
        if compression is None and stat.S_ISREG(os.fstat(raw.fileno()).st_mode):
            raw.close()
            return None
        return _Feed(path, raw, compression, _identity(raw, path))
    except BaseException:
        raw.close()
        raise


def _refuse_other_kinds(head: bytes, name: str, inside: Optional[str] = None) -> None:
    """NotADumpError for bytes of a kind no dump is (`inside`: decompressed from that compression)."""
    what = next((kind for magic, kind in _LOOKS_LIKE if head.startswith(magic)), None)
    if inside is not None and compression_of(head) is not None:
        what = f"{compression_of(head)} data"
    if what is None and b"\x00" in head:
        what = "binary data"
    if what is not None and (inside is not None or compression_of(head) is None):
        raise NotADumpError(f"{name} is not a dump (it looks like {what}{' inside ' + inside if inside else ''})")


def _named(text: str, read: str, path: str) -> str:
    return text.replace(read, path) if read != path else text


@contextlib.contextmanager
def _reading(path: str | os.PathLike[str]) -> Iterator[tuple[str, Optional[_Feed]]]:
    """The name the reader opens for the dump at `path`, and its feed (None
    for a plain file); a DumpError names the file as the caller did."""
    path = os.fspath(path)
    feed = _source(path)
    read = feed.path if feed is not None else path
    try:
        yield read, feed
    except DumpError as e:
        raise type(e)(_named(str(e), read, _shown(path))) from None
    finally:
        if feed is not None:
            feed.opened()


def _shown(path: str) -> str:
    return "standard input" if path == _STDIN else path


def _definitions(path: str | os.PathLike[str], table_name: str) -> Optional[list[tuple[str, str]]]:
    with _reading(path) as (read, feed):
        if feed is None:
            return _ext.table_column_definitions(read, table_name)
        # Dumps create a table before its rows: a stream is read that far only.
        return _ext.TableRowChunks(read, table_name).table_definitions()


class MissingTableError(DumpError, LookupError):
    """The dump holds no table of that name. ``tables``: those it holds
    (None when it cannot be read again to list them: standard input);
    ``suggestion``: the one whose name differs only in case, if exactly one
    does (never used in its place)."""

    def __init__(self, path: str, table: str, tables: Optional[list[str]]) -> None:
        self.path, self.table, self.tables = path, table, tables
        folded = [t for t in tables or [] if t.casefold() == table.casefold()]
        self.suggestion = folded[0] if len(folded) == 1 else None
        message = f"{path} holds no table `{table}`"
        if tables is not None:
            message += f" (tables: {', '.join(tables) if tables else 'none'})"
        if self.suggestion is not None:
            message += f"; did you mean `{self.suggestion}`?"
        super().__init__(message)


_Chunk = TypeVar("_Chunk")


# What a column's declared type (its first word) asks: how its values are
# read, and the type a new table's column gets. Dates stay the text the dump
# writes (TIMESTAMP in UTC, as dumps set their time zone to write it).
_BINARY = {"blob", "tinyblob", "mediumblob", "longblob", "binary", "varbinary", "geometry", "point",
           "linestring", "polygon", "multipoint", "multilinestring", "multipolygon", "geometrycollection"}
_TEMPORAL = {"date": "date", "datetime": "timestamp", "timestamp": "timestamp", "time": "time"}
_DECIMAL = {"decimal", "numeric", "dec", "fixed"}
_DECLARED_TYPE = re.compile(r"([A-Za-z]+)\s*(?:\(\s*(\d+))?")
# Digits a double keeps (SQLite's NUMERIC affinity keeps a decimal as a REAL up to these).
_DOUBLE_DIGITS = 15


def _declared(definition: str) -> tuple[str, Optional[str]]:
    """The read mode and the column type (None: from the values) of a column definition."""
    m = _DECLARED_TYPE.match(definition)
    word = m.group(1).lower() if m else ""
    size = int(m.group(2)) if m and m.group(2) else None
    if word in _DECIMAL:
        return "decimal", "decimal" if (size or 10) <= _DOUBLE_DIGITS else "numeric"
    if word in _BINARY:
        return "bytes", "bytes"
    if word == "bit":
        return f"bytes:{((size or 1) + 7) // 8}", "bytes"
    return "value", _TEMPORAL.get(word)


def declared_types(path: str | os.PathLike[str], table_name: str) -> Optional[list[tuple[str, str, Optional[str]]]]:
    """(name, read mode, column type or None) of each column of the table's
    CREATE TABLE, or None when the dump has none: the mode as
    ``TableRowChunks.read_columns`` takes it ("value", "decimal", "bytes",
    "bytes:N"), the type one of ``table_column_types``'s, None where the
    values decide."""
    definitions = _definitions(path, table_name)
    if definitions is None:
        return None
    return [(name, *_declared(definition)) for name, definition in definitions]


class _Chunks(Generic[_Chunk]):
    __slots__ = ("_chunks", "_path", "_table", "_read", "_feed", "_allow_incomplete", "_declared")
    _native: Any

    def __init__(self, path: str | os.PathLike[str], table_name: str, chunk_rows: int = 10000,
                 allow_incomplete: bool = False, declared_types: bool = True) -> None:
        self._path, self._table, self._allow_incomplete = os.fspath(path), table_name, allow_incomplete
        with _reading(self._path) as (self._read, self._feed):
            self._chunks = self._native(self._read, table_name, chunk_rows, allow_incomplete)
            # One pass: the CREATE TABLE is read on the way to the first row.
            declared = self._chunks.table_definitions()
        self._declared = None if declared is None else [name for name, _ in declared]
        modes = [_declared(definition)[0] for _, definition in declared or []] if declared_types else []
        if any(mode != "value" for mode in modes):
            self._chunks.read_columns(modes)

    @property
    def declared_columns(self) -> Optional[list[str]]:
        """The column names of the table's CREATE TABLE met before its first row, or None."""
        return self._declared

    def __iter__(self) -> _Chunks[_Chunk]:
        return self

    def __next__(self) -> _Chunk:
        try:
            return next(self._chunks)
        except StopIteration:
            self._judge_feed()
            # Only a scan that found nothing asks whether the table exists
            # (of a dump whole enough to tell).
            cut = self._feed is not None and self._feed.cut(0) is not None
            if self._chunks.report()["rows"] == 0 and self._declared is None and not cut:
                require_table(self._path, self._table)
            raise
        except DumpError as e:  # messages name the file as the caller did
            if isinstance(e, IncompleteDumpError):
                self._judge_feed()  # a cut compressed stream says best why the dump is cut
            raise type(e)(_named(str(e), self._read, _shown(self._path))) from None

    def _judge_feed(self) -> None:
        if self._feed is not None:
            failure = self._feed.failure(self._table, self._chunks.report()["rows"], self._allow_incomplete)
            if failure is not None:
                raise failure from None

    def report(self) -> dict[str, Any]:
        """What the scan has seen so far: rows, statements, whether the last was terminated, the dump's header and
        trailer, whether the file changed, and why it is incomplete (None when it is not)."""
        report = self._chunks.report()
        if report.get("incomplete") is not None:
            report["incomplete"] = _named(report["incomplete"], self._read, _shown(self._path))
        cut = self._feed.cut(report["rows"]) if self._feed is not None else None
        if cut is not None:
            report["incomplete"] = f"{_shown(self._path)}: table `{self._table}`: {cut}"
        return report


class TableRowChunks(_Chunks[list[tuple[Any, ...]]]):
    """Iterate over the rows of a table in a MySQL dump file, in lists of at most chunk_rows tuples."""

    __slots__ = ()
    _native = _ext.TableRowChunks


class TableCopyChunks(_Chunks[bytes]):
    """Iterate over the rows of a table in a MySQL dump file as PostgreSQL COPY text."""

    __slots__ = ()
    _native = _ext.TableCopyChunks


def table_columns(path: str | os.PathLike[str], table_name: str) -> Optional[list[str]]:
    """The column names of the table's CREATE TABLE statement, or None when the dump has none."""
    with _reading(path) as (read, feed):
        if feed is None:
            return _ext.table_columns(read, table_name)
    definitions = _definitions(path, table_name)
    return None if definitions is None else [name for name, _ in definitions]


def table_column_types(path: str | os.PathLike[str], table_name: str) -> list[str]:
    """The type each column of the table takes: its declared type's where that
    keeps values a plain number or string would not ("decimal": DECIMAL up to
    15 digits, "numeric": beyond, "bytes", "date", "timestamp", "time"), else
    from its values ("integer", "float", "text", "mixed", "numeric": see
    ``_ext.table_column_types``). As wide as the widest row, or as the CREATE
    TABLE when the table has no rows."""
    with _reading(path) as (read, feed):
        types = _ext.table_column_types(read, table_name)
    declared = declared_types(path, table_name)
    if declared is None:
        return types
    if not types:
        types = ["text"] * len(declared)
    kinds = [kind for _, _, kind in declared]
    return [(kinds[k] if k < len(kinds) else None) or value for k, value in enumerate(types)]


def column_positions(named: Optional[Sequence[str]], wanted: Sequence[str]) -> list[Optional[int]]:
    """Where each of `wanted` sits in rows whose columns are `named` (the
    INSERT's column list or the CREATE TABLE's), None for one they lack; by
    position when the dump names none."""
    if named is None:
        return list(range(len(wanted)))
    where = {name: k for k, name in enumerate(named)}
    return [where.get(name) for name in wanted]


_STATEMENT_TABLE = re.compile(
    rb"(?:^|\n)(?:CREATE TABLE(?: IF NOT EXISTS)?|INSERT(?: IGNORE)? INTO|REPLACE INTO)\s+`?([^`\s(]+)`?")


def dump_tables(path: str | os.PathLike[str]) -> list[str]:
    """The tables a dump creates or inserts into, in the order met."""
    found: dict[str, None] = {}
    tail = b""
    with _reading(path) as (read, feed), open(read, "rb") as f:
        while True:
            block = f.read(1 << 20)
            text = tail + block
            # A statement's start cut by the block's end is read again with the next block.
            cut = max(0, len(text) - 512) if block else len(text)
            for m in _STATEMENT_TABLE.finditer(text):
                if m.start() < cut:
                    found.setdefault(m.group(1).decode("utf-8", "replace"), None)
            if not block:
                return list(found)
            tail = text[cut:]


def require_table(path: str | os.PathLike[str], table_name: str) -> None:
    """Raises MissingTableError when the dump neither creates nor fills
    `table_name` (read through already, for standard input)."""
    if os.fspath(path) == _STDIN:
        raise MissingTableError(_shown(_STDIN), table_name, None)
    if table_columns(path, table_name) is None:
        tables = dump_tables(path)
        if table_name not in tables:
            raise MissingTableError(os.fspath(path), table_name, tables)
