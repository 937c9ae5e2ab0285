"""One table of a MySQL dump in chunks, and what a new table for it needs.

``TableRowChunks(path, table_name, chunk_rows=10000)`` iterates over lists of
row tuples that together are exactly ``parser.load_table_rows(path,
table_name)``, in order, while memory stays bounded by one chunk;
``TableCopyChunks`` gives the same rows as PostgreSQL COPY text.
``table_columns`` reads the column names of the dump's own CREATE TABLE and
``table_column_types`` the type each column takes from its values. Every
``path`` is a str or an ``os.PathLike``.
"""

from __future__ import annotations

import os
from typing import Any, Generic, Optional, TypeVar

from zemo_etl import _ext

__all__ = ["TableRowChunks", "TableCopyChunks", "table_columns", "table_column_types"]


_Chunk = TypeVar("_Chunk")


class _Chunks(Generic[_Chunk]):
    __slots__ = ("_chunks",)
    _native: Any

    def __init__(self, path: str | os.PathLike[str], table_name: str, chunk_rows: int = 10000) -> None:
        self._chunks = self._native(os.fspath(path), table_name, chunk_rows)

    def __iter__(self) -> _Chunks[_Chunk]:
        return self

    def __next__(self) -> _Chunk:
        return next(self._chunks)


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
