"""Text forms, classification and resolving inside data-frame expressions.

Importing this module registers ``zemo`` on pandas Series and DataFrames
(an accessor) and on polars expressions (a namespace), for whichever of the
two is installed; it imports neither when it is absent::

    import zemo_etl.frames  # noqa: F401  (registers the accessor and the namespace)

    df["key"] = df["artist"].zemo.to_form("match")
    df["decision"] = df.zemo.classify(index)                   # columns artist and title
    df["match"] = df["artist"].zemo.resolve(catalogue)

    lf.with_columns(pl.col("artist").zemo.to_form("match").alias("key"),
                    pl.col("artist").zemo.classify(pl.col("title"), index),   # named "decision"
                    pl.col("artist").zemo.resolve(catalogue))                # named "match"

The results are those of ``zemo_etl.columns.apply`` (and of
``LibraryIndex.classify`` and ``Catalogue.resolve``) over the same columns:
nulls stay null, an index is kept. `index` is a ``LibraryIndex`` or the
(artist, title) pairs to build one from, `catalogue` a ``Catalogue`` or its
entries; build either once for many calls. A form is a name of
``columns.FORMS`` or a batch function.

The polars expressions declare their result type and work row by row, so a
lazy plan knows its schema and the streaming engine runs them batch by batch.
"""

from __future__ import annotations

from typing import Any, Callable, Iterable, Tuple, Union

from zemo_etl import columns
from zemo_etl.index import (DEFAULT_AMBIGUITY_THRESHOLD, DEFAULT_RESOLVE_LIMIT, DEFAULT_RESOLVE_THRESHOLD, Catalogue,
                            LibraryIndex, check_resolve_options)

__all__ = ["ACCESSOR"]

ACCESSOR = "zemo"

_FormLike = Union[str, Callable[[list[str]], list[Any]]]


def _library(index: Union[LibraryIndex, Iterable[Tuple[str, str]]]) -> LibraryIndex:
    return index if isinstance(index, LibraryIndex) else LibraryIndex(index)


def _catalogue(catalogue: Union[Catalogue, Iterable[str]]) -> Catalogue:
    return catalogue if isinstance(catalogue, Catalogue) else Catalogue(catalogue)


class _PandasSeries:
    """``Series.zemo``: the column's text forms, or the column resolved as names."""

    def __init__(self, series: Any) -> None:
        self._series = series

    def to_form(self, form: _FormLike) -> Any:
        """The form of each value (a name of ``columns.FORMS`` or a batch function), under the column's name."""
        return columns.apply(columns._form(form), self._series)

    def resolve(self, catalogue: Union[Catalogue, Iterable[str]], threshold: float = DEFAULT_RESOLVE_THRESHOLD,
                limit: int = DEFAULT_RESOLVE_LIMIT, ambiguity_threshold: float = DEFAULT_AMBIGUITY_THRESHOLD) -> Any:
        """The catalogue entry each value resolves to, or null: a Series named "match"."""
        return _catalogue(catalogue).resolve(self._series, threshold, limit, ambiguity_threshold)


class _PandasFrame:
    """``DataFrame.zemo``: classification of two columns, and the single-column calls by column name."""

    def __init__(self, frame: Any) -> None:
        self._frame = frame

    def classify(self, index: Union[LibraryIndex, Iterable[Tuple[str, str]]], artist: str = "artist",
                 title: str = "title") -> Any:
        """keep, prune or review per row of the `artist` and `title` columns: a Series named "decision"."""
        return _library(index).classify(self._frame[artist], self._frame[title])

    def to_form(self, column: str, form: _FormLike) -> Any:
        return _PandasSeries(self._frame[column]).to_form(form)

    def resolve(self, catalogue: Union[Catalogue, Iterable[str]], column: str = "artist",
                threshold: float = DEFAULT_RESOLVE_THRESHOLD, limit: int = DEFAULT_RESOLVE_LIMIT,
                ambiguity_threshold: float = DEFAULT_AMBIGUITY_THRESHOLD) -> Any:
        return _PandasSeries(self._frame[column]).resolve(catalogue, threshold, limit, ambiguity_threshold)


class _PolarsExpr:
    """``Expr.zemo``: expressions over one column (text forms, resolving) or two (classification)."""

    def __init__(self, expr: Any) -> None:
        self._expr = expr

    def _text(self, expr: Any, compute: Callable[[Any], Any]) -> Any:
        import polars as pl

        def batch(series: Any) -> Any:
            out = compute(series)
            # Categorical input comes back categorical; the expression promises text.
            return out if out.dtype == pl.String else out.cast(pl.String)

        return expr.map_batches(batch, return_dtype=pl.String, is_elementwise=True)

    def to_form(self, form: _FormLike) -> Any:
        """The form of each value (a name of ``columns.FORMS`` or a batch function), under the column's name."""
        func = columns._form(form)
        return self._text(self._expr, lambda s: columns.apply(func, s))

    def classify(self, titles: Any, index: Union[LibraryIndex, Iterable[Tuple[str, str]]]) -> Any:
        """keep, prune or review per row, this expression giving the artists and `titles` (an expression or a
        column name) the titles; named "decision"."""
        import polars as pl
        library = _library(index)
        titles = pl.col(titles) if isinstance(titles, str) else titles
        pair = pl.struct(self._expr.alias("artist"), titles.alias("title"))
        return self._text(pair, lambda s: library.classify(s.struct.field("artist"),
                                                           s.struct.field("title"))).alias("decision")

    def resolve(self, catalogue: Union[Catalogue, Iterable[str]], threshold: float = DEFAULT_RESOLVE_THRESHOLD,
                limit: int = DEFAULT_RESOLVE_LIMIT, ambiguity_threshold: float = DEFAULT_AMBIGUITY_THRESHOLD) -> Any:
        """The catalogue entry each value resolves to, or null; named "match"."""
        check_resolve_options(threshold, limit, ambiguity_threshold)  # now, not when the plan runs
        prepared = _catalogue(catalogue)
        return self._text(self._expr, lambda s: prepared.resolve(s, threshold, limit,
                                                                 ambiguity_threshold)).alias("match")


def _register() -> None:
    # Registered once however often this runs; a library that is not installed is left alone.
    try:
        import pandas as pd
    except ImportError:
        pass
    else:
        if not hasattr(pd.Series, ACCESSOR):
            pd.api.extensions.register_series_accessor(ACCESSOR)(_PandasSeries)
            pd.api.extensions.register_dataframe_accessor(ACCESSOR)(_PandasFrame)
    try:
        import polars as pl
    except ImportError:
        pass
    else:
        if not hasattr(pl.Expr, ACCESSOR):
            pl.api.register_expr_namespace(ACCESSOR)(_PolarsExpr)


_register()
