"""Releases that repeat an earlier row: the key `dedupe_releases` and
`zemo-etl classify --duplicates` drop them by, and the list of those dropped."""

from __future__ import annotations

import itertools
import operator
from collections.abc import Sequence
from typing import IO, Optional

from zemo_etl.columns import FORMS
from zemo_etl.reading import Dialect
from zemo_etl.writing import csv_writer


def stored_names(values: list[str]) -> list[str]:
    """Artists or titles as the job stores them: storage form, less what TEXT cannot hold (one native call
    per form for the whole column)."""
    return [v or "" for v in FORMS["pg"](FORMS["storage"](values))]


class Duplicates:
    """Rows numbered from 1, each keyed by its artist and title in match form
    (of their stored forms), whatever its other columns: the first row of a
    key is kept, each later one dropped and listed beside the number of that
    first row."""

    def __init__(self) -> None:
        self._first: dict[str, int] = {}
        self.dropped: list[list[object]] = []

    def keeps(self, number: int, rows: Sequence[list[str]], artists: list[str], titles: list[str]) -> list[bool]:
        """Whether each row, numbered from `number` on, is the first of its key
        (`artists`, `titles`: the rows' names in stored form)."""
        # One str per key, not a tuple of two: a million keys take 100 MB less. A stored name holds
        # no NUL (TEXT cannot), so none of its forms does, and the NUL between them is unambiguous.
        keys = [artist + "\0" + title for artist, title in zip(FORMS["match"](artists), FORMS["match"](titles))]
        numbers = range(number, number + len(keys))
        # The whole chunk in C calls: each key's first number, and whether it is this row's.
        firsts = list(map(self._first.setdefault, keys, numbers))
        keeps = list(map(operator.eq, firsts, numbers))
        for k in itertools.compress(range(len(keeps)), map(operator.not_, keeps)):
            self.dropped.append([numbers[k], *rows[k], firsts[k]])
        return keeps

    def write(self, stream: IO[str], header: list[str], csv_safe: bool, dialect: Optional[Dialect]) -> None:
        """The dropped rows as CSV: `row`, the input's columns, `duplicate_of_row`."""
        writer = csv_writer(stream, csv_safe, dialect=dialect)
        writer.writerow(["row", *header, "duplicate_of_row"])
        writer.writerows(self.dropped)
