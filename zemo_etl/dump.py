"""One table of a MySQL dump in chunks, and what a new table for it needs.

``TableRowChunks(path, table_name, chunk_rows=10000)`` iterates over lists of
row tuples that together are the rows of ``parser.load_table_rows(path,
table_name)``, in order, while memory stays bounded by one chunk;
``TableCopyChunks`` gives the same rows as PostgreSQL COPY text. Both also
read INSERT IGNORE and REPLACE statements and judge the whole file at the end
of the table: a dump cut short raises ``IncompleteDumpError`` (unless
``allow_incomplete``), a file that changed while it was read RuntimeError;
``report()`` tells what the scan saw. ``table_columns`` reads the column
names of the dump's own CREATE TABLE and ``table_column_types`` the type each
column takes from its values. Every ``path`` is a str or an ``os.PathLike``.
"""

from __future__ import annotations

import os
from typing import Any, Generic, Optional, Sequence, TypeVar

from zemo_etl import _ext
from zemo_etl._ext import IncompleteDumpError

__all__ = ["TableRowChunks", "TableCopyChunks", "IncompleteDumpError", "table_columns", "table_column_types",
           "column_positions"]


_Chunk = TypeVar("_Chunk")


class _Chunks(Generic[_Chunk]):
    __slots__ = ("_chunks",)
    _native: Any

    def __init__(self, path: str | os.PathLike[str], table_name: str, chunk_rows: int = 10000,
                 allow_incomplete: bool = False) -> None:
        self._chunks = self._native(os.fspath(path), table_name, chunk_rows, allow_incomplete)

    def __iter__(self) -> _Chunks[_Chunk]:
        return self

    def __next__(self) -> _Chunk:
        return next(self._chunks)

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
