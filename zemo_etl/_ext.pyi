"""Native helpers beside zemo_etl._native; used through the package's modules (zemo_etl.dump)."""

from collections.abc import Iterator
from typing import Optional, Union, final

__all__ = ["TableRowChunks", "TableCopyChunks", "table_columns", "table_column_types"]

_Value = Union[None, int, float, str]

@final
class TableRowChunks:
    """Iterate over the rows of a table in a MySQL dump file, in lists of at most chunk_rows tuples."""

    def __new__(cls, path: str, table_name: str, chunk_rows: int = 10000) -> TableRowChunks: ...
    def __iter__(self) -> Iterator[list[tuple[_Value, ...]]]: ...
    def __next__(self) -> list[tuple[_Value, ...]]: ...

@final
class TableCopyChunks:
    """Iterate over the rows of a table in a MySQL dump file as PostgreSQL COPY text."""

    def __new__(cls, path: str, table_name: str, chunk_rows: int = 10000) -> TableCopyChunks: ...
    def __iter__(self) -> Iterator[bytes]: ...
    def __next__(self) -> bytes: ...

def table_columns(path: str, table_name: str) -> Optional[list[str]]:
    """The column names of the table's CREATE TABLE statement in a MySQL dump file, or None
    when the dump has none.
    """

def table_column_types(path: str, table_name: str) -> list[str]:
    """The type each column of the table takes from its values in a MySQL dump file."""
