"""`zemo-etl normalize`: a text form of every line, or of one CSV column."""

from __future__ import annotations

import argparse

from zemo_etl.cli.options import add_command, add_input_options, add_output_options
from zemo_etl.cli.outputs import dialect_of, open_output
from zemo_etl.columns import FORMS
from zemo_etl.progress import Progress
from zemo_etl.reading import CsvInput, chunked, count_lines, open_text, read_lines
from zemo_etl.writing import csv_writer, refuse_overwriting_inputs

FORM_CHUNK = 20_000  # values converted per call


def add_parsers(sub) -> None:
    p = add_command(sub, "normalize", "write a text form of lines or of one CSV column", __doc__ + """
Without --column every input line is one value and one output line. With
--column NAME the input is CSV and is written back whole, that column replaced
by its form. Forms: storage (mojibake repaired, NFC, trimmed), match (what
names are compared on), ascii (the match form transliterated), the identity
forms (join keys: no trailing bracket group or article), pg (safe for a
PostgreSQL TEXT column).""", """
printf 'BjÃ¶rk\\n  Mötley  CRÜE \\n' | zemo-etl normalize --form match      # bjork / motley crue
zemo-etl normalize --form ascii names.txt > names.ascii.txt
zemo-etl normalize --form identity --column artist releases.csv > keyed.csv
""")
    p.add_argument("--form", required=True, choices=list(FORMS), metavar="FORM",
                   help="one of: " + ", ".join(FORMS))
    p.add_argument("--column", metavar="NAME", help="treat the input as CSV and convert this column")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    p.add_argument("input", metavar="FILE", nargs="?", help="input file (default: standard input)")
    add_input_options(p)
    add_output_options(p)
    p.set_defaults(handler=run_normalize)


def run_normalize(args: argparse.Namespace) -> int:
    form = FORMS[args.form]
    refuse_overwriting_inputs([args.output], [args.input])
    src = open_text(args.input, encoding=args.encoding)
    total = count_lines(args.input)
    with open_output(args.output, args) as out, \
            Progress(f"normalize {args.form}", total=total, unit="lines") as progress:
        if args.column is None:
            for chunk in chunked(read_lines(src), FORM_CHUNK):
                out.write("\n".join(form(chunk)) + "\n")
                progress.update(len(chunk))
        else:
            table = CsvInput(src, required=[args.column], delimiter=args.delimiter)
            i = table.column(args.column)
            writer = csv_writer(out, args.csv_safe, dialect=dialect_of(args, table))
            writer.writerow(table.header)
            for rows in table.chunks(FORM_CHUNK):
                for row, value in zip(rows, form([r[i] for r in rows])):
                    row[i] = value
                writer.writerows(rows)
                progress.update(len(rows))
    return 0
