"""One table of a MySQL dump in chunks, and what a new table for it needs.

``TableRowChunks(path, table_name, chunk_rows=10000)`` iterates over lists of
row tuples that together are the rows of ``parser.load_table_rows(path,
table_name)``, in order, while memory stays bounded by one chunk;
``TableCopyChunks`` gives the same rows as PostgreSQL COPY text. Both also
read INSERT IGNORE and REPLACE statements and judge the whole file at the end
of the table: a dump cut short raises ``IncompleteDumpError`` (unless
``allow_incomplete``), a file that changed while it was read RuntimeError,
and a dump that holds no such table at all (no CREATE TABLE, no INSERT)
``MissingTableError``, naming the tables it does hold; ``report()`` tells
what the scan saw. ``dump_tables`` lists the tables of a dump. ``table_columns`` reads the column
names of the dump's own CREATE TABLE and ``table_column_types`` the type each
column takes from its values. Every ``path`` is a str or an ``os.PathLike``.
"""

from __future__ import annotations

import os
import re
from typing import Any, Generic, Optional, Sequence, TypeVar

from zemo_etl import _ext
from zemo_etl._ext import IncompleteDumpError

__all__ = ["TableRowChunks", "TableCopyChunks", "IncompleteDumpError", "MissingTableError", "table_columns",
           "table_column_types", "column_positions", "dump_tables"]


class MissingTableError(RuntimeError, LookupError):
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


class _Chunks(Generic[_Chunk]):
    __slots__ = ("_chunks", "_path", "_table")
    _native: Any

    def __init__(self, path: str | os.PathLike[str], table_name: str, chunk_rows: int = 10000,
                 allow_incomplete: bool = False) -> None:
        self._path, self._table = os.fspath(path), table_name
        self._chunks = self._native(self._path, table_name, chunk_rows, allow_incomplete)

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

    def report(self) -> dict[str, Any]:
        """What the scan has seen so far: rows, statements, whether the last was terminated, the dump's header and
        trailer, whether the file changed, and why it is incomplete (None when it is not)."""
        return self._chunks.report()


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
    return _ext.table_columns(os.fspath(path), table_name)


def table_column_types(path: str | os.PathLike[str], table_name: str) -> list[str]:
    """The type each column of the table takes from its values."""
    return _ext.table_column_types(os.fspath(path), table_name)


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
    with open(path, "rb") as f:
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
