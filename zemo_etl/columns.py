"""Columns from data frames in and out of the batch functions.

The batch functions take and return Python lists of ``str``. Data engineers
hold pandas Series, NumPy object arrays, pyarrow arrays and polars Series;
this module converts them both ways and runs a batch function over them in
one line, keeping a Series' index and name and leaving nulls as nulls::

    from zemo_etl import columns, fuzzy, text

    df["artist_key"] = columns.apply(text.batch_to_match_form, df["artist"])           # pandas
    keys = columns.apply(text.batch_to_ascii_form, np_array)                           # NumPy object array
    table = table.append_column("key", columns.apply(text.batch_to_match_form, table["artist"]))  # pyarrow
    df = df.with_columns(columns.apply(text.batch_to_match_form, df["artist"]).alias("key"))     # polars
    df["decision"] = columns.apply(fuzzy.batch_classify_releases, df["artist"], df["title"],
                                   library_pairs=pairs)                                 # several columns

pandas, NumPy, pyarrow and polars are optional: this module imports none of
them, and recognises a column by its type's module.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable, Sequence
from typing import Any, Optional

from zemo_etl import _ext

__all__ = ["to_list", "from_list", "apply", "kind_of", "FORMS"]


# The text forms by name (as `zemo-etl normalize --form` and zemo_etl.dask.to_form
# take them), each as a function from a list of str to a list of str. They
# compute without the interpreter lock, so threads (Dask's threaded
# scheduler) run in parallel; element by element they equal the text and pg
# functions of the same form.
FORMS: dict[str, Callable[[list[str]], list[Any]]] = {
    name: functools.partial(_ext.batch_text_form, name)
    for name in ("storage", "match", "ascii", "identity", "identity-title", "identity-punctuation",
                 "identity-disambiguator", "pg")
}


def kind_of(column: Any) -> str:
    """ "pandas", "numpy", "arrow", "polars" or "list" (any other sequence)."""
    module = type(column).__module__.split(".")[0]
    if module == "pandas":
        return "pandas"
    if module == "numpy":
        return "numpy"
    if module == "pyarrow":
        return "arrow"
    if module == "polars":
        return "polars"
    if isinstance(column, (str, bytes)) or not hasattr(column, "__len__"):
        raise TypeError(f"expected a column (Series, array or sequence), got {type(column).__name__}")
    return "list"


def _is_null(value: Any) -> bool:
    if value is None:
        return True
    if isinstance(value, float):
        return math.isnan(value)
    # pandas.NA and pandas.NaT, without importing pandas.
    return type(value).__name__ in ("NAType", "NaTType")


def to_list(column: Any) -> list[Optional[str]]:
    """The column's values as a list of str, with None for each null.

    Nulls are None, NaN, pandas.NA and NaT; any other value that is not a str
    raises TypeError naming its position.
    """
    return _to_list(column)[0]


def _to_list(column: Any) -> tuple[list[Optional[str]], bool]:
    # The values, and whether any is null.
    kind = kind_of(column)
    if kind in ("pandas", "numpy"):
        values = column.tolist()
    elif kind == "arrow":
        values = column.to_pylist()
    elif kind == "polars":
        values = column.to_list()
    else:
        values = list(column)
    types = set(map(type, values))  # one pass at C speed for the common cases
    if types <= _PLAIN:
        return values, type(None) in types
    for i, v in enumerate(values):
        if type(v) is not str:
            if _is_null(v):
                values[i] = None
            elif isinstance(v, str):
                values[i] = str(v)
            else:
                raise TypeError(f"column value at position {i} is {type(v).__name__}, not str or null")
    return values, any(v is None for v in values)


_PLAIN = {str, type(None)}


def from_list(values: Sequence[Any], like: Any) -> Any:
    """A column of the same kind as `like` holding `values`.

    A pandas Series keeps `like`'s index and name (and its string dtype, for
    string results); a pyarrow array keeps its string type; a polars Series
    its name. Result types other than str are inferred as each library does.
    """
    kind = kind_of(like)
    strings = set(map(type, values)) <= _PLAIN
    if kind == "pandas":
        import pandas as pd
        # String results keep a string or object column's dtype; inferring one costs a pass.
        dtype = like.dtype if strings and (isinstance(like.dtype, pd.StringDtype) or like.dtype == object) else None
        return pd.Series(list(values), index=like.index, name=like.name, dtype=dtype)
    if kind == "numpy":
        import numpy as np
        out = np.empty(len(values), dtype=object)
        out[:] = list(values)
        return out
    if kind == "arrow":
        import pyarrow as pa
        chunked = isinstance(like, pa.ChunkedArray)
        type_ = like.type if strings and (pa.types.is_string(like.type) or pa.types.is_large_string(like.type)) else None
        array = pa.array(list(values), type=type_)
        return pa.chunked_array([array]) if chunked else array
    if kind == "polars":
        import polars as pl
        return pl.Series(like.name, list(values), dtype=pl.Utf8 if strings else None)
    return list(values)


def apply(func: Callable[..., list[Any]], *cols: Any, **kwargs: Any) -> Any:
    """func over one or more columns of equal length, as a column like the first.

    The columns become the first positional arguments of `func` (a batch
    function taking lists of str); other arguments go by keyword. Rows where
    any of the columns is null are not passed to `func` and come back null.
    """
    if not cols:
        raise TypeError("apply() needs at least one column")
    converted = [_to_list(c) for c in cols]
    lists = [values for values, _ in converted]
    n = len(lists[0])
    if any(len(values) != n for values in lists):
        raise ValueError("columns must have the same length")
    if not any(has_null for _, has_null in converted):
        results = func(*lists, **kwargs)
    else:
        keep = [i for i in range(n) if all(values[i] is not None for values in lists)]
        partial = func(*[[values[i] for i in keep] for values in lists], **kwargs)
        results = [None] * n
        for i, r in zip(keep, partial):
            results[i] = r
    return from_list(results, cols[0])
