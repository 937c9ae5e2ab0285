"""Native helpers beside zemo_etl._native; used through the package's modules (zemo_etl.dump)."""

from collections.abc import Iterator, Sequence
from decimal import Decimal
from typing import Any, Optional, Union, final

__all__ = [
    "TableRowChunks",
    "TableCopyChunks",
    "DumpError",
    "IncompleteDumpError",
    "table_columns",
    "table_column_definitions",
    "table_column_types",
    "LibraryIndex",
    "Catalogue",
    "DEFAULT_THRESHOLDS",
    "DEFAULT_RESOLVE_THRESHOLD",
    "DEFAULT_RESOLVE_LIMIT",
    "DEFAULT_AMBIGUITY_THRESHOLD",
    "check_thresholds",
    "check_resolve_options",
    "state_file_text",
    "batch_text_form",
    "batch_text_form_buffers",
    "TEXT_FORMS",
    "CarefulIndex",
    "CAREFUL_STEPS",
]

_Value = Union[None, int, float, str, Decimal, bytes]

class DumpError(RuntimeError):
    """A MySQL dump that cannot be read: missing, unreadable, changed while read, cut short, or of another kind."""

class IncompleteDumpError(DumpError):
    """A dump cut short: an unfinished INSERT statement, or no completion line after a dump tool's header."""

@final
class TableRowChunks:
    """Iterate over the rows of a table in a MySQL dump file, in lists of at most chunk_rows tuples."""

    def __new__(cls, path: str, table_name: str, chunk_rows: int = 10000,
                allow_incomplete: int = 0) -> TableRowChunks: ...
    def read_columns(self, modes: Sequence[str]) -> None: ...
    def table_definitions(self) -> Optional[list[tuple[str, str]]]: ...
    def __iter__(self) -> Iterator[list[tuple[_Value, ...]]]: ...
    def __next__(self) -> list[tuple[_Value, ...]]: ...
    def report(self) -> dict[str, Any]: ...

@final
class TableCopyChunks:
    """Iterate over the rows of a table in a MySQL dump file as PostgreSQL COPY text."""

    def __new__(cls, path: str, table_name: str, chunk_rows: int = 10000,
                allow_incomplete: int = 0) -> TableCopyChunks: ...
    def read_columns(self, modes: Sequence[str]) -> None: ...
    def table_definitions(self) -> Optional[list[tuple[str, str]]]: ...
    def __iter__(self) -> Iterator[bytes]: ...
    def __next__(self) -> bytes: ...
    def report(self) -> dict[str, Any]: ...

def table_columns(path: str, table_name: str) -> Optional[list[str]]:
    """The column names of the table's CREATE TABLE statement in a MySQL dump file, or None
    when the dump has none.
    """

def table_column_definitions(path: str, table_name: str) -> Optional[list[tuple[str, str]]]:
    """(name, definition) of each column of the table's CREATE TABLE statement in a MySQL dump
    file, the definition being the rest of the column's line ("decimal(5,2) NOT NULL"), or
    None when the dump has none.
    """

def table_column_types(path: str, table_name: str) -> list[str]:
    """The type each column of the table takes from its values in a MySQL dump file."""

@final
class LibraryIndex:
    """The library index of fuzzy.batch_classify_releases, built once from (artist, title) pairs
    and read-only afterwards: any number of threads may classify against it at once.
    """

    def __new__(
        cls,
        library_pairs: Sequence[tuple[str, str]],
        token_set_keep: float = 0.8,
        token_sort_keep: float = 0.8,
        two_stage_keep: float = 0.8,
        artist_gate: float = 0.7,
        review_floor: float = 0.4,
    ) -> LibraryIndex: ...
    def __len__(self) -> int: ...
    def classify(self, artists: Sequence[str], titles: Sequence[str]) -> list[str]: ...
    def explain(
        self, artists: Sequence[str], titles: Sequence[str], top: int = 1, exact: int = 1
    ) -> list[dict[str, Any]]: ...
    def distinct_numbers(self) -> bool: ...
    def set_distinct_numbers(self, on: int) -> None: ...
    def save(self, path: str) -> None: ...
    def to_bytes(self) -> bytes: ...
    def sizes(self) -> tuple[int, int, int, int]: ...
    def thresholds(self) -> list[float]: ...
    def set_thresholds(
        self,
        token_set_keep: float = 0.8,
        token_sort_keep: float = 0.8,
        two_stage_keep: float = 0.8,
        artist_gate: float = 0.7,
        review_floor: float = 0.4,
    ) -> None: ...
    @staticmethod
    def load(path: str) -> LibraryIndex: ...
    @staticmethod
    def from_bytes(data: bytes) -> LibraryIndex: ...

@final
class CarefulIndex:
    """The library index of the careful rule set, read-only once built."""

    def __new__(cls, library_pairs: Sequence[tuple[str, str]], aliases: Sequence[str],
                steps: int = 63) -> CarefulIndex: ...
    def __len__(self) -> int: ...
    def classify(self, artists: Sequence[str], titles: Sequence[str]) -> list[str]: ...
    def explain(self, artists: Sequence[str], titles: Sequence[str]) -> list[dict[str, Any]]: ...
    def steps(self) -> int: ...
    def save(self, path: str) -> None: ...
    def to_bytes(self) -> bytes: ...
    def sizes(self) -> tuple[int, int, int, int]: ...
    def thresholds(self) -> list[float]: ...
    def set_thresholds(
        self,
        token_set_keep: float = 0.8,
        token_sort_keep: float = 0.8,
        two_stage_keep: float = 0.8,
        artist_gate: float = 0.7,
        review_floor: float = 0.4,
    ) -> None: ...
    @staticmethod
    def load(path: str) -> CarefulIndex: ...
    @staticmethod
    def from_bytes(data: bytes) -> CarefulIndex: ...

CAREFUL_STEPS: int

@final
class Catalogue:
    """The catalogue of fuzzy.batch_fuzzy_resolve, prepared once from its entries and read-only
    afterwards: any number of threads may resolve against it at once.
    """

    def __new__(cls, entries: Sequence[str]) -> Catalogue: ...
    def __len__(self) -> int: ...
    def resolve(
        self, names: Sequence[str], threshold: float = 0.85, limit: int = 2, ambiguity_threshold: float = 0.02
    ) -> list[Optional[str]]: ...
    def explain(
        self, names: Sequence[str], threshold: float = 0.85, limit: int = 2, ambiguity_threshold: float = 0.02
    ) -> list[dict[str, Any]]: ...
    def save(self, path: str) -> None: ...
    def to_bytes(self) -> bytes: ...
    def sizes(self) -> tuple[int, int, int]: ...
    @staticmethod
    def load(path: str) -> Catalogue: ...
    @staticmethod
    def from_bytes(data: bytes) -> Catalogue: ...

# The classifier's default thresholds by keyword, and the least similarity the
# package's resolve helpers and the command line accept by default.
DEFAULT_THRESHOLDS: dict[str, float]
DEFAULT_RESOLVE_THRESHOLD: float
DEFAULT_RESOLVE_LIMIT: int
DEFAULT_AMBIGUITY_THRESHOLD: float

def check_thresholds(
    names: Sequence[str],
    token_set_keep: float = 0.8,
    token_sort_keep: float = 0.8,
    two_stage_keep: float = 0.8,
    artist_gate: float = 0.7,
    review_floor: float = 0.4,
) -> None:
    """ValueError unless the thresholds can classify, as LibraryIndex checks them; its message calls
    them by `names` (five, or none for the parameter names).
    """

def check_resolve_options(
    names: Sequence[str], threshold: float = 0.85, limit: int = 2, ambiguity_threshold: float = 0.02
) -> None:
    """ValueError unless threshold, limit and ambiguity_threshold can resolve, as Catalogue checks
    them; its message calls them by `names` (three, or none for the parameter names).
    """

def state_file_text(path: str) -> str:
    """The state file at path as PipelineState.load reads it (older versions migrated), as the
    text its save would write now; nothing is written. RuntimeError as for PipelineState.load."""

def batch_text_form(form: str, values: Sequence[Optional[str]]) -> list[Optional[str]]:
    """The text form named `form` of each value, None for None; computed without the interpreter lock."""

def batch_text_form_buffers(form: str, offsets: bytes, data: bytes, offset_width: int) -> tuple[bytes, bytes]:
    """batch_text_form over a column of strings in Arrow's layout, without a str per value."""

TEXT_FORMS: tuple[str, ...]
