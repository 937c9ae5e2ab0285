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
whatever its name) is read decompressed into memory, never onto disk; a
file of another binary kind raises ``NotADumpError``. Every error about
the dump itself (one that cannot be opened or read included) is a
``DumpError``, a RuntimeError.
"""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
import re
import shutil
import zlib
from typing import IO, Any, Generic, Optional, Sequence, TypeVar, cast

from zemo_etl import _ext
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
    """The decompressed bytes of `raw` as a stream, decompressed as they are read."""
    if compression == "gzip":
        return cast(IO[bytes], gzip.GzipFile(fileobj=raw, mode="rb"))
    if compression == "bzip2":
        return bz2.BZ2File(raw)
    if compression == "xz":
        return lzma.LZMAFile(raw)
    try:
        from compression import zstd  # type: ignore[import-not-found]  # Python 3.14
        return zstd.ZstdFile(raw)
    except ImportError:
        pass
    try:
        import zstandard  # type: ignore[import-not-found]
    except ImportError:
        raise DumpError("reading zstd needs the zstandard module: pip install 'zemo-etl[zstd]'") from None
    return zstandard.ZstdDecompressor().stream_reader(raw, read_across_frames=True)


class _Decompressed:
    """A compressed dump decompressed into an anonymous in-memory file, which
    the reader opens by its /proc name; closed once nobody holds it."""

    def __init__(self, path: str, compression: str, key: tuple[Any, ...]) -> None:
        self.key = key
        self.fd = os.memfd_create("zemo-etl-dump", os.MFD_CLOEXEC)
        try:
            with open(path, "rb") as raw, open(self.fd, "wb", closefd=False) as out:
                if compression == "gzip":
                    _gunzip(raw, out)
                else:
                    with open_decompressed(raw, compression) as data:
                        shutil.copyfileobj(data, out, 1 << 20)
        except (OSError, EOFError, ValueError, lzma.LZMAError, zlib.error) as e:
            os.close(self.fd)
            raise DumpError(f"{path}: cannot read its {compression} data ({e})") from None
        except BaseException:
            os.close(self.fd)
            raise
        self.path = f"/proc/self/fd/{self.fd}"

    def __del__(self) -> None:
        if hasattr(self, "path"):
            os.close(self.fd)


def _gunzip(raw: IO[bytes], out: IO[bytes]) -> None:
    """gzip members one after another, straight through zlib: GzipFile's
    reads cost a third more CPU than the decompression itself."""
    inflate, started = zlib.decompressobj(wbits=31), False
    while block := raw.read(1 << 22):
        while block:
            out.write(inflate.decompress(block))
            started = True
            if not inflate.eof:
                break
            block = inflate.unused_data  # the next member, if any
            inflate, started = zlib.decompressobj(wbits=31), False
    if started and not inflate.eof:
        raise EOFError("the gzip data is cut short")


_last: Optional[_Decompressed] = None  # the last dump decompressed, for the calls that follow on it


def _readable(path: str) -> tuple[str, Optional[_Decompressed]]:
    """The name the reader opens for the dump at `path`, and what must stay
    alive while it reads (a decompressed copy). NotADumpError for a file of
    another binary kind."""
    global _last
    try:
        with open(path, "rb") as f:
            head = f.read(_HEAD)
            st = os.fstat(f.fileno())
    except OSError:
        return path, None  # the reader's own message
    compression = compression_of(head)
    if compression is None:
        what = next((name for magic, name in _LOOKS_LIKE if head.startswith(magic)), None)
        if what is None and b"\x00" in head:
            what = "binary data"
        if what is not None:
            raise NotADumpError(f"{path} is not a dump (it looks like {what})")
        return path, None
    key = (os.path.realpath(path), st.st_dev, st.st_ino, st.st_size, st.st_mtime_ns)
    if _last is None or _last.key != key:
        _last = None  # its memory goes before the next copy is made
        _last = _Decompressed(path, compression, key)
    return _last.path, _last


def _named(text: str, read: str, path: str) -> str:
    return text.replace(read, path) if read != path else text


class MissingTableError(DumpError, LookupError):
    """The dump holds no table of that name. ``tables``: those it holds;
    ``suggestion``: the one whose name differs only in case, if exactly one
    does (never used in its place)."""

    def __init__(self, path: str, table: str, tables: list[str]) -> None:
        self.path, self.table, self.tables = path, table, tables
        folded = [t for t in tables if t.casefold() == table.casefold()]
        self.suggestion = folded[0] if len(folded) == 1 else None
        message = f"{path} holds no table `{table}` (tables: {', '.join(tables) if tables else 'none'})"
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
    read, keep = _readable(os.fspath(path))
    definitions = _ext.table_column_definitions(read, table_name)
    if definitions is None:
        return None
    return [(name, *_declared(definition)) for name, definition in definitions]


class _Chunks(Generic[_Chunk]):
    __slots__ = ("_chunks", "_path", "_table", "_read", "_keep")
    _native: Any

    def __init__(self, path: str | os.PathLike[str], table_name: str, chunk_rows: int = 10000,
                 allow_incomplete: bool = False, declared_types: bool = True) -> None:
        self._path, self._table = os.fspath(path), table_name
        self._read, self._keep = _readable(self._path)
        try:
            self._chunks = self._native(self._read, table_name, chunk_rows, allow_incomplete)
            declared = _ext.table_column_definitions(self._read, table_name) if declared_types else None
        except DumpError as e:
            raise type(e)(_named(str(e), self._read, self._path)) from None
        modes = [_declared(definition)[0] for _, definition in declared or []]
        if any(mode != "value" for mode in modes):
            self._chunks.read_columns(modes)

    def __iter__(self) -> _Chunks[_Chunk]:
        return self

    def __next__(self) -> _Chunk:
        try:
            return next(self._chunks)
        except StopIteration:
            # Only a scan that found nothing asks whether the table exists.
            if self._chunks.report()["rows"] == 0:
                require_table(self._path, self._table)
            raise
        except DumpError as e:  # messages name the file as the caller did
            raise type(e)(_named(str(e), self._read, self._path)) from None

    def report(self) -> dict[str, Any]:
        """What the scan has seen so far: rows, statements, whether the last was terminated, the dump's header and
        trailer, whether the file changed, and why it is incomplete (None when it is not)."""
        report = self._chunks.report()
        if report.get("incomplete") is not None:
            report["incomplete"] = _named(report["incomplete"], self._read, self._path)
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
    read, keep = _readable(os.fspath(path))
    return _ext.table_columns(read, table_name)


def table_column_types(path: str | os.PathLike[str], table_name: str) -> list[str]:
    """The type each column of the table takes: its declared type's where that
    keeps values a plain number or string would not ("decimal": DECIMAL up to
    15 digits, "numeric": beyond, "bytes", "date", "timestamp", "time"), else
    from its values ("integer", "float", "text", "mixed", "numeric": see
    ``_ext.table_column_types``). As wide as the widest row, or as the CREATE
    TABLE when the table has no rows."""
    read, keep = _readable(os.fspath(path))
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
    read, keep = _readable(os.fspath(path))
    with open(read, "rb") as f:
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
    """Raises MissingTableError when the dump neither creates nor fills `table_name`."""
    if table_columns(path, table_name) is None:
        tables = dump_tables(path)
        if table_name not in tables:
            raise MissingTableError(os.fspath(path), table_name, tables)
