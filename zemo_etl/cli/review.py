"""`zemo-etl review`: a page for deciding by hand the releases the classifier
left in review, and the decisions files the page exports, which `classify
--decisions` and `run --decisions` apply.

The page is one HTML file with its CSS, script and data inline (it works
from file:// and asks no network for anything). Its parts are package data
in review_page/; the rows go in a JSON block whose `<`, `>` and `&` are
escaped, so that no name can end the block, and the script puts names into
the page only as text.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Optional

from zemo_etl import text
from zemo_etl.cli.errors import UserError
from zemo_etl.cli.options import (add_column_options, add_command, add_input_options, add_output_options,
                                  add_threshold_options, thresholds_from)
from zemo_etl.cli.outputs import open_output
from zemo_etl.job.decisions import DECISIONS, EXPLAIN_COLUMNS, OPTIONAL_EXPLAIN_COLUMNS, Evidence
from zemo_etl.job.page import page_row, render_page
from zemo_etl.reading import CsvInput, open_text, require_file
from zemo_etl.safety import inert
from zemo_etl.writing import refuse_overwriting_inputs


def read_explained(path: str, artist_column: str = "artist", title_column: str = "title",
                   encoding: str = "utf-8", delimiter: Optional[str] = None) -> list[list[Any]]:
    """The page rows of a CSV written by `classify --explain`."""
    require_file(path)
    with open_text(path, encoding=encoding) as f:
        table = CsvInput(f, required=[artist_column, title_column], delimiter=delimiter)
        missing = [c for c in ["decision", *EXPLAIN_COLUMNS]
                   if c not in table.header and c not in OPTIONAL_EXPLAIN_COLUMNS]
        if missing:
            raise UserError(f"{path}: no column {missing[0]!r}; write the file with "
                            "`zemo-etl classify --explain`")
        ia, it = table.column(artist_column), table.column(title_column)
        idc = table.column("decision")
        places = [table.column(c) if c in table.header else None for c in EXPLAIN_COLUMNS]
        raw = []
        for row in table.rows():
            fields: list[Any] = ["" if k is None else row[k] for k in places]
            fields[8] = _other_entries(fields[8], path, table.line)
            try:
                fields[0] = {"true": True, "false": False}[fields[0]]
                fields[1:4] = [float(v) for v in fields[1:4]]
                fields[9:12] = [None if v == "" else float(v) for v in fields[9:12]]
            except (KeyError, ValueError):
                raise UserError(f"{path} line {table.line}: exact must be true or false, the scores numbers and "
                                f"their bounds numbers or empty (got "
                                f"{', '.join(repr(fields[k]) for k in (0, 1, 2, 3, 9, 10, 11))})") from None
            if not all(0.0 <= s <= 1.0 for s in fields[1:4]):
                raise UserError(f"{path} line {table.line}: scores lie between 0 and 1")
            for measure, s, b in zip(("token_set", "token_sort", "two_stage"), fields[1:4], fields[9:12]):
                if not (b is None or b > s):
                    raise UserError(f"{path} line {table.line}: the {measure}_below bound must lie above the "
                                    f"score ({b!r} is not above {s!r})")
            if row[idc] not in DECISIONS:
                raise UserError(f"{path} line {table.line}: unknown decision {row[idc]!r} (keep, prune or review)")
            raw.append((row[ia], row[it], row[idc], Evidence.from_list(fields)))
    artists = text.batch_to_match_form([r[0] for r in raw])
    titles = text.batch_to_match_form([r[1] for r in raw])
    return [page_row(a, t, ma, mt, d, fields) for (a, t, d, fields), ma, mt in zip(raw, artists, titles)]


def _other_entries(cell: str, path: str, line: int) -> list[list[str]]:
    """The other_entries column of a `classify --explain` file: empty, or a JSON list of [measures, artist,
    title] lists of str."""
    if not cell:
        return []
    try:
        value = json.loads(cell)
    except ValueError:
        value = None
    if not (isinstance(value, list) and all(isinstance(e, list) and len(e) == 3 and all(isinstance(s, str) for s in e)
                                            for e in value)):
        raise UserError(f"{path} line {line}: other_entries must be empty or a JSON list of "
                        "[measures, artist, title] lists")
    return value


def add_parsers(sub) -> None:
    p = add_command(sub, "review", "a page for deciding the releases in review by hand", """\
`zemo-etl review`: a page for deciding the releases in review by hand.

DECIDED is the output of `zemo-etl classify --explain`. The page (one HTML
file that works offline) shows the counts per decision, per measure the
spread of the best scores against the thresholds and how many releases a
moved threshold would change, and each release beside its best library
entry with the differing characters marked. Choose keep or prune per row
and export the choices: `classify --decisions FILE` and `run --decisions
FILE` apply them. Give the thresholds the file was classified with.""", """
zemo-etl classify --explain --library library.csv --releases releases.csv -o decided.csv
zemo-etl review decided.csv -o review.html
zemo-etl run --dump library.sql --releases releases.csv --workdir out --decisions decisions.csv
""")
    p.add_argument("input", metavar="DECIDED", help="CSV written by `zemo-etl classify --explain`")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    add_column_options(p, "the CSV")
    add_threshold_options(p)
    add_input_options(p)
    add_output_options(p, csv=False)
    p.set_defaults(handler=run_review)


def run_review(args: argparse.Namespace) -> int:
    thresholds = thresholds_from(args)
    refuse_overwriting_inputs([args.output], [args.input])
    rows = read_explained(args.input, args.artist_column, args.title_column, args.encoding, args.delimiter)
    page = render_page(rows, thresholds, os.path.basename(args.input), args.distinct_numbers,
                       rules=args.rules or "standard")
    with open_output(args.output, args) as out:
        out.write(page)
    counts = {d: sum(r[4] == d for r in rows) for d in DECISIONS}
    print(f"review page of {len(rows):,} releases ({counts['review']:,} review, {counts['keep']:,} keep, "
          f"{counts['prune']:,} prune) in {inert(args.output or 'standard output')}", file=sys.stderr)
    return 0
