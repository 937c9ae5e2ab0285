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
    index = LibraryIndex.load("library.zix")     # mapped read-only: no rebuild, pages shared

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
not above a keep value; ``Catalogue.resolve`` refuses a NaN threshold the
same way.

Compatibility: a saved file records its format version; a file of another
version (indexes saved before the thresholds were, for one), a damaged file (its checksum covers every byte) or any other file
is refused with ``ValueError`` and never misread. Files are native-endian.
Do not modify a saved file in place while it is loaded; ``save`` never does
(it writes a new file and renames it over the old one).
"""

from __future__ import annotations

import os
import types
from typing import Any, Iterable, Mapping, Optional, Sequence, Tuple

from zemo_etl import _ext

__all__ = ["LibraryIndex", "Catalogue", "DEFAULT_THRESHOLDS", "DEFAULT_RESOLVE_THRESHOLD"]

# The library's defaults, read from the extension: the one place the package
# and the command line take them from.
DEFAULT_THRESHOLDS: Mapping[str, float] = types.MappingProxyType(dict(_ext.DEFAULT_THRESHOLDS))
DEFAULT_RESOLVE_THRESHOLD: float = _ext.DEFAULT_RESOLVE_THRESHOLD

_THRESHOLDS = tuple(DEFAULT_THRESHOLDS)  # in the native constructor's order


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
        """Bytes of its arrays (in this process's memory, or mapped from its file)."""
        return self._native.sizes()[-1]

    def __len__(self) -> int:
        return len(self._native)


class LibraryIndex(_Prepared):
    """The library index of ``batch_classify_releases``, prepared once.

    ``library_pairs`` are (artist, title) tuples of str; the thresholds
    default to the fixed ones of ``batch_classify_releases``.
    """

    __slots__ = ()

    def __init__(self, library_pairs: Iterable[Tuple[str, str]], *,
                 token_set_keep: float = DEFAULT_THRESHOLDS["token_set_keep"],
                 token_sort_keep: float = DEFAULT_THRESHOLDS["token_sort_keep"],
                 two_stage_keep: float = DEFAULT_THRESHOLDS["two_stage_keep"],
                 artist_gate: float = DEFAULT_THRESHOLDS["artist_gate"],
                 review_floor: float = DEFAULT_THRESHOLDS["review_floor"]) -> None:
        if not isinstance(library_pairs, (list, tuple)):
            library_pairs = list(library_pairs)
        thresholds = _threshold_args(dict(token_set_keep=token_set_keep, token_sort_keep=token_sort_keep,
                                          two_stage_keep=two_stage_keep, artist_gate=artist_gate,
                                          review_floor=review_floor))
        self._native = _ext.LibraryIndex(library_pairs, *thresholds)
        self._source = "built"

    def classify(self, artists: Sequence[str], titles: Sequence[str]) -> list[str]:
        """One of "keep", "prune", "review" per release, as ``batch_classify_releases``."""
        return self._native.classify(artists, titles)

    @classmethod
    def load(cls, path: str | os.PathLike[str], **thresholds: float) -> LibraryIndex:
        """Map a saved index read-only, with its saved thresholds unless others are given.

        OSError if it cannot be read, ValueError if it is no valid index.
        """
        return cls._wrap(_with_thresholds(_ext.LibraryIndex.load(os.fspath(path)), thresholds), "mapped")

    @classmethod
    def from_bytes(cls, data: bytes, **thresholds: float) -> LibraryIndex:
        """An index from the bytes of a saved file, with its saved thresholds unless others are given."""
        return cls._wrap(_with_thresholds(_ext.LibraryIndex.from_bytes(data), thresholds), "bytes")

    @property
    def thresholds(self) -> dict[str, float]:
        return dict(zip(_THRESHOLDS, self._native.thresholds()))

    def __repr__(self) -> str:
        pairs, artists, _, data = self._native.sizes()
        return (f"LibraryIndex({pairs:,} pairs, {artists:,} artists, {data / 2**20:.1f} MiB, "
                f"{self._source})")

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

    def resolve(self, names: Sequence[str], threshold: float = DEFAULT_RESOLVE_THRESHOLD, limit: int = 2,
                ambiguity_threshold: float = 0.02) -> list[Optional[str]]:
        """The accepted entry or None per name, as ``batch_fuzzy_resolve`` with these entries."""
        return self._native.resolve(names, threshold, limit, ambiguity_threshold)

    @classmethod
    def load(cls, path: str | os.PathLike[str]) -> Catalogue:
        """Map a saved catalogue read-only. OSError if it cannot be read, ValueError if it is no valid one."""
        return cls._wrap(_ext.Catalogue.load(os.fspath(path)), "mapped")

    @classmethod
    def from_bytes(cls, data: bytes) -> Catalogue:
        return cls._wrap(_ext.Catalogue.from_bytes(data), "bytes")

    def __repr__(self) -> str:
        entries, _, data = self._native.sizes()
        return f"Catalogue({entries:,} entries, {data / 2**20:.1f} MiB, {self._source})"

    def __reduce__(self):
        return (Catalogue.from_bytes, (self.to_bytes(),))


def _threshold_args(thresholds: Mapping[str, float], base: Mapping[str, float] = DEFAULT_THRESHOLDS) -> list[float]:
    # Checked by the extension: each in [0, 1], the floor not above a keep value.
    unknown = set(thresholds) - set(_THRESHOLDS)
    if unknown:
        raise TypeError(f"unexpected keyword argument {sorted(unknown)[0]!r}")
    merged = {**base, **thresholds}
    return [float(merged[name]) for name in _THRESHOLDS]


def _with_thresholds(native: Any, thresholds: Mapping[str, float]) -> Any:
    """A freshly loaded index, with `thresholds` in place of those it was saved with."""
    if thresholds:
        native.set_thresholds(*_threshold_args(thresholds, dict(zip(_THRESHOLDS, native.thresholds()))))
    return native
