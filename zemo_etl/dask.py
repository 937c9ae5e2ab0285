"""The batch functions over Dask DataFrames.

    from distributed import Client
    from zemo_etl import dask as zdask

    client = Client(n_workers=4, threads_per_worker=1)
    releases = dd.read_csv("releases-*.csv", dtype=str)
    releases["decision"] = zdask.classify_releases(releases, library_pairs)
    releases["library_artist"] = zdask.resolve_names(releases["artist"], catalog, threshold=0.85)
    releases["artist_key"] = zdask.to_form(releases["artist"], "match")

The library is prepared once, in the calling process, as a
``zemo_etl.index.LibraryIndex`` (or pass one, built or loaded), and shipped to
every worker once as the bytes of its saved form; the catalogue is scattered
the same way. Each partition then classifies or resolves its rows: the
results keep the partitions' index and order and equal what one process
computes. Nulls stay nulls. No partition rebuilds the library index, so
partition size is a matter of memory and scheduling only.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, Optional, Union

from zemo_etl import columns, fuzzy
from zemo_etl.columns import FORMS
from zemo_etl.index import LibraryIndex

__all__ = ["classify_releases", "resolve_names", "to_form"]

def _scatter(value: Any, client: Any) -> Any:
    """One future for `value`, held by every worker."""
    if client is None:
        from distributed import get_client
        client = get_client()
    # A list passed on its own would be scattered element by element.
    [future] = client.scatter([value], broadcast=True, hash=False)
    return future


def _meta(name: Optional[str]) -> Any:
    import pandas as pd
    return pd.Series([], dtype=object, name=name)


def _classify_partition(df: Any, index: LibraryIndex, artist: str, title: str) -> Any:
    out = columns.apply(index.classify, df[artist], df[title])
    out.name = "decision"
    return out


def classify_releases(releases_df: Any, library_pairs: Union[Sequence[tuple[str, str]], LibraryIndex],
                      artist: str = "artist", title: str = "title", client: Any = None) -> Any:
    """keep/prune/review for each row of a Dask DataFrame, as a Dask Series named "decision".

    `library_pairs` are (artist, title) tuples of str, or a LibraryIndex
    already built or loaded. Rows whose artist or title is null get a null
    decision. Uses the current distributed client unless one is given.
    """
    if isinstance(library_pairs, LibraryIndex):
        index = library_pairs
    else:
        index = LibraryIndex([(str(a), str(t)) for a, t in library_pairs])
    scattered = _scatter(index, client)
    return releases_df.map_partitions(_classify_partition, scattered, artist, title, meta=_meta("decision"))


def _resolve_partition(names: Any, catalog: list[str], threshold: float, limit: int, ambiguity: float) -> Any:
    return columns.apply(fuzzy.batch_fuzzy_resolve, names, catalog=catalog, threshold=threshold, limit=limit,
                         ambiguity_threshold=ambiguity)


def resolve_names(names: Any, catalog: Sequence[str], threshold: float, limit: int = 2,
                  ambiguity_threshold: float = 0.02, client: Any = None) -> Any:
    """fuzzy.batch_fuzzy_resolve over a Dask Series: the catalogue entry or null for each name.

    Like the batch function, it compares the strings exactly as given; pass
    match forms on both sides (``to_form(series, "match")``) for case- and
    accent-insensitive matching.
    """
    entries = [str(c) for c in catalog]
    scattered = _scatter(entries, client)
    return names.map_partitions(_resolve_partition, scattered, threshold, limit, ambiguity_threshold,
                                meta=_meta(names.name))


def _form_partition(series: Any, form: Union[str, Callable[[list[str]], list[Any]]]) -> Any:
    return columns.apply(FORMS[form] if isinstance(form, str) else form, series)


def to_form(series: Any, form: Union[str, Callable[[list[str]], list[Any]]]) -> Any:
    """A text form of every value of a Dask Series: a name from columns.FORMS or a batch function."""
    if isinstance(form, str) and form not in FORMS:
        raise ValueError(f"unknown form {form!r}; one of: {', '.join(FORMS)}")
    # By name into the graph: Dask cannot tokenize the extension's functions.
    return series.map_partitions(_form_partition, form, meta=_meta(series.name))
