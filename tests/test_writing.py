"""CSV out: CsvWriter joins the lines no field of which needs quoting itself,
and must write the bytes csv.writer (with its bare-CR quoting) writes."""

import csv
import io
import random

import pytest

from zemo_etl.reading import Dialect
from zemo_etl.writing import csv_writer

FIELDS = ["plain", "", "a,b", "a;b", "a\tb", 'say "hi"', '"', "line\nbreak", "cr\ronly", "crlf\r\n", " spaced ",
          "Björk", "Ólafur Arnalds", "東京の夜", "\ufeffbom", "=1+2", "x" * 300]


def _written(rows, dialect, rows_as=list):
    out = io.StringIO()
    writer = csv_writer(out, dialect=dialect)
    writer.writerows(rows_as(rows))
    return out.getvalue()


@pytest.mark.parametrize("dialect", [Dialect(), Dialect(";", True, "\r\n"), Dialect("\t", False, "\n"),
                                     Dialect("|", False, "\r\n")])
def test_joined_rows_are_what_the_csv_module_writes(dialect):
    rng = random.Random(7)
    rows = [[rng.choice(FIELDS) for _ in range(rng.randint(1, 4))] for _ in range(3000)]
    rows += [[""], [], ["", ""], [dialect.delimiter], ["a", None, "b"], [1, "x"], ("tu", "ple")]
    # Row by row (a generator of rows) is the path the joining replaces for lists of rows.
    expected = _written(rows, dialect, rows_as=iter)
    assert _written(rows, dialect) == expected
    # Chunks without a field that is not text take the joined path; their lines are csv.writer's
    # wherever no bare CR is involved.
    text_rows = [row for row in rows if all(isinstance(f, str) for f in row)]
    assert _written(text_rows, dialect) == _written(text_rows, dialect, rows_as=iter)
    plain = [row for row in text_rows if not any("\r" in f for f in row)]
    reference = io.StringIO()
    csv.writer(reference, delimiter=dialect.delimiter, lineterminator=dialect.line_end).writerows(plain)
    assert _written(plain, dialect) == ("\ufeff" if dialect.bom else "") + reference.getvalue()


def test_a_bare_cr_is_quoted_on_the_joined_path_too():
    written = _written([["a\rb", "c"], ["d", "e"]], Dialect())
    assert written == '"a\rb",c\nd,e\n'
    assert list(csv.reader(io.StringIO(written, newline=""))) == [["a\rb", "c"], ["d", "e"]]
