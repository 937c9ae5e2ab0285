"""`zemo-etl rows`: one table's rows out of a MySQL dump, as CSV or JSON lines."""

from __future__ import annotations

import argparse
import itertools
import json
import sys
from collections.abc import Iterator, Sequence
from typing import Optional

from zemo_etl import dump, parser, schema
from zemo_etl.cli.common import (Progress, UserError, add_command, add_output_options, chunked, csv_writer,
                                 open_output, refuse_overwriting_inputs, require_file)
from zemo_etl.safety import inert

ROW_CHUNK = 10_000


_KNOWN_COLUMNS = {
    schema.LIBRARY_TABLE: schema.library_columns,
    schema.RELEASE_TABLE: schema.discogs_release_columns,
    schema.ENTITY_IDENTITY_TABLE: schema.entity_identity_columns,
}


def known_columns(table: str) -> Optional[list[str]]:
    """The column list `schema` publishes for a table, if any."""
    columns = _KNOWN_COLUMNS.get(table)
    return columns() if columns is not None else None


def column_names(path: str, table: str) -> Optional[list[str]]:
    """The table's column names: `schema`'s list, else the dump's own CREATE TABLE, else None."""
    known = known_columns(table)
    if known is not None:
        return known
    require_file(path)
    try:
        return dump.table_columns(path, table)
    except RuntimeError as e:
        raise UserError(str(e)) from None


def read_rows(dump: str, table: str) -> Iterator[Sequence[tuple[object, ...]]]:
    """The table's rows in chunks, in file order."""
    require_file(dump)
    try:
        rows = parser.load_table_rows(dump, table)
    except RuntimeError as e:
        raise UserError(str(e)) from None
    yield from chunked(rows, ROW_CHUNK)


def add_parsers(sub) -> None:
    p = add_command(sub, "rows", "one table's rows out of a MySQL dump", __doc__ + """
Reads dumps written by mysqldump or mariadb-dump (extended or one-row INSERTs,
--hex-blob, --compact). The CSV header and the keys of JSON objects name the
columns as `schema` does for the tables it knows (library, release,
entity.identity), else as the dump's own CREATE TABLE does; for a table the
dump has no CREATE TABLE for, or with --columns none, the CSV has no header
and JSON lines are arrays. NULL is an empty CSV field and JSON null.""", """
zemo-etl rows library.sql library                      # CSV with a header, to standard output
zemo-etl rows library.sql library --format jsonl -o library.jsonl
zemo-etl rows dump.sql release_label                   # the header of its CREATE TABLE
zemo-etl rows dump.sql release_label --columns none    # no header
""")
    p.add_argument("dump", metavar="DUMP", help="the dump file")
    p.add_argument("table", metavar="TABLE", help="the table's name as in its INSERT statements")
    p.add_argument("--format", choices=["csv", "jsonl"], default="csv", help="output format (default csv)")
    p.add_argument("--columns", choices=["schema", "none"], default="schema",
                   help="name the columns as the known schema or else the dump's CREATE TABLE does "
                        "(default), or not at all")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    add_output_options(p)
    p.set_defaults(handler=run_rows)


def run_rows(args: argparse.Namespace) -> int:
    refuse_overwriting_inputs([args.output], [args.dump])
    columns = column_names(args.dump, args.table) if args.columns == "schema" else None
    chunks = read_rows(args.dump, args.table)
    first = next(chunks, None)  # the dump is read before any output is made
    if columns is not None and first and len(first[0]) != len(columns):
        print(f"zemo-etl rows: {inert(args.table)} rows have {len(first[0])} values but the "
              f"column list {len(columns)}; columns left unnamed", file=sys.stderr)
        columns = None
    with open_output(args.output, args) as out, Progress(f"rows {inert(args.table)}", unit="rows") as progress:
        writer = csv_writer(out, args.csv_safe) if args.format == "csv" else None
        if writer is not None and columns is not None:
            writer.writerow(columns)
        for chunk in itertools.chain([first] if first is not None else [], chunks):
            if writer is not None:
                writer.writerows(chunk)  # None goes out as an empty field
            else:
                for row in chunk:
                    value = dict(zip(columns, row)) if columns is not None else list(row)
                    out.write(json.dumps(value, ensure_ascii=False) + "\n")
            progress.update(len(chunk))
    if first is None:
        print(f"zemo-etl rows: no rows for table `{inert(args.table)}` in {inert(args.dump)}", file=sys.stderr)
    return 0
