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
column takes from its values.
"""

from __future__ import annotations

from typing import Optional, Sequence

from zemo_etl._ext import IncompleteDumpError, TableCopyChunks, TableRowChunks, table_column_types, table_columns

__all__ = ["TableRowChunks", "TableCopyChunks", "IncompleteDumpError", "table_columns", "table_column_types",
           "column_positions"]


def column_positions(named: Optional[Sequence[str]], wanted: Sequence[str]) -> list[Optional[int]]:
    """Where each of `wanted` sits in rows whose columns are `named` (the
    INSERT's column list or the CREATE TABLE's), None for one they lack; by
    position when the dump names none."""
    if named is None:
        return list(range(len(wanted)))
    where = {name: k for k, name in enumerate(named)}
    return [where.get(name) for name in wanted]
