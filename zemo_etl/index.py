"""Prepared fuzzy indexes: build once, use for many calls, save and load.

``fuzzy.batch_classify_releases`` builds its library index on every call,
and ``fuzzy.batch_fuzzy_resolve`` prepares its catalogue on every call. A
job that works in chunks, on several threads, over Dask partitions or from a
long-running service builds a :class:`LibraryIndex` or a :class:`Catalogue`
once instead::

    from zemo_etl.index import LibraryIndex

    index = LibraryIndex(library_pairs)          # what every batch call would build
    for artists, titles in chunks:
        decisions = index.classify(artists, titles)
    index.save("library.zix")                    # compact binary file, replaced atomically
    index = LibraryIndex.load("library.zix")     # read back: no rebuild

    catalogue = Catalogue(entries)               # what every batch_fuzzy_resolve call would prepare
    matches = catalogue.resolve(names, threshold=0.9)
    catalogue.save("artists.zcat")
    catalogue = Catalogue.load("artists.zcat")

The results are exactly those of ``batch_classify_releases`` with the same
pairs, and of ``batch_fuzzy_resolve`` with the same entries (each batch
function is "prepare, use once" over the same code). A built or loaded index
is read-only: any number of threads may call ``classify`` or ``resolve`` on
one object at once. ``pickle`` carries an index as the bytes of its saved
file, so ``multiprocessing`` and Dask can ship one.

A saved index holds the thresholds it classifies with; ``load`` and
``from_bytes`` (and so pickle) give them back. Thresholds are checked
wherever they are given: each in [0, 1], NaN refused, and ``review_floor``
not above a keep value; ``Catalogue.resolve`` and ``explain`` refuse a
threshold or ambiguity_threshold outside [0, 1] and a limit of 0.
``check_thresholds`` and ``check_resolve_options`` are the same checks, for
callers that take thresholds before they build or use an index.

``LibraryIndex.explain`` and ``Catalogue.explain`` give the evidence
behind each decision: per release the best score of each measure with the
library entries that reach it and the step that decided; per name the best
entries with their scores and why it stayed unresolved. Their decisions are
those of ``classify`` and ``resolve``::

    index.explain(["Radiohead"], ["Kid  A (Remastered)"])[0]
    # {"decision": "keep", "exact": False, "token_set": 1.0, ...,
    #  "token_set_entries": [(3, "radiohead", "kid a")], ...,
    #  "decided_by": "all", "reason": "all three scores at or above their keep values"}

``LibraryIndex(..., distinct_numbers=True)`` keeps a release whose title
carries numbers ("Vol. 2", "1975", "II") only where the library entry it is
compared with carries the same ones; otherwise the keep becomes review.
The flag is saved with the index, as the thresholds are; ``load`` and
``from_bytes`` take it as a keyword to turn it on or off.

Compatibility: a saved file records its format version. Files of the
version before the number guard was saved load with the guard off; a file
of another version (indexes saved before the thresholds were, for one), a
damaged file (its checksum covers every byte) or any other file is refused
with ``ValueError`` and never misread. Files are native-endian.
Do not modify a saved file in place while it is loaded; ``save`` never does
(it writes a new file and renames it over the old one).
"""

from __future__ import annotations

import math
import os
import types
from typing import (TYPE_CHECKING, Any, Callable, Iterable, List, Mapping, Optional, Sequence, Tuple, TypedDict,
                    TypeVar, Union, overload)

from zemo_etl import _ext, columns

if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt
    import pandas as pd
    import polars as pl
    import pyarrow as pa

__all__ = ["LibraryIndex", "Catalogue", "DEFAULT_THRESHOLDS", "DEFAULT_RESOLVE_THRESHOLD", "DEFAULT_RESOLVE_LIMIT",
           "DEFAULT_AMBIGUITY_THRESHOLD", "check_thresholds", "check_resolve_options", "ReleaseExplanation",
           "NameExplanation", "RULES"]

# The library's defaults, read from the extension: the one place the package
# and the command line take them from.
DEFAULT_THRESHOLDS: Mapping[str, float] = types.MappingProxyType(dict(_ext.DEFAULT_THRESHOLDS))
DEFAULT_RESOLVE_THRESHOLD: float = _ext.DEFAULT_RESOLVE_THRESHOLD
DEFAULT_RESOLVE_LIMIT: int = _ext.DEFAULT_RESOLVE_LIMIT
DEFAULT_AMBIGUITY_THRESHOLD: float = _ext.DEFAULT_AMBIGUITY_THRESHOLD

_THRESHOLDS = tuple(DEFAULT_THRESHOLDS)  # in the native constructor's order


def check_thresholds(thresholds: Mapping[str, float], names: Optional[Mapping[str, str]] = None) -> dict[str, float]:
    """All five classifier thresholds: `thresholds` over the defaults, checked as ``LibraryIndex`` checks them.

    ValueError unless each lies in [0, 1] and ``review_floor`` is not above a
    keep value, its message calling each threshold by `names` (say, the
    options of a command line) or else by its keyword; TypeError for an
    unknown keyword.
    """
    merged = _threshold_args(thresholds)
    _ext.check_thresholds(_labels(names, _THRESHOLDS), *merged)
    return dict(zip(_THRESHOLDS, merged))


def check_resolve_options(threshold: float = DEFAULT_RESOLVE_THRESHOLD, limit: int = DEFAULT_RESOLVE_LIMIT,
                          ambiguity_threshold: float = DEFAULT_AMBIGUITY_THRESHOLD,
                          names: Optional[Mapping[str, str]] = None) -> None:
    """ValueError unless ``Catalogue.resolve`` takes these: the threshold and the
    ambiguity threshold in [0, 1], the limit at least 1. `names` as for
    :func:`check_thresholds`."""
    _ext.check_resolve_options(_labels(names, ("threshold", "limit", "ambiguity_threshold")), threshold, limit,
                               ambiguity_threshold)


def _labels(names: Optional[Mapping[str, str]], keywords: Sequence[str]) -> list[str]:
    """Each keyword as `names` calls it; TypeError for `names` that is not a mapping."""
    if names is None:
        return []
    if not isinstance(names, Mapping):
        raise TypeError(f"names must be a mapping, not {type(names).__name__}")
    return [names.get(k, k) for k in keywords] if names else []


class _ReleaseExplanationBase(TypedDict):
    decision: str
    exact: bool
    token_set: float
    token_sort: float
    two_stage: float
    token_set_entries: List[Tuple[int, str, str]]
    token_sort_entries: List[Tuple[int, str, str]]
    two_stage_entries: List[Tuple[int, str, str]]
    decided_by: str
    reason: str


class ReleaseExplanation(_ReleaseExplanationBase, total=False):
    """One release's record of ``LibraryIndex.explain`` (``numbers`` with ``distinct_numbers`` only;
    ``candidates`` and ``best`` with the careful rules only)."""

    numbers: List[str]
    entry: Optional[Tuple[int, str, str]]
    candidates: int
    best: List[float]
    token_set_below: Optional[float]
    token_sort_below: Optional[float]
    two_stage_below: Optional[float]


class NameExplanation(TypedDict):
    """One name's record of ``Catalogue.explain``."""

    match: Optional[str]
    candidates: List[Tuple[str, float]]
    outcome: str
    reason: str


if TYPE_CHECKING:
    # Lists and tuples of str, not any Sequence: a str is a sequence of str,
    # and classify("Queen", "Flash") is a mistake the checker should see.
    _Texts = Union[List[str], Tuple[str, ...]]
    # What the column overloads take beside the first column: any column of
    # the same length; the result is of the first one's kind.
    _Column = Union["pd.Series[Any]", pl.Series, "pa.Array[Any]", "pa.ChunkedArray[Any]", "npt.NDArray[Any]",
                    _Texts]
    _ArrowColumn = TypeVar("_ArrowColumn", "pa.Array[Any]", "pa.ChunkedArray[Any]")


class _Prepared:
    """What both prepared kinds share: a native object and where it came from."""

    __slots__ = ("_native", "_source")
    _native: Any  # _ext.LibraryIndex or _ext.Catalogue
    _source: str

    @classmethod
    def _wrap(cls, native: Any, source: str) -> Any:
        obj = cls.__new__(cls)
        obj._native = native
        obj._source = source
        return obj

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write it to ``path`` (temporary file in the same folder, flushed, renamed)."""
        self._native.save(os.fspath(path))

    def to_bytes(self) -> bytes:
        """The bytes of the saved file."""
        return self._native.to_bytes()

    @property
    def memory_bytes(self) -> int:
        """Bytes of its arrays, in this process's memory."""
        return self._native.sizes()[-1]

    def __len__(self) -> int:
        return len(self._native)


class LibraryIndex(_Prepared):
    """The library index of ``batch_classify_releases``, prepared once.

    ``library_pairs`` are (artist, title) tuples of str; the thresholds
    default to the fixed ones of ``batch_classify_releases``.

    ``distinct_numbers=True`` adds the number guard to ``classify`` and
    ``explain``: a release whose title carries numbers (runs of digits such
    as a year or "45", roman numerals ii to xxxix as whole words, and a lone
    i, v or x after vol, volume, pt, part, disc, disk or cd; not those of
    an edition note such as "(2009 Remaster)" or "- Deluxe Edition 2011";
    compared as sets of values, so "II" equals "2" and "02") keeps only if the library
    entry it is compared with carries the same numbers; otherwise its keep
    becomes review. That entry is the first of the two-stage score (the
    best-matching artist's closest title), or when there is none the first
    of the token-sort score, then of the token-set score. An exact pair
    keeps, and titles without numbers decide as without the guard. Off by
    default, where every decision is that of ``batch_classify_releases``.

    ``rules="careful"`` chooses the careful rule set instead of the standard
    one (which stays exactly that of ``batch_classify_releases``). Its rows
    may carry the artist's aliases, ``(artist, title, aliases)`` with one
    alias or a sequence of them (None for none). A release keeps only when
    one library entry reaches all three keep values and the number guard
    agrees; names are compared without edition notes, years in brackets,
    featuring credits, a leading or moved article and punctuation ("&" reads
    "and"), and in ASCII form where the two sides are in different scripts;
    candidates are the entries sharing a word or, through character
    trigrams, the closest ones despite typos. A release goes to review only
    when an entry with the same title numbers has its artist past the gate,
    its title alone at ``two_stage_keep`` and both token scores at the
    review floor; otherwise it is pruned.
    """

    __slots__ = ()

    def __init__(self, library_pairs: Iterable[Union[Tuple[str, str], Tuple[str, str, _Aliases]]], *,
                 token_set_keep: float = DEFAULT_THRESHOLDS["token_set_keep"],
                 token_sort_keep: float = DEFAULT_THRESHOLDS["token_sort_keep"],
                 two_stage_keep: float = DEFAULT_THRESHOLDS["two_stage_keep"],
                 artist_gate: float = DEFAULT_THRESHOLDS["artist_gate"],
                 review_floor: float = DEFAULT_THRESHOLDS["review_floor"],
                 distinct_numbers: Optional[bool] = None, rules: str = "standard") -> None:
        _check_rules(rules)
        thresholds = _threshold_args(dict(token_set_keep=token_set_keep, token_sort_keep=token_sort_keep,
                                          two_stage_keep=two_stage_keep, artist_gate=artist_gate,
                                          review_floor=review_floor))
        library_pairs, aliases = _rows(library_pairs, rules)
        native: Any
        if rules == "careful":
            _careful_numbers(distinct_numbers)
            native = _ext.CarefulIndex(library_pairs, aliases)
            native.set_thresholds(*thresholds)
        else:
            native = _ext.LibraryIndex(library_pairs, *thresholds)
            native.set_distinct_numbers(bool(distinct_numbers))
        self._native = native
        self._source = "built"

    @overload
    def classify(self, artists: _Texts, titles: _Texts) -> list[str]: ...
    @overload
    def classify(self, artists: pd.Series[Any], titles: _Column) -> pd.Series[Any]: ...
    @overload
    def classify(self, artists: pl.Series, titles: _Column) -> pl.Series: ...
    @overload
    def classify(self, artists: npt.NDArray[Any], titles: _Column) -> npt.NDArray[np.object_]: ...
    @overload
    def classify(self, artists: _ArrowColumn, titles: _Column) -> _ArrowColumn: ...

    def classify(self, artists: Any, titles: Any) -> Any:
        """One of "keep", "prune", "review" per release, as ``batch_classify_releases``.

        Lists (or other sequences) of str give a list. A pandas, NumPy,
        pyarrow or polars column gives a column of the same kind (see
        ``zemo_etl.columns.apply``) named "decision", with a null decision
        for a null artist or title; categorical columns are classified once
        per distinct pair.
        """
        return _by_column(self._native.classify, (artists, titles), "decision")

    def explain(self, artists: Sequence[str], titles: Sequence[str], top: int = 1,
                exact: bool = True) -> list[ReleaseExplanation]:
        """Why each release is kept, pruned or sent to review: one dict per release.

        - ``decision``: as ``classify`` gives it for the same input.
        - ``exact``: whether the match-form pair is in the library.
        - ``token_set``, ``token_sort``, ``two_stage``: the best score of each
          measure over the blocked candidates (0.0 without one), always all
          three: ``fuzzy.token_set_ratio`` and ``fuzzy.token_sort_ratio`` of
          the combined match-form keys ("artist ||| title"), and the geometric
          mean of the best artist's and its best title's Jaro-Winkler scores
          (0.0 when no artist reaches the gate).
        - ``token_set_entries``, ``token_sort_entries``, ``two_stage_entries``:
          up to ``top`` ``(index, artist, title)`` reaching that best score,
          in library order: ``index`` is the position in ``library_pairs``,
          artist and title the match forms the index holds. For two-stage,
          the best artist's titles with the best title score.
        - ``entry``: ``(index, artist, title)`` of the entry most likely to be
          the same release, or None without a candidate: of the entries
          above, the one with the best mean of the three scores computed
          against it alone (ties to the first in library order).
        - ``decided_by``: "exact", "token_set" or "token_sort" (that score in
          its review band), "all" (the three scores together), or "numbers"
          (the number guard turned a keep into review).
        - ``reason``: one line for a person, such as
          "token_sort 0.74 in the review band [0.40, 0.80)".
        - ``numbers``: with ``distinct_numbers`` only, the numbers the
          release's title carries, as decimal str.

        With the careful rules, ``entry`` is the entry that decided (for a
        prune, the closest one), and ``token_set``, ``token_sort`` and
        ``two_stage`` are its scores; each ``*_entries`` holds the best entry
        of that measure over the candidates, whose scores are ``best``;
        ``decided_by`` is "exact", "all", "numbers" (an entry with other title
        numbers reached the keep values), "review" or "none"; ``numbers`` is
        always given and ``candidates`` counts the entries compared; ``top``
        is not used.

        ``exact=False`` gives evidence at about the cost of ``classify``
        (evidence mode): the decision is the same, but each score is known
        only as far as the decision needed it: it lies at or above
        ``token_set`` (``token_sort``, ``two_stage``) and below
        ``token_set_below`` (...), which is None where the score is exact
        and inf where only 1.0 bounds it (a two-stage score the decision
        never asked for: 0.0 and inf). Each ``*_entries`` then holds one
        entry reaching the lower bound (none when no entry scored above
        0.0), not necessarily the first in library order; ``entry`` is
        chosen among those; ``decided_by`` is "all" where the step that
        would name a score in its review band rests on a score the decision
        did not need, and a reason gives what is known ("below 0.4", "0.52
        to below 0.8", "not scored"). The careful rules explain exactly
        either way and give no ``*_below``.

        Lists (or other sequences) of str; an empty list gives [].
        """
        if self.rules == "careful":
            if top < 1:
                raise ValueError("top must be at least 1")
            return self._native.explain(_texts(artists), _texts(titles))
        return self._native.explain(_texts(artists), _texts(titles), top, int(bool(exact)))

    @property
    def distinct_numbers(self) -> bool:
        """Whether the number guard is on (see the class documentation); always with the careful rules."""
        return self.rules == "careful" or self._native.distinct_numbers()

    @property
    def rules(self) -> str:
        """The rule set: "standard" or "careful"."""
        return "careful" if isinstance(self._native, _ext.CarefulIndex) else "standard"

    @classmethod
    def load(cls, path: str | os.PathLike[str], *, distinct_numbers: Optional[bool] = None,
             **thresholds: float) -> LibraryIndex:
        """Read a saved index into memory, with its saved rule set, number guard and thresholds unless others
        are given.

        OSError if it cannot be read, ValueError if it is no valid index.
        """
        path = os.fspath(path)
        return cls._wrap(_loaded(_saved_kind(path).load(path), distinct_numbers, thresholds), "loaded")

    @classmethod
    def from_bytes(cls, data: bytes, *, distinct_numbers: Optional[bool] = None,
                   **thresholds: float) -> LibraryIndex:
        """An index from the bytes of a saved file (any bytes-like object), with its saved rule set, number
        guard and thresholds unless others are given."""
        data = _as_bytes(data)
        kind = _ext.CarefulIndex if data[:len(_CAREFUL_MAGIC)] == _CAREFUL_MAGIC else _ext.LibraryIndex
        return cls._wrap(_loaded(kind.from_bytes(data), distinct_numbers, thresholds), "bytes")

    @property
    def thresholds(self) -> dict[str, float]:
        return dict(zip(_THRESHOLDS, self._native.thresholds()))

    def __repr__(self) -> str:
        pairs, artists, _, data = self._native.sizes()
        return (f"LibraryIndex({_count(pairs, 'pair', 'pairs')}, {_count(artists, 'artist', 'artists')}, "
                f"{data / 2**20:.1f} MiB, {self._source})")

    def __reduce__(self):
        return (LibraryIndex.from_bytes, (self.to_bytes(),))


class Catalogue(_Prepared):
    """The catalogue of ``batch_fuzzy_resolve``, prepared once from its entries (str)."""

    __slots__ = ()

    def __init__(self, entries: Iterable[str]) -> None:
        if not isinstance(entries, (list, tuple)):
            entries = list(entries)
        self._native = _ext.Catalogue(entries)
        self._source = "built"

    @overload
    def resolve(self, names: _Texts, threshold: float = ..., limit: int = ...,
                ambiguity_threshold: float = ...) -> list[Optional[str]]: ...
    @overload
    def resolve(self, names: pd.Series[Any], threshold: float = ..., limit: int = ...,
                ambiguity_threshold: float = ...) -> pd.Series[Any]: ...
    @overload
    def resolve(self, names: pl.Series, threshold: float = ..., limit: int = ...,
                ambiguity_threshold: float = ...) -> pl.Series: ...
    @overload
    def resolve(self, names: npt.NDArray[Any], threshold: float = ..., limit: int = ...,
                ambiguity_threshold: float = ...) -> npt.NDArray[np.object_]: ...
    @overload
    def resolve(self, names: _ArrowColumn, threshold: float = ..., limit: int = ...,
                ambiguity_threshold: float = ...) -> _ArrowColumn: ...

    def resolve(self, names: Any, threshold: float = DEFAULT_RESOLVE_THRESHOLD, limit: int = DEFAULT_RESOLVE_LIMIT,
                ambiguity_threshold: float = DEFAULT_AMBIGUITY_THRESHOLD) -> Any:
        """The accepted entry or None per name, as ``batch_fuzzy_resolve`` with these entries.

        A list (or other sequence) of str gives a list; a pandas, NumPy,
        pyarrow or polars column gives a column of the same kind named
        "match", null where the name is null; a categorical column is
        resolved once per category. ValueError unless `threshold` and
        `ambiguity_threshold` lie in [0, 1] and `limit` is at least 1.
        """
        return _by_column(self._native.resolve, (names,), "match",
                          threshold=threshold, limit=limit, ambiguity_threshold=ambiguity_threshold)

    def explain(self, names: Sequence[str], threshold: float = DEFAULT_RESOLVE_THRESHOLD,
                limit: int = DEFAULT_RESOLVE_LIMIT,
                ambiguity_threshold: float = DEFAULT_AMBIGUITY_THRESHOLD) -> list[NameExplanation]:
        """Why each name resolves or not: one dict per name.

        - ``match``: the entry or None, as ``resolve`` gives it with the same arguments.
        - ``candidates``: ``(entry, score)`` of the best ``limit`` entries
          (at least one), best first, ties in catalogue order; the first two
          are the best and the runner-up that ``resolve`` compares.
        - ``outcome``: "resolved", "no_candidates" (empty catalogue),
          "below_threshold" or "ambiguous" (the runner-up within the gap).
        - ``reason``: one line, such as "best 0.83 below the threshold 0.85".
        """
        return self._native.explain(_texts(names), threshold, limit, ambiguity_threshold)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Catalogue:
        """Map a saved catalogue read-only (read into memory when another user owns or can write it).

        OSError if it cannot be read, ValueError if it is no valid one.
        """
        return cls._wrap(_ext.Catalogue.load(os.fspath(path)), "loaded")

    @classmethod
    def from_bytes(cls, data: bytes) -> Catalogue:
        """The catalogue of ``to_bytes`` output: bytes or any other bytes-like object."""
        return cls._wrap(_ext.Catalogue.from_bytes(_as_bytes(data)), "bytes")

    def __repr__(self) -> str:
        entries, _, data = self._native.sizes()
        return f"Catalogue({_count(entries, 'entry', 'entries')}, {data / 2**20:.1f} MiB, {self._source})"

    def __reduce__(self):
        return (Catalogue.from_bytes, (self.to_bytes(),))


RULES = ("standard", "careful")
# The first bytes of a saved careful index.
_CAREFUL_MAGIC = b"ZEMOCIX\0"
# A row's aliases: one str, a sequence of them, or None.
_Aliases = Union[str, Sequence[str], None]


def _saved_kind(path: str) -> Any:
    """The native class of the index saved at `path`, by its first bytes; the standard one where they cannot
    be read, whose load then says why."""
    if "\0" not in path:
        try:
            with open(path, "rb") as f:
                if f.read(len(_CAREFUL_MAGIC)) == _CAREFUL_MAGIC:
                    return _ext.CarefulIndex
        except OSError:
            pass
    return _ext.LibraryIndex


def _check_rules(rules: str) -> None:
    if rules not in RULES:
        raise ValueError(f"rules must be 'standard' or 'careful', got {rules!r}")


def _careful_numbers(distinct_numbers: Optional[bool]) -> None:
    if distinct_numbers is not None and not distinct_numbers:
        raise ValueError("the careful rules always compare title numbers: distinct_numbers=False applies to the "
                         "standard rules only")


def _loaded(native: Any, distinct_numbers: Optional[bool], thresholds: Mapping[str, float]) -> Any:
    """A freshly loaded native index with the number guard and thresholds given in place of the saved ones."""
    if isinstance(native, _ext.CarefulIndex):
        _careful_numbers(distinct_numbers)
    elif distinct_numbers is not None:
        native.set_distinct_numbers(bool(distinct_numbers))
    return _with_thresholds(native, thresholds)


# What pickles made before the number guard was saved call.
def _library_from_pickle(data: bytes, distinct_numbers: bool) -> LibraryIndex:
    return LibraryIndex.from_bytes(data, distinct_numbers=distinct_numbers)


def _texts(values: Any) -> Any:
    # Sequences pass as they are; other iterables (generators) become lists.
    return values if isinstance(values, (list, tuple)) or hasattr(values, "__getitem__") else list(values)


def _threshold_args(thresholds: Mapping[str, float], base: Mapping[str, float] = DEFAULT_THRESHOLDS) -> list[float]:
    # Checked by the extension: each in [0, 1], the floor not above a keep value.
    unknown = set(thresholds) - set(_THRESHOLDS)
    if unknown:
        raise TypeError(f"unexpected keyword argument {sorted(unknown)[0]!r}")
    merged = {**base, **thresholds}
    return [float(merged[name]) for name in _THRESHOLDS]


def _count(n: int, one: str, many: str) -> str:
    return f"{n:,} {one if n == 1 else many}"


def _as_bytes(data: Any) -> bytes:
    # bytearray, memoryview, mmap, NumPy buffers...: one copy, as the native side copies anyway.
    return data if isinstance(data, bytes) else bytes(memoryview(data))


def _rows(library_rows: Iterable[Any], rules: str) -> Tuple[Sequence[Any], List[str]]:
    """The rows as the native constructors take them: tuples of two str, and for the careful rules each row's
    aliases as one str (joined by the unit separator; [] when no row has any).

    Any sequence of 2- or 3-sequences (lists from ``df.values.tolist()``, NumPy rows) is turned into tuples;
    the common list of 2-tuples passes untouched.
    """
    if not isinstance(library_rows, (list, tuple)):
        library_rows = list(library_rows)
    if all(type(p) is tuple and len(p) == 2 for p in library_rows):
        return library_rows, []
    pairs, aliases = [], []
    for i, p in enumerate(library_rows):
        if isinstance(p, (str, bytes)) or not hasattr(p, "__len__") or not hasattr(p, "__getitem__"):
            raise TypeError(f"expected an (artist, title) pair, got {type(p).__name__} at position {i}")
        if len(p) not in (2, 3):
            raise ValueError(f"expected an (artist, title) pair or (artist, title, aliases), got {len(p)} values "
                             f"at position {i}")
        pairs.append((p[0], p[1]))
        aliases.append(_joined_aliases(p[2] if len(p) == 3 else None, i))
    if any(aliases) and rules != "careful":
        raise ValueError("aliases are compared by the careful rules only: pass rules='careful', or (artist, title) "
                         "pairs")
    return pairs, aliases if any(aliases) else []


def _joined_aliases(aliases: Any, i: int) -> str:
    if aliases is None or (isinstance(aliases, float) and math.isnan(aliases)):
        return ""
    if isinstance(aliases, str):
        aliases = [aliases]
    out = []
    for a in aliases:
        if a is None or (isinstance(a, float) and math.isnan(a)):
            continue
        if not isinstance(a, str):
            raise TypeError(f"library_pairs: expected aliases of str, got {type(a).__name__} in the row at "
                            f"position {i}")
        out.append(a)
    return "\x1f".join(out)


def _by_column(func: Callable[..., list[Any]], cols: tuple[Any, ...], result: str,
               **kwargs: Any) -> Any:
    """func over plain sequences as they are, or over data-frame columns through zemo_etl.columns, the
    column named `result`."""
    kinds = [columns.kind_of(c) for c in cols]
    if any(kind != "list" for kind in kinds):
        return columns._named(columns.apply(func, *cols, **kwargs), result)
    return func(*cols, **kwargs)


def _with_thresholds(native: Any, thresholds: Mapping[str, float]) -> Any:
    """A freshly loaded index, with `thresholds` in place of those it was saved with."""
    if thresholds:
        native.set_thresholds(*_threshold_args(thresholds, dict(zip(_THRESHOLDS, native.thresholds()))))
    return native
