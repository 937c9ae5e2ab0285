"""`zemo-etl classify` and `zemo-etl resolve`: releases against a library,
names against a catalogue."""

from __future__ import annotations

import argparse
import itertools
import sys
import time
from collections import Counter
from typing import Optional

from zemo_etl import dump, schema, text
from zemo_etl.cli.errors import UserError, wording
from zemo_etl.cli.options import (add_allow_incomplete, add_column_options, add_command, add_input_options,
                                  add_library_options, add_output_options, add_threshold_options, library_names,
                                  thresholds_from)
from zemo_etl.cli.outputs import dialect_of, open_output
from zemo_etl.index import DEFAULT_RESOLVE_THRESHOLD, DEFAULT_THRESHOLDS, NameExplanation, check_resolve_options
from zemo_etl.job.decisions import CLASSIFY_CHUNK, EXPLAIN_COLUMNS, Overrides, decide, describe_thresholds, score_text
from zemo_etl.job.duplicates import Duplicates, stored_names
from zemo_etl.job.library import is_dump, load_library_index, resolve_in_chunks
from zemo_etl.progress import Progress
from zemo_etl.reading import CsvInput, count_lines, open_text, read_lines, require_file
from zemo_etl.safety import inert
from zemo_etl.writing import add_columns, csv_writer, refuse_overwriting_inputs


def add_parsers(sub) -> None:
    p = add_command(sub, "classify", "mark each release keep, prune or review against a library", """\
`zemo-etl classify`: mark each release keep, prune or review against a library.

keep: the library holds it (exactly, or by a confident fuzzy match of artist
and title); prune: nothing in the library comes close; review: the evidence is
mixed. Names and titles are compared in match form (case, accents, spacing and
mojibake do not matter). LIB is a dump (its `library` table) or a CSV with
artist and title columns. The releases are written back with a `decision`
column added; a summary goes to standard error.""", """
zemo-etl classify --library library.sql --releases releases.csv > decided.csv
zemo-etl classify --library library.csv --releases incoming.csv -o decided.csv
zemo-etl classify --library library.sql --releases orders.csv --artist-column band --title-column album
zemo-etl classify --library library.sql --releases releases.csv --duplicates dropped.csv -o decided.csv
""")
    p.add_argument("--library", metavar="LIB", required=True,
                   help="a MySQL dump, a CSV with artist,title, or an index saved with --save-index")
    p.add_argument("--save-index", metavar="FILE",
                   help="also save the library index to FILE; a later --library FILE loads it in milliseconds")
    p.add_argument("--releases", metavar="REL", required=True, help="CSV of releases (default columns artist,title)")
    add_column_options(p, "both CSVs")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    p.add_argument("--explain", action="store_true",
                   help="add the evidence: " + ", ".join(EXPLAIN_COLUMNS) + " (for `zemo-etl review`); a token "
                        "score with a *_below bound is known only to lie from its value up to below that bound")
    p.add_argument("--exact-scores", action="store_true",
                   help="with --explain, every best score exactly (several times slower)")
    p.add_argument("--decisions", metavar="FILE",
                   help="CSV artist,title,decision (a review page's export): these releases take the decision chosen")
    p.add_argument("--duplicates", metavar="FILE",
                   help="drop each release whose artist and title equal an earlier one's in match form (as `run` "
                        "does) and list it in FILE with the number of the row kept")
    add_threshold_options(p)
    add_library_options(p)
    add_allow_incomplete(p)
    add_input_options(p)
    add_output_options(p)
    p.set_defaults(handler=run_classify)

    p = add_command(sub, "resolve", "map names onto the best entry of a catalogue", """\
`zemo-etl resolve`: map names onto the best entry of a catalogue.

Each name goes to the catalogue entry with the highest Jaro-Winkler
similarity, if that reaches --threshold and is not within 0.02 of the
runner-up; otherwise to nothing (an empty field). Both sides are compared in
--compare form (default match: case, accents and spacing do not matter;
`exact` compares the strings as given, as fuzzy.batch_fuzzy_resolve does).
Catalogue entries with the same form count once, the first one written out.
Input: lines, or a CSV column with --column (then the CSV is written back with
a `match` column added). The catalogue: lines; a CSV (a .csv file, or any file
with --catalog-column) and the column --catalog-column names, or its only
column; or a dump's `library` table, its artist column or --catalog-column.""", """
zemo-etl resolve --catalog artists.txt names.txt          # name,match as CSV
printf 'radiohed\\nstereo lab\\n' | zemo-etl resolve --catalog artists.txt --threshold 0.9
zemo-etl resolve --catalog library.csv --catalog-column artist --column artist releases.csv
""")
    p.add_argument("--catalog", required=True, metavar="FILE",
                   help="catalogue: one entry a line, a CSV or a dump")
    p.add_argument("--catalog-column", metavar="NAME",
                   help="the catalogue's column: of a CSV, or of a dump's library table (default artist)")
    p.add_argument("--threshold", type=float, default=DEFAULT_RESOLVE_THRESHOLD,
                   help="least similarity accepted (default %(default)s)")
    p.add_argument("--compare", choices=["match", "identity", "exact"], default="match",
                   help="the form both sides are compared in (default match)")
    p.add_argument("--column", metavar="NAME", help="the input is CSV; resolve this column")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    p.add_argument("input", metavar="FILE", nargs="?", help="names (default: standard input)")
    p.add_argument("--explain", action="store_true",
                   help="add the evidence: " + ", ".join(RESOLVE_EXPLAIN_COLUMNS))
    add_input_options(p)
    add_output_options(p)
    p.set_defaults(handler=run_resolve)


def _given_thresholds(args: argparse.Namespace) -> Optional[dict[str, float]]:
    """The thresholds of the options, checked; None when none was given (a saved index keeps its own)."""
    thresholds = thresholds_from(args)
    given = args.keep is not None or any(getattr(args, name) is not None for name in DEFAULT_THRESHOLDS)
    return thresholds if given else None


def run_classify(args: argparse.Namespace) -> int:
    for option, value in (("--save-index", args.save_index), ("--duplicates", args.duplicates)):
        if value == "-":
            raise UserError(f"{option} needs a file name (standard output carries the decisions)")
    if args.exact_scores and not args.explain:
        raise UserError("--exact-scores goes with --explain")
    thresholds = _given_thresholds(args)
    refuse_overwriting_inputs([args.output, args.save_index, args.duplicates],
                              [args.library, args.releases, args.decisions])
    started = time.monotonic()
    overrides = None
    if args.decisions:
        overrides = Overrides.read(args.decisions, args.encoding)
    index = load_library_index(args.library, args.library_artist_column or args.artist_column,
                               args.library_title_column or args.title_column, args.allow_incomplete,
                               args.encoding, args.delimiter, thresholds, args.distinct_numbers, args.table,
                               library_names(args), wording(args), args.rules)
    if args.save_index:
        # The bytes of `index.save`, through the command's own output guards.
        with open_output(args.save_index, args, binary=True) as f:
            f.write(index.to_bytes())
    require_file(args.releases)
    total = count_lines(args.releases)
    counts: Counter[str] = Counter()
    duplicates = Duplicates() if args.duplicates else None
    number = 1  # of the chunk's first row
    added = ["decision", *EXPLAIN_COLUMNS] if args.explain else ["decision"]
    with open_text(args.releases, encoding=args.encoding) as src:
        table = CsvInput(src, required=[args.artist_column, args.title_column], delimiter=args.delimiter)
        ia, it = table.column(args.artist_column), table.column(args.title_column)
        chunks = table.chunks(CLASSIFY_CHUNK)
        first = next(chunks, None)  # a malformed start is reported before any output is made
        with open_output(args.output, args) as out, \
                Progress("classify", total=total - 1 if total else None, unit="releases") as progress:
            writer = csv_writer(out, args.csv_safe, dialect=dialect_of(args, table))
            header, places = add_columns(table.header, added, args.releases, "zemo-etl classify: note:")
            writer.writerow(header)
            for chunk in itertools.chain([first] if first is not None else [], chunks):
                read = len(chunk)
                if duplicates is not None:
                    kept = duplicates.keeps(number, chunk, stored_names([r[ia] for r in chunk]),
                                            stored_names([r[it] for r in chunk]))
                    number += read
                    chunk = [row for row, keep in zip(chunk, kept) if keep]
                artists, titles = [r[ia] for r in chunk], [r[it] for r in chunk]
                decisions, evidence = decide(index, artists, titles, args.explain, overrides, args.exact_scores)
                counts.update(decisions)
                if not args.explain:
                    k = places[0]
                    writer.writerows(row[:k] + [d] + row[k + 1:] for row, d in zip(chunk, decisions))
                else:
                    writer.writerows(_placed(row, len(header), places, [d, *e.csv_fields()])
                                     for row, d, e in zip(chunk, decisions, evidence))
                progress.update(read)
        if duplicates is not None:
            with open_output(args.duplicates, args) as f:
                duplicates.write(f, table.header, args.csv_safe, dialect_of(args, table))
    n = sum(counts.values())
    chosen_note = f"; {overrides.summary()}" if overrides is not None else ""
    if duplicates is not None:
        chosen_note += f"; {len(duplicates.dropped):,} duplicates dropped, listed in {args.duplicates}"
    print(f"classified {n:,} releases against {len(index):,} library entries in "
          f"{time.monotonic() - started:.1f} s (thresholds: {describe_thresholds(index.thresholds, index.distinct_numbers, index.rules)}"
          f"{inert(chosen_note)}): {counts['keep']:,} keep, {counts['prune']:,} prune, {counts['review']:,} review",
          file=sys.stderr)
    return 0


def _placed(row: list[str], width: int, places: list[int], values: list[str]) -> list[str]:
    row = row + [""] * (width - len(row))
    for k, value in zip(places, values):
        row[k] = value
    return row


RESOLVE_EXPLAIN_COLUMNS = ["best", "best_score", "runner_up", "runner_up_score", "outcome", "reason"]


def _resolve_fields(explained: NameExplanation, original: dict[str, str]) -> list[str]:
    """The values of RESOLVE_EXPLAIN_COLUMNS: entries as the catalogue wrote them."""
    candidates = [(original[entry], score_text(score)) for entry, score in explained["candidates"][:2]]
    candidates += [("", "")] * (2 - len(candidates))
    return [*candidates[0], *candidates[1], explained["outcome"], explained["reason"]]


_COMPARE = {
    "match": text.batch_to_match_form,
    "identity": lambda values: [text.to_identity_match_form(v) for v in values],
    "exact": list,
}


def _read_catalog(path: str, column: Optional[str], encoding: str = "utf-8",
                  delimiter: Optional[str] = None) -> list[str]:
    """The catalogue's entries: a dump's `library` table (its artist column,
    or --catalog-column), a CSV's column (--catalog-column, or its only one),
    else one entry a line. The column taken is named on standard error."""
    require_file(path)
    if is_dump(path):
        return _dump_catalog(path, column or "artist")
    with open_text(path, encoding=encoding) as f:
        if column is None and not path.endswith(".csv"):
            return [line for line in read_lines(f) if line.strip()]
        table = CsvInput(f, required=[column] if column is not None else [], delimiter=delimiter)
        if column is None:
            if len(table.header) != 1:
                raise UserError(f"{path}: a CSV catalogue needs --catalog-column "
                                f"(columns: {', '.join(table.header)})")
            column = table.header[0]
            print(f"zemo-etl resolve: catalogue: column {inert(column)!r} of {inert(path)}", file=sys.stderr)
        i = table.column(column)
        return [row[i] for row in table.rows() if row[i].strip()]


def _dump_catalog(path: str, column: str) -> list[str]:
    columns = schema.library_columns()
    if column not in columns:
        raise UserError(f"{path}: table `{schema.LIBRARY_TABLE}` has no column {column!r} "
                        f"(columns: {', '.join(columns)})")
    print(f"zemo-etl resolve: catalogue: column {inert(column)!r} of table `{schema.LIBRARY_TABLE}` in "
          f"{inert(path)}", file=sys.stderr)
    k = columns.index(column)
    try:
        entries = [str(row[k]) for chunk in dump.TableRowChunks(path, schema.LIBRARY_TABLE, declared_types=False)
                   for row in chunk
                   if len(row) > k and row[k] is not None and str(row[k]).strip()]
    except RuntimeError as e:
        raise UserError(str(e)) from None
    if not entries:
        raise UserError(f"{path}: no {column} values in table `{schema.LIBRARY_TABLE}`")
    return entries


def run_resolve(args: argparse.Namespace) -> int:
    try:
        check_resolve_options(args.threshold, names={"threshold": "--threshold"})
    except ValueError as e:
        raise UserError(str(e)) from None
    form = _COMPARE[args.compare]
    refuse_overwriting_inputs([args.output], [args.catalog, args.input])
    entries = _read_catalog(args.catalog, args.catalog_column, args.encoding, args.delimiter)
    # One catalogue entry per form: two entries that compare equal would make
    # every name that matches them ambiguous.
    original: dict[str, str] = {}
    for entry, key in zip(entries, form(entries)):
        original.setdefault(key, entry)
    catalog = list(original)

    src = open_text(args.input, encoding=args.encoding)
    total = count_lines(args.input)
    table: Optional[CsvInput] = None
    if args.column is None:
        names = list(read_lines(src))
    else:
        table = CsvInput(src, required=[args.column], delimiter=args.delimiter)
        i = table.column(args.column)
        rows = list(table.rows())
        names = [r[i] for r in rows]
    with Progress("resolve", total=total, unit="names") as progress:
        if args.explain:
            explained = resolve_in_chunks(form(names), catalog, args.threshold, progress, explain=True)
            matches = [e["match"] for e in explained]
        else:
            matches = resolve_in_chunks(form(names), catalog, args.threshold, progress)
    added = ["match", *RESOLVE_EXPLAIN_COLUMNS] if args.explain else ["match"]

    def values(k: int, m: Optional[str]) -> list[str]:
        shown = ["" if m is None else original[m]]
        return shown + _resolve_fields(explained[k], original) if args.explain else shown

    with open_output(args.output, args) as out:
        writer = csv_writer(out, args.csv_safe, dialect=dialect_of(args, table))
        if args.column is None:
            writer.writerow(["name", *added])
            writer.writerows([name, *values(k, m)] for k, (name, m) in enumerate(zip(names, matches)))
        else:
            assert table is not None
            header, places = add_columns(table.header, added, args.input or "standard input",
                                         "zemo-etl resolve: note:")
            writer.writerow(header)
            writer.writerows(_placed(r, len(header), places, values(k, m))
                             for k, (r, m) in enumerate(zip(rows, matches)))
    resolved = sum(m is not None for m in matches)
    print(f"resolved {resolved:,} of {len(matches):,} names against {len(catalog):,} catalogue entries",
          file=sys.stderr)
    return 0
