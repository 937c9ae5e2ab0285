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
from zemo_etl.cli.common import (CLASSIFY_CHUNK, CsvInput, Progress, UserError, add_columns, add_command,
                                 add_output_options, count_lines, csv_writer, open_output, open_text, read_lines,
                                 refuse_overwriting_inputs, require_file, resolve_in_chunks)
from zemo_etl.safety import inert
from zemo_etl.cli.rows import add_allow_incomplete, library_records
from zemo_etl.index import DEFAULT_RESOLVE_THRESHOLD, LibraryIndex

INDEX_MAGIC = b"ZEMOLIX\0"  # the first bytes of a saved library index


def _is_dump(path: str) -> bool:
    if path.endswith(".sql"):
        return True
    if path.endswith((".csv", ".tsv", ".txt")):
        return False
    with open(path, "rb") as f:
        head = f.read(64 * 1024)
    return b"INSERT INTO `" in head or head.lstrip().startswith((b"--", b"/*"))


def load_library_pairs(path: str, artist_column: str = "artist", title_column: str = "title",
                       allow_incomplete: bool = False) -> list[tuple[str, str]]:
    """(artist, title) pairs from a dump's `library` table or from a CSV."""
    require_file(path)
    if _is_dump(path):
        wanted = ("artist", "title")
        chunks = library_records(path, wanted, wanted, allow_incomplete, "classify")
        return [(_text(a), _text(t)) for chunk in chunks for a, t in chunk]
    with open_text(path) as f:
        table = CsvInput(f, required=[artist_column, title_column])
        ia, it = table.header.index(artist_column), table.header.index(title_column)
        return [(row[ia], row[it]) for row in table.rows()]


def load_library_index(path: str, artist_column: str = "artist", title_column: str = "title",
                       allow_incomplete: bool = False) -> LibraryIndex:
    """The library index of a saved index file, or built from a dump or CSV."""
    require_file(path)
    with open(path, "rb") as f:
        saved = f.read(8) == INDEX_MAGIC
    if not saved:
        return LibraryIndex(load_library_pairs(path, artist_column, title_column, allow_incomplete))
    try:
        return LibraryIndex.load(path)
    except ValueError as e:
        raise UserError(str(e)) from None


def _text(value: object) -> str:
    return "" if value is None else str(value)


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
""")
    p.add_argument("--library", metavar="LIB", required=True,
                   help="a MySQL dump, a CSV with artist,title, or an index saved with --save-index")
    p.add_argument("--save-index", metavar="FILE",
                   help="also save the library index to FILE; a later --library FILE loads it in milliseconds")
    p.add_argument("--releases", metavar="REL", required=True, help="CSV of releases (default columns artist,title)")
    p.add_argument("--artist-column", default="artist", metavar="NAME", help="artist column of both CSVs")
    p.add_argument("--title-column", default="title", metavar="NAME", help="title column of both CSVs")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    add_allow_incomplete(p)
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
    add_output_options(p)
    p.set_defaults(handler=run_resolve)


def run_classify(args: argparse.Namespace) -> int:
    if args.save_index == "-":
        raise UserError("--save-index needs a file name (standard output carries the decisions)")
    refuse_overwriting_inputs([args.output, args.save_index], [args.library, args.releases])
    started = time.monotonic()
    index = load_library_index(args.library, args.artist_column, args.title_column, args.allow_incomplete)
    if args.save_index:
        # The bytes of `index.save`, through the command's own output guards.
        with open_output(args.save_index, args, binary=True) as f:
            f.write(index.to_bytes())
    require_file(args.releases)
    total = count_lines(args.releases)
    counts: Counter[str] = Counter()
    with open_text(args.releases) as src:
        table = CsvInput(src, required=[args.artist_column, args.title_column])
        ia, it = table.header.index(args.artist_column), table.header.index(args.title_column)
        chunks = table.chunks(CLASSIFY_CHUNK)
        first = next(chunks, None)  # a malformed start is reported before any output is made
        with open_output(args.output, args) as out, \
                Progress("classify", total=total - 1 if total else None, unit="releases") as progress:
            writer = csv_writer(out, args.csv_safe)
            header, (k,) = add_columns(table.header, ["decision"], args.releases, "zemo-etl classify: note:")
            writer.writerow(header)
            for chunk in itertools.chain([first] if first is not None else [], chunks):
                decisions = index.classify([r[ia] for r in chunk], [r[it] for r in chunk])
                counts.update(decisions)
                writer.writerows(row[:k] + [d] + row[k + 1:] for row, d in zip(chunk, decisions))
                progress.update(len(chunk))
    n = sum(counts.values())
    print(f"classified {n:,} releases against {len(index):,} library entries in "
          f"{time.monotonic() - started:.1f} s: {counts['keep']:,} keep, {counts['prune']:,} prune, "
          f"{counts['review']:,} review", file=sys.stderr)
    return 0


_COMPARE = {
    "match": text.batch_to_match_form,
    "identity": lambda values: [text.to_identity_match_form(v) for v in values],
    "exact": list,
}


def _read_catalog(path: str, column: Optional[str]) -> list[str]:
    """The catalogue's entries: a dump's `library` table (its artist column,
    or --catalog-column), a CSV's column (--catalog-column, or its only one),
    else one entry a line. The column taken is named on standard error."""
    require_file(path)
    if _is_dump(path):
        return _dump_catalog(path, column or "artist")
    with open_text(path) as f:
        if column is None and not path.endswith(".csv"):
            return [line for line in read_lines(f) if line.strip()]
        table = CsvInput(f, required=[column] if column is not None else [])
        if column is None:
            if len(table.header) != 1:
                raise UserError(f"{path}: a CSV catalogue needs --catalog-column "
                                f"(columns: {', '.join(table.header)})")
            column = table.header[0]
            print(f"zemo-etl resolve: catalogue: column {inert(column)!r} of {inert(path)}", file=sys.stderr)
        i = table.header.index(column)
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
        entries = [str(row[k]) for chunk in dump.TableRowChunks(path, schema.LIBRARY_TABLE) for row in chunk
                   if len(row) > k and row[k] is not None and str(row[k]).strip()]
    except RuntimeError as e:
        raise UserError(str(e)) from None
    if not entries:
        raise UserError(f"{path}: no {column} values in table `{schema.LIBRARY_TABLE}`")
    return entries


def run_resolve(args: argparse.Namespace) -> int:
    if not 0.0 <= args.threshold <= 1.0:
        raise UserError(f"--threshold {args.threshold}: must lie between 0 and 1")
    form = _COMPARE[args.compare]
    refuse_overwriting_inputs([args.output], [args.catalog, args.input])
    entries = _read_catalog(args.catalog, args.catalog_column)
    # One catalogue entry per form: two entries that compare equal would make
    # every name that matches them ambiguous.
    original: dict[str, str] = {}
    for entry, key in zip(entries, form(entries)):
        original.setdefault(key, entry)
    catalog = list(original)

    src = open_text(args.input)
    total = count_lines(args.input)
    if args.column is None:
        names = list(read_lines(src))
    else:
        table = CsvInput(src, required=[args.column])
        i = table.header.index(args.column)
        rows = list(table.rows())
        names = [r[i] for r in rows]
    with Progress("resolve", total=total, unit="names") as progress:
        matches = resolve_in_chunks(form(names), catalog, args.threshold, progress)
    with open_output(args.output, args) as out:
        writer = csv_writer(out, args.csv_safe)
        if args.column is None:
            writer.writerow(["name", "match"])
            writer.writerows([name, "" if m is None else original[m]] for name, m in zip(names, matches))
        else:
            header, (k,) = add_columns(table.header, ["match"], args.input or "standard input",
                                       "zemo-etl resolve: note:")
            writer.writerow(header)
            writer.writerows(r[:k] + ["" if m is None else original[m]] + r[k + 1:] for r, m in zip(rows, matches))
    resolved = sum(m is not None for m in matches)
    print(f"resolved {resolved:,} of {len(matches):,} names against {len(catalog):,} catalogue entries",
          file=sys.stderr)
    return 0
