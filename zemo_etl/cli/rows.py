"""`zemo-etl rows`: one table's rows out of a MySQL dump, as CSV or JSON lines."""

from __future__ import annotations

import argparse
import decimal
import itertools
import json
import math
import sys
from typing import Optional

from zemo_etl.cli.errors import wording
from zemo_etl.cli.options import add_allow_incomplete, add_command, add_output_options
from zemo_etl.cli.outputs import dialect_of, open_output
from zemo_etl.job.library import DumpRows, column_names
from zemo_etl.progress import Progress
from zemo_etl.safety import inert
from zemo_etl.writing import csv_writer, refuse_overwriting_inputs


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
            elif isinstance(v, bytes):
                values.append(json.dumps(_hex(v)))
            else:
                values.append(json.dumps(v, ensure_ascii=False))
        if self.columns is None:
            return "[" + ", ".join(values) + "]"
        return "{" + ", ".join(f"{json.dumps(k, ensure_ascii=False)}: {v}"
                               for k, v in zip(self.columns, values)) + "}"

    def _dumps(self, row: tuple[object, ...]) -> str:
        value = dict(zip(self.columns, row)) if self.columns is not None else list(row)
        return json.dumps(value, ensure_ascii=False, allow_nan=False)


def _hex(v: bytes) -> str:
    """A binary value as text: PostgreSQL's hex form of bytea."""
    return "\\x" + v.hex()


def _binary_as_hex(chunk: list[tuple[object, ...]]) -> list[tuple[object, ...]]:
    return [tuple(_hex(v) if type(v) is bytes else v for v in row) if bytes in map(type, row) else row
            for row in chunk]


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
their digits, DECIMAL columns their digits as written, and binary columns
(BLOB, BINARY, BIT, geometry) come out as \\x and their bytes in hex; in JSON
lines infinity and NaN become null, with a warning. The CSV header and the keys of JSON objects name the
columns as `schema` does for the tables it knows (library, release,
entity.identity), else as the dump's own CREATE TABLE does; for a table the
dump has no CREATE TABLE for, or with --columns none, the CSV has no header
and JSON lines are arrays. NULL is an empty CSV field and JSON null.""", """
zemo-etl rows library.sql library                      # CSV with a header, to standard output
zemo-etl rows library.sql library --format jsonl -o library.jsonl
zemo-etl rows dump.sql release_label                   # the header of its CREATE TABLE
zemo-etl rows dump.sql release_label --columns none    # no header
zcat dump.sql.gz | zemo-etl rows - release_label       # standard input
""")
    p.add_argument("dump", metavar="DUMP", help="the dump file, compressed or not; - reads standard input")
    p.add_argument("table", metavar="TABLE", help="the table's name as in its INSERT statements")
    p.add_argument("--format", choices=["csv", "jsonl"], default="csv", help="output format (default csv)")
    p.add_argument("--columns", choices=["schema", "none"], default="schema",
                   help="name the columns as the known schema or else the dump's CREATE TABLE does "
                        "(default), or not at all")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    add_allow_incomplete(p)
    add_output_options(p)
    p.set_defaults(handler=run_rows)


def run_rows(args: argparse.Namespace) -> int:
    refuse_overwriting_inputs([args.output], [args.dump])
    columns = column_names(args.dump, args.table) if args.columns == "schema" else None
    chunks = DumpRows(args.dump, args.table, args.allow_incomplete, wording(args))
    rest = iter(chunks)
    first = next(rest, None)
    named = chunks.report["columns"] if first is not None else None
    if columns is None and args.columns == "schema":
        columns = chunks.declared_columns  # read on the way (standard input is read once)
    if named is not None and args.columns == "schema":
        columns = named  # the INSERT names its columns: the values come in that order
    if columns is not None and first and len(first[0]) != len(columns):
        print(f"zemo-etl rows: {inert(args.table)} rows have {len(first[0])} values but the "
              f"column list {len(columns)}; columns left unnamed", file=sys.stderr)
        columns = None
    with open_output(args.output, args) as out, Progress(f"rows {inert(args.table)}", unit="rows") as progress:
        writer = csv_writer(out, args.csv_safe, dialect=dialect_of(args)) if args.format == "csv" else None
        json_rows = _JsonRows(columns)
        if writer is not None and columns is not None:
            writer.writerow(columns)
        for chunk in itertools.chain([first] if first is not None else [], rest):
            if writer is not None:
                writer.writerows(_binary_as_hex(chunk))  # None goes out as an empty field
            else:
                out.write("".join(json_rows.line(row) + "\n" for row in chunk))
            progress.update(len(chunk))
    if json_rows.nulled:
        print(f"zemo-etl rows: warning: {json_rows.nulled:,} values JSON cannot hold (infinity, NaN) "
              f"written as null", file=sys.stderr)
    if first is None:
        print(f"zemo-etl rows: no rows for table `{inert(args.table)}` in {inert(args.dump)}", file=sys.stderr)
    return 0

