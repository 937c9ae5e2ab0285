"""Releases that repeat an earlier row: the key `dedupe_releases` and
`zemo-etl classify --duplicates` drop them by, and the list of those dropped."""

from __future__ import annotations

from typing import IO, Optional

from zemo_etl import pg, text
from zemo_etl.reading import Dialect
from zemo_etl.writing import csv_writer


def stored_name(value: str) -> str:
    """An artist or title as the job stores it: storage form, less what TEXT cannot hold."""
    return pg.to_pg_text_form(text.to_storage_form(value)) or ""  # None only for None


class Duplicates:
    """Rows numbered from 1, each keyed by its artist and title in match form
    (of their stored forms), whatever its other columns: the first row of a
    key is kept, each later one dropped and listed beside the number of that
    first row."""

    def __init__(self) -> None:
        self._first: dict[tuple[str, str], int] = {}
        self.dropped: list[list[object]] = []

    def keeps(self, number: int, row: list[str], artist: str, title: str) -> bool:
        """Whether row `number` is the first of its key (`artist`, `title` in stored form)."""
        first = self._first.setdefault((text.to_match_form(artist), text.to_match_form(title)), number)
        if first != number:
            self.dropped.append([number, *row, first])
        return first == number

    def write(self, stream: IO[str], header: list[str], csv_safe: bool, dialect: Optional[Dialect]) -> None:
        """The dropped rows as CSV: `row`, the input's columns, `duplicate_of_row`."""
        writer = csv_writer(stream, csv_safe, dialect=dialect)
        writer.writerow(["row", *header, "duplicate_of_row"])
        writer.writerows(self.dropped)
