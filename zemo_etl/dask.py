"""The batch functions over Dask DataFrames.

    from zemo_etl import dask as zdask

    releases = dd.read_csv("releases-*.csv", dtype=str)
    releases["decision"] = zdask.classify_releases(releases, library_pairs)
    releases["library_artist"] = zdask.resolve_names(releases["artist"], catalogue)
    releases["artist_key"] = zdask.to_form(releases["artist"], "match")

Any scheduler runs the result: threads (Dask's default), processes,
synchronous, or a ``distributed`` cluster. The library is prepared once, in
the calling process, as a ``zemo_etl.index.LibraryIndex`` (or pass one, built
or loaded); the catalogue likewise as a ``zemo_etl.index.Catalogue``. With a
``distributed`` client (the current one, or one passed as ``client``) it is
scattered to every worker once, as the bytes of its saved form; without one
it enters the graph once, as a single task every partition depends on: the
threaded and synchronous schedulers share the one object, and the processes
scheduler pickles it (as its saved bytes) for each partition's task. Each partition then classifies or resolves its rows: the
results keep the partitions' index and order and equal what one process
computes. Nulls stay nulls. No partition rebuilds the library index, so
partition size is a matter of memory and scheduling only.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable, Sequence
from typing import Any, Optional, Union

from zemo_etl import columns
from zemo_etl.index import (DEFAULT_AMBIGUITY_THRESHOLD, DEFAULT_RESOLVE_LIMIT, DEFAULT_RESOLVE_THRESHOLD, Catalogue,
                             LibraryIndex, check_resolve_options)

__all__ = ["classify_releases", "resolve_names", "to_form"]

def _shared(value: Any, client: Any) -> Any:
    """`value` as one argument every partition shares: scattered with a client, else one graph task."""
    if client is None:
        client = _current_client()
    if client is not None:
        # A list passed on its own would be scattered element by element.
        [future] = client.scatter([value], broadcast=True, hash=False)
        return future
    import uuid

    import dask
    _require_delayed_arguments(dask.__version__)
    # A name of its own: tokenizing would serialise the whole index only to name it.
    return dask.delayed(value, name=f"zemo-{type(value).__name__.lower()}-{uuid.uuid4().hex}", pure=True)


# Older Dask DataFrames hand a Delayed argument of map_partitions to the
# partition function as it is, unresolved: every partition would then fail.
_DELAYED_ARGUMENTS_SINCE = (2025, 5)


def _require_delayed_arguments(version: str) -> None:
    parts = tuple(int(p) for p in version.split(".")[:2] if p.isdigit())
    if len(parts) == 2 and parts < _DELAYED_ARGUMENTS_SINCE:
        raise RuntimeError(f"zemo_etl.dask without a distributed client needs dask 2025.5 or newer "
                           f"(found {version}; on Python 3.10 or newer: pip install -U 'dask[dataframe]>=2025.5'), "
                           f"or a distributed client")


def _current_client() -> Any:
    try:
        from distributed import default_client
    except ImportError:
        return None
    try:
        return default_client()
    except ValueError:  # no client in this process
        return None


def _meta(name: Optional[str]) -> Any:
    import pandas as pd
    return pd.Series([], dtype=object, name=name)


def _classify_partition(df: Any, index: LibraryIndex, artist: str, title: str) -> Any:
    return index.classify(df[artist], df[title])


def classify_releases(releases_df: Any, library_pairs: Union[Sequence[tuple[str, str]], LibraryIndex],
                      artist: str = "artist", title: str = "title", client: Any = None) -> Any:
    """keep/prune/review for each row of a Dask DataFrame, as a Dask Series named "decision".

    `library_pairs` are (artist, title) tuples of str, or a LibraryIndex
    already built or loaded. Rows whose artist or title is null get a null
    decision. Scatters the index with the current distributed client, or the
    one given; without a client it runs on any Dask scheduler.
    """
    if isinstance(library_pairs, LibraryIndex):
        index = library_pairs
    else:
        index = LibraryIndex([(str(a), str(t)) for a, t in library_pairs])
    return releases_df.map_partitions(_classify_partition, _shared(index, client), artist, title,
                                      meta=_meta("decision"))


def _resolve_partition(names: Any, catalogue: Catalogue, threshold: float, limit: int, ambiguity: float) -> Any:
    return catalogue.resolve(names, threshold=threshold, limit=limit, ambiguity_threshold=ambiguity)


def resolve_names(names: Any, catalogue: Union[Sequence[str], Catalogue, None] = None,
                  threshold: float = DEFAULT_RESOLVE_THRESHOLD, limit: int = DEFAULT_RESOLVE_LIMIT,
                  ambiguity_threshold: float = DEFAULT_AMBIGUITY_THRESHOLD, client: Any = None, *,
                  catalog: Union[Sequence[str], Catalogue, None] = None) -> Any:
    """fuzzy.batch_fuzzy_resolve over a Dask Series: the catalogue entry or null for each name, as a Dask
    Series named "match".

    `catalogue` is a sequence of str or a Catalogue already built or loaded
    (``catalog=``, its former name, is still taken, with a
    DeprecationWarning). The threshold, limit and ambiguity threshold
    default and are checked as in ``Catalogue.resolve``, here before any
    partition runs. Like the batch function, it compares the strings exactly
    as given; pass match forms on both sides (``to_form(series, "match")``)
    for case- and accent-insensitive matching.
    """
    if catalog is not None:
        if catalogue is not None:
            raise TypeError("resolve_names() got both catalogue and catalog (its former name)")
        warnings.warn("resolve_names(catalog=...) is now catalogue=...", DeprecationWarning, stacklevel=2)
        catalogue = catalog
    if catalogue is None:
        raise TypeError("resolve_names() missing required argument: 'catalogue'")
    check_resolve_options(threshold, limit, ambiguity_threshold)
    if not isinstance(catalogue, Catalogue):
        catalogue = Catalogue([str(c) for c in catalogue])
    return names.map_partitions(_resolve_partition, _shared(catalogue, client), threshold, limit,
                                ambiguity_threshold, meta=_meta("match"))


def _form_partition(series: Any, form: Union[str, Callable[[list[str]], list[Any]]]) -> Any:
    return columns.apply(columns._form(form), series)


def to_form(series: Any, form: Union[str, Callable[[list[str]], list[Any]]]) -> Any:
    """A text form of every value of a Dask Series: a name from columns.FORMS or a batch function."""
    columns._form(form)  # an unknown name is refused now, not when a partition runs
    # A name goes into the graph as it is; a function is pickled by reference (its module and name).
    # A form of text is text of the input's own type: a meta of another dtype
    # would have Dask convert every partition (Arrow strings to objects).
    import pandas as pd
    return series.map_partitions(_form_partition, form, meta=pd.Series([], dtype=series.dtype, name=series.name))
