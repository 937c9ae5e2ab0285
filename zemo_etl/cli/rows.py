"""`zemo-etl rows`: one table's rows out of a MySQL dump, as CSV or JSON lines."""

from __future__ import annotations

import argparse
import decimal
import itertools
import json
import math
import os
import sys
from collections.abc import Iterator, Sequence
from typing import Optional

from zemo_etl import dump, schema
from zemo_etl.cli.common import (Progress, UserError, add_command, add_output_options, csv_writer, open_output,
                                 output_dialect, refuse_overwriting_inputs, require_file)
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


class DumpRows:
    """The table's rows in chunks, in file order, streamed through the chunk
    reader. A dump cut short, changing while read or empty is a one-line
    UserError; with `allow_incomplete` a cut dump gives the rows before the
    cut and a warning naming how many. ``report`` is the reader's, once the
    first chunk is read (``report["columns"]``: the INSERT's column list)."""

    def __init__(self, path: str, table: str, allow_incomplete: bool = False, command: str = "rows",
                 chunk_rows: int = ROW_CHUNK) -> None:
        require_file(path)
        if os.path.getsize(path) == 0:
            raise UserError(f"{path} is empty: no dump to read table `{table}` from")
        self.path, self.table, self.command = path, table, command
        self.allow_incomplete = allow_incomplete
        try:
            self._chunks = dump.TableRowChunks(path, table, chunk_rows, allow_incomplete)
        except RuntimeError as e:
            raise UserError(str(e)) from None

    @property
    def report(self) -> dict:
        return self._chunks.report()

    def __iter__(self) -> Iterator[list[tuple[object, ...]]]:
        try:
            yield from self._chunks
        except dump.IncompleteDumpError as e:
            raise UserError(f"{e} (--allow-incomplete reads the rows before the cut)") from None
        except RuntimeError as e:
            raise UserError(str(e)) from None
        cut = self._chunks.report()["incomplete"]
        if cut is not None:
            print(f"zemo-etl {self.command}: warning: {cut}; --allow-incomplete: "
                  f"{self._chunks.report()['rows']:,} rows read", file=sys.stderr)


def library_records(path: str, wanted: Sequence[str], needed: Sequence[str], allow_incomplete: bool = False,
                    command: str = "run", table: str = schema.LIBRARY_TABLE,
                    names: Optional[dict[str, str]] = None) -> Iterator[list[tuple[object, ...]]]:
    """The rows of the dump's library table (`table`, --table) in chunks, each
    row as the values of `wanted` (None for a column the dump lacks), mapped
    by name where the INSERT or the dump's CREATE TABLE names the columns and
    else by position; `names` gives the dump's own name of a wanted column
    (--library-artist-column ...). A dump without rows of the table, or whose
    table lacks one of `needed`, is a UserError."""
    names = names or {}
    rows = DumpRows(path, table, allow_incomplete, command)
    chunks = iter(rows)
    first = next(chunks, None)
    if first is None:
        raise UserError(f"{path}: no rows for table `{table}` (is it a dump of the library?)")
    named = rows.report["columns"]
    if named is None:
        try:
            named = dump.table_columns(path, table)
        except RuntimeError as e:
            raise UserError(str(e)) from None
    where = dump.column_positions(named, [names.get(name, name) for name in wanted])
    missing = [names.get(name, name) for name, k in zip(wanted, where) if k is None and name in needed]
    if missing:
        raise UserError(f"{path}: table `{table}` has no column {', '.join(missing)} "
                        f"(columns: {', '.join(named or [])})")
    if named is None:
        width = len(first[0])
        where = [k if k is not None and k < width else None for k in where]  # short rows: the last columns are absent
    for chunk in itertools.chain([first], chunks):
        yield [tuple(row[k] if k is not None and k < len(row) else None for k in where) for row in chunk]


class _JsonRows:
    """JSON lines of rows; integers of any length as their digits, and the
    floats JSON cannot hold (infinity, NaN) as null, counted."""

    def __init__(self, columns: Optional[list[str]]) -> None:
        self.columns, self.nulled = columns, 0

    def line(self, row: tuple[object, ...]) -> str:
        try:
            return self._dumps(row)
        except (ValueError, TypeError):  # a non-finite float, a Decimal or an int too long for str()
            pass
        values = []
        for v in row:
            if isinstance(v, float) and not math.isfinite(v):
                self.nulled += 1
                values.append("null")
            elif isinstance(v, (int, decimal.Decimal)) and not isinstance(v, bool):
                values.append(_digits(v))
            else:
                values.append(json.dumps(v, ensure_ascii=False))
        if self.columns is None:
            return "[" + ", ".join(values) + "]"
        return "{" + ", ".join(f"{json.dumps(k, ensure_ascii=False)}: {v}"
                               for k, v in zip(self.columns, values)) + "}"

    def _dumps(self, row: tuple[object, ...]) -> str:
        value = dict(zip(self.columns, row)) if self.columns is not None else list(row)
        return json.dumps(value, ensure_ascii=False, allow_nan=False)


def _digits(v: object) -> str:
    if isinstance(v, decimal.Decimal):
        return format(v, "f")
    return str(v)


def add_parsers(sub) -> None:
    p = add_command(sub, "rows", "one table's rows out of a MySQL dump", __doc__ + """
Reads dumps written by mysqldump or mariadb-dump (extended or one-row INSERTs,
--hex-blob, --compact, --complete-insert, --insert-ignore, --replace). A dump
cut short (an unfinished INSERT, or no "-- Dump completed" line after the
tool's header), one that changes while it is read, or an empty file is
refused; --allow-incomplete reads a cut dump up to the cut. Integers keep all
their digits; in JSON lines infinity and NaN become null, with a warning. The CSV header and the keys of JSON objects name the
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
    add_allow_incomplete(p)
    add_output_options(p)
    p.set_defaults(handler=run_rows)


def add_library_options(p) -> None:
    """--table, --library-artist-column, --library-title-column: where the library is in a dump."""
    p.add_argument("--table", default=schema.LIBRARY_TABLE, metavar="NAME",
                   help="the dump's table holding the library (default library)")
    p.add_argument("--library-artist-column", metavar="NAME",
                   help="its artist column (default artist; for a CSV library, --artist-column)")
    p.add_argument("--library-title-column", metavar="NAME",
                   help="its title column (default title; for a CSV library, --title-column)")


def library_names(args: argparse.Namespace) -> dict[str, str]:
    """The dump's names of the library's artist and title columns."""
    return {"artist": getattr(args, "library_artist_column", None) or "artist",
            "title": getattr(args, "library_title_column", None) or "title"}


def add_allow_incomplete(p) -> None:
    p.add_argument("--allow-incomplete", action="store_true",
                   help="read a dump that is cut short (an unfinished INSERT, no completion line) up to the "
                        "cut, with a warning, instead of refusing it")


def run_rows(args: argparse.Namespace) -> int:
    refuse_overwriting_inputs([args.output], [args.dump])
    columns = column_names(args.dump, args.table) if args.columns == "schema" else None
    chunks = DumpRows(args.dump, args.table, args.allow_incomplete)
    rest = iter(chunks)
    first = next(rest, None)
    named = chunks.report["columns"] if first is not None else None
    if named is not None and args.columns == "schema":
        columns = named  # the INSERT names its columns: the values come in that order
    if columns is not None and first and len(first[0]) != len(columns):
        print(f"zemo-etl rows: {inert(args.table)} rows have {len(first[0])} values but the "
              f"column list {len(columns)}; columns left unnamed", file=sys.stderr)
        columns = None
    with open_output(args.output, args) as out, Progress(f"rows {inert(args.table)}", unit="rows") as progress:
        writer = csv_writer(out, args.csv_safe, dialect=output_dialect(args)) if args.format == "csv" else None
        json_rows = _JsonRows(columns)
        if writer is not None and columns is not None:
            writer.writerow(columns)
        for chunk in itertools.chain([first] if first is not None else [], rest):
            if writer is not None:
                writer.writerows(chunk)  # None goes out as an empty field
            else:
                out.write("".join(json_rows.line(row) + "\n" for row in chunk))
            progress.update(len(chunk))
    if json_rows.nulled:
        print(f"zemo-etl rows: warning: {json_rows.nulled:,} values JSON cannot hold (infinity, NaN) "
              f"written as null", file=sys.stderr)
    if first is None:
        print(f"zemo-etl rows: no rows for table `{inert(args.table)}` in {inert(args.dump)}", file=sys.stderr)
    return 0

