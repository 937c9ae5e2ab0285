"""The library a job classifies against: the rows of a dump's library table
(or a CSV's, or a saved index), the index built over them, and names resolved
against a catalogue in chunks."""

from __future__ import annotations

import itertools
import operator
import os
import re
from collections.abc import Iterator, Sequence
from typing import Any, Optional

from zemo_etl import dump, schema
from zemo_etl.columns import FORMS
from zemo_etl.errors import OPTION, InputError, Wording
from zemo_etl.index import Catalogue, LibraryIndex
from zemo_etl.progress import Progress
from zemo_etl.reading import CsvInput, open_text, require_file

ROW_CHUNK = 10_000


_KNOWN_COLUMNS = {
    schema.LIBRARY_TABLE: schema.library_columns,
    schema.RELEASE_TABLE: schema.discogs_release_columns,
    schema.ENTITY_IDENTITY_TABLE: schema.entity_identity_columns,
}


def known_columns(table: str) -> Optional[list[str]]:
    """The column list `schema` publishes for a table, if any."""
    columns = _KNOWN_COLUMNS.get(table)
    return columns() if columns is not None else None


def column_names(path: str, table: str) -> Optional[list[str]]:
    """The table's column names: `schema`'s list, else the dump's own CREATE TABLE, else None."""
    known = known_columns(table)
    if known is not None or path == "-":  # standard input is read once: DumpRows.declared_columns
        return known
    require_file(path)
    try:
        return dump.table_columns(path, table)
    except RuntimeError as e:
        raise InputError(str(e)) from None


class DumpRows:
    """The table's rows in chunks, in file order, streamed through the chunk
    reader. A dump cut short, changing while read or empty is a one-line
    InputError; with `allow_incomplete` a cut dump gives the rows before the
    cut and a warning naming how many. ``report`` is the reader's, once the
    first chunk is read (``report["columns"]``: the INSERT's column list).
    `declared_types`: columns read by their declared types (DECIMAL as
    Decimal, binary ones as bytes), else every string as text."""

    def __init__(self, path: str, table: str, allow_incomplete: bool = False, wording: Wording = Wording(),
                 chunk_rows: int = ROW_CHUNK, declared_types: bool = True) -> None:
        if path != "-":  # standard input
            require_file(path)
            if os.path.getsize(path) == 0:
                raise InputError(f"{path} is empty: no dump to read table `{table}` from")
        self.path, self.table, self.wording = path, table, wording
        self.allow_incomplete = allow_incomplete
        try:
            self._chunks = dump.TableRowChunks(path, table, chunk_rows, allow_incomplete,
                                               declared_types=declared_types)
        except RuntimeError as e:
            raise InputError(str(e)) from None

    @property
    def report(self) -> dict[str, Any]:
        return self._chunks.report()

    @property
    def declared_columns(self) -> Optional[list[str]]:
        return self._chunks.declared_columns

    def __iter__(self) -> Iterator[list[tuple[object, ...]]]:
        try:
            yield from self._chunks
        except dump.IncompleteDumpError as e:
            raise InputError(f"{e} ({OPTION} reads the rows before the cut)", "allow_incomplete") from None
        except RuntimeError as e:
            raise InputError(str(e)) from None
        cut = self._chunks.report()["incomplete"]
        if cut is not None:
            self.wording.warn(InputError(f"{cut}; {OPTION}: {self._chunks.report()['rows']:,} rows read",
                                         "allow_incomplete"))


def storage_forms(values: Sequence[Any]) -> list[Any]:
    """text.to_storage_form of each str of a column, in one native call; other values as they are."""
    texts: list[Any] = [v if isinstance(v, str) else None for v in values]
    forms = FORMS["storage"](texts)
    return [f if isinstance(v, str) else v for v, f in zip(values, forms)]


def library_records(path: str, wanted: Sequence[str], needed: Sequence[str], allow_incomplete: bool = False,
                    wording: Wording = Wording(), table: str = schema.LIBRARY_TABLE,
                    names: Optional[dict[str, str]] = None) -> Iterator[list[tuple[object, ...]]]:
    """The rows of the dump's library table (`table`) in chunks, each
    row as the values of `wanted` (None for a column the dump lacks), mapped
    by name where the INSERT or the dump's CREATE TABLE names the columns and
    else by position; `names` gives the dump's own name of a wanted column
    (`library_artist_column` ...). A dump without rows of the table, or whose
    table lacks one of `needed`, is an InputError."""
    names = names or {}
    # Names are text, whatever the column's declared type.
    rows = DumpRows(path, table, allow_incomplete, wording, declared_types=False)
    chunks = iter(rows)
    first = next(chunks, None)
    if first is None:
        raise InputError(f"{path}: no rows for table `{table}` (is it a dump of the library?)")
    named = rows.report["columns"]
    if named is None:
        try:
            named = dump.table_columns(path, table)
        except RuntimeError as e:
            raise InputError(str(e)) from None
    if named is None and table == schema.LIBRARY_TABLE:
        # Unnamed library columns are the schema's, not the first of `wanted`
        # by position: else (artist, title) would be read from (id, title).
        named = schema.library_columns()
    where = dump.column_positions(named, [names.get(name, name) for name in wanted])
    missing = [names.get(name, name) for name, k in zip(wanted, where) if k is None and name in needed]
    if missing:
        raise InputError(f"{path}: table `{table}` has no column {', '.join(missing)} "
                        f"(columns: {', '.join(named or [])})")
    if named is None:
        width = len(first[0])
        where = [k if k is not None and k < width else None for k in where]  # short rows: the last columns are absent
    last = max((k for k in where if k is not None), default=-1)
    picked = operator.itemgetter(*where) if None not in where and len(where) > 1 else None
    for chunk in itertools.chain([first], chunks):
        if picked is not None and min(map(len, chunk), default=0) > last:
            yield list(map(picked, chunk))
        else:
            yield [tuple(row[k] if k is not None and k < len(row) else None for k in where) for row in chunk]



INDEX_MAGICS = (b"ZEMOLIX\0", b"ZEMOCIX\0")  # the first bytes of a saved library index: standard, careful
ALIAS_COLUMN = "alternate_artist_name"  # the library's other name of an artist, read by the careful rules


def is_dump(path: str) -> bool:
    """By the name (a compression's suffix aside), else by the first bytes
    (decompressed)."""
    stem = re.sub(r"\.(gz|bz2|xz|zst)$", "", path)
    if stem.endswith(".sql"):
        return True
    if stem.endswith((".csv", ".tsv", ".txt")):
        return False
    with open(path, "rb") as f:
        head = f.read(64 * 1024)
        compression = dump.compression_of(head)
        if compression is not None:
            f.seek(0)
            try:
                with dump.open_decompressed(f, compression) as data:
                    head = data.read(64 * 1024)
            except (RuntimeError, OSError, EOFError, ValueError):
                return False  # the CSV reader says what is wrong with it
    return b"INSERT INTO `" in head or head.lstrip().startswith((b"--", b"/*"))


def load_library_pairs(path: str, artist_column: str = "artist", title_column: str = "title",
                       allow_incomplete: bool = False, encoding: str = "utf-8",
                       delimiter: Optional[str] = None, table: str = schema.LIBRARY_TABLE,
                       names: Optional[dict[str, str]] = None,
                       wording: Wording = Wording(), aliases: bool = False) -> list[tuple[str, ...]]:
    """(artist, title) pairs from a dump's library table (`table`, its
    columns named as `names` says) or from a CSV; with `aliases`, (artist,
    title, alias) rows where the library has an `alternate_artist_name`
    column (a dump's alias is empty where it has none)."""
    require_file(path)
    if is_dump(path):
        wanted = ("artist", "title", ALIAS_COLUMN) if aliases else ("artist", "title")
        chunks = library_records(path, wanted, wanted[:2], allow_incomplete, wording, table, names)
        return [tuple(_text(v) for v in row) for chunk in chunks for row in chunk]
    with open_text(path, encoding=encoding) as f:
        csv_table = CsvInput(f, required=[artist_column, title_column], delimiter=delimiter)
        ia, it = csv_table.column(artist_column), csv_table.column(title_column)
        if aliases and ALIAS_COLUMN in csv_table.header:
            ial = csv_table.column(ALIAS_COLUMN)
            return [(row[ia], row[it], row[ial]) for row in csv_table.rows()]
        return [(row[ia], row[it]) for row in csv_table.rows()]


def load_library_index(path: str, artist_column: str = "artist", title_column: str = "title",
                       allow_incomplete: bool = False, encoding: str = "utf-8",
                       delimiter: Optional[str] = None, thresholds: Optional[dict[str, float]] = None,
                       distinct_numbers: bool = False, table: str = schema.LIBRARY_TABLE,
                       names: Optional[dict[str, str]] = None, wording: Wording = Wording(),
                       rules: Optional[str] = None) -> LibraryIndex:
    """The library index of a saved index file (with its saved rules, number
    guard and thresholds unless others are given), or built from a dump or CSV."""
    require_file(path)
    with open(path, "rb") as f:
        saved = f.read(8) in INDEX_MAGICS
    if not saved:
        return library_index(load_library_pairs(path, artist_column, title_column, allow_incomplete, encoding,
                                                delimiter, table, names, wording, aliases=rules == "careful"),
                             thresholds, distinct_numbers, rules)
    try:
        index = LibraryIndex.load(path, distinct_numbers=distinct_numbers or None, **(thresholds or {}))
    except ValueError as e:
        raise InputError(str(e)) from None
    if rules is not None and rules != index.rules:
        raise InputError(f"{path} is an index of the {index.rules} rules; {OPTION} {rules} needs the library "
                         "itself (a dump or CSV) or an index saved with those rules", "rules")
    return index


def _text(value: object) -> str:
    return "" if value is None else str(value)


# Names resolved per call: small enough that progress moves, large enough
# that the per-call cost stays a small share.
RESOLVE_CHUNK = 500


def library_index(rows: Sequence[tuple[Any, ...]], thresholds: Optional[dict[str, float]] = None,
                  distinct_numbers: bool = False, rules: Optional[str] = None) -> LibraryIndex:
    """The index of (artist, title) pairs, or (artist, title, alias) rows for the careful rules (an alias
    of None is none), with the given thresholds (default: the library's)."""
    options: dict[str, Any] = dict(thresholds or {})
    if rules == "careful":
        return LibraryIndex(rows, **options, rules="careful")
    return LibraryIndex(rows, **options, distinct_numbers=distinct_numbers)


def resolve_in_chunks(names: list[str], catalog: Sequence[str], threshold: float,
                      progress: Optional[Progress] = None, explain: bool = False) -> list[Any]:
    """fuzzy.batch_fuzzy_resolve over chunks (with `explain`, Catalogue.explain),
    the same result as one call; the catalogue is prepared once for all of them."""
    prepared = Catalogue(catalog)
    call = prepared.explain if explain else prepared.resolve
    out: list[Any] = []
    for start in range(0, len(names), RESOLVE_CHUNK):
        chunk = names[start:start + RESOLVE_CHUNK]
        out += call(chunk, threshold)
        if progress is not None:
            progress.update(len(chunk))
    return out

