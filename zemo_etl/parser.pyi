"""Reading one table's rows out of a MySQL dump file."""

from typing import Union

__all__ = ["load_table_rows", "iter_table_rows", "parse_sql_values"]

_Value = Union[None, int, float, str]

def load_table_rows(path: str, table_name: str) -> list[tuple[_Value, ...]]:
    """Load all rows for a given table from a MySQL dump file.

    Returns a list of tuples, matching the sqldump_native API.
    """

def iter_table_rows(path: str, table_name: str) -> list[tuple[_Value, ...]]:
    """Load all rows for a given table (same as load_table_rows for API compatibility).

    The library's own form of this operation hands each row to a callback;
    for Python compatibility this function collects all rows and returns them as a list, matching the sqldump_native API.
    """

def parse_sql_values(line: str) -> list[list[_Value]]:
    """Parse a single INSERT VALUES clause.

    Takes a string like "(1,'a'),(2,'b')" and returns a list of lists.
    """
