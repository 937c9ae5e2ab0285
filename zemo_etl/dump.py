"""One table of a MySQL dump in chunks, and what a new table for it needs.

``TableRowChunks(path, table_name, chunk_rows=10000)`` iterates over lists of
row tuples that together are exactly ``parser.load_table_rows(path,
table_name)``, in order, while memory stays bounded by one chunk;
``TableCopyChunks`` gives the same rows as PostgreSQL COPY text.
``table_columns`` reads the column names of the dump's own CREATE TABLE and
``table_column_types`` the type each column takes from its values.
"""

from zemo_etl._ext import TableCopyChunks, TableRowChunks, table_column_types, table_columns

__all__ = ["TableRowChunks", "TableCopyChunks", "table_columns", "table_column_types"]
