"""A run's options, with their defaults: the one place the job, its Python
callers and the command line's parsers take them from."""

from __future__ import annotations

import dataclasses
import pathlib
from collections.abc import Mapping
from typing import Optional

from zemo_etl import schema


@dataclasses.dataclass
class JobOptions:
    """How a run reads its inputs, classifies and writes its report.

    `db_url`: the database (default: the SQLite file WORKDIR/library.db);
    `fresh`: forget the state of an earlier run; `csv_safe`: the report's
    text cells never start a spreadsheet formula; `allow_shared_folder`: a
    work folder other users can change is used (with a warning) rather than
    refused; `allow_incomplete`: a dump cut short is read up to the cut;
    `encoding`, `delimiter`, `artist_column`, `title_column`: how the
    releases CSV is read; `thresholds` (over the library's defaults) and
    `distinct_numbers` and `rules` ("standard" or "careful", which reads the
    library's artist aliases): how releases are classified; `decisions`: a decisions
    file whose choices override the computed decisions; `review_page`:
    whether WORKDIR/review.html is written (it costs several times the CPU of
    the decisions alone); `output_dialect`: the CSVs written as the releases
    CSV is (`input`), or `excel`, or `unix`; `table`,
    `library_artist_column`, `library_title_column`: where the library is in
    the dump."""

    db_url: Optional[str] = None
    fresh: bool = False
    csv_safe: bool = False
    allow_shared_folder: bool = False
    allow_incomplete: bool = False
    encoding: str = "utf-8"
    delimiter: Optional[str] = None
    artist_column: str = "artist"
    title_column: str = "title"
    thresholds: Mapping[str, float] = dataclasses.field(default_factory=dict)
    distinct_numbers: bool = False
    rules: str = "standard"
    decisions: Optional[pathlib.Path] = None
    review_page: bool = True
    output_dialect: str = "input"
    table: str = schema.LIBRARY_TABLE
    library_artist_column: str = "artist"
    library_title_column: str = "title"

    @property
    def library_columns(self) -> dict[str, str]:
        """The dump's names of the library's artist and title columns."""
        return {"artist": self.library_artist_column, "title": self.library_title_column}


DEFAULTS = JobOptions()


def option_name(name: str) -> str:
    """An option's name in a run's record of its inputs, and on the command line: token_set_keep -> --token-set-keep."""
    return "--" + name.replace("_", "-")
