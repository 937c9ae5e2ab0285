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

import math
from collections.abc import Callable, Sequence
from typing import Any, Optional

from zemo_etl import _ext

__all__ = ["to_list", "from_list", "apply", "kind_of", "FORMS"]


class _Form:
    """A text form by name, as a batch function: a list of str (or None) to a list of str (or None).

    ``apply`` computes it on the buffers of an Arrow-backed column (pyarrow,
    pandas' Arrow strings) without making a str per value.
    """

    __slots__ = ("name",)

    def __init__(self, name: str) -> None:
        self.name = name

    def __call__(self, values: Sequence[Optional[str]]) -> list[Optional[str]]:
        return _ext.batch_text_form(self.name, values)

    def __reduce__(self) -> tuple[Any, ...]:
        return (_Form, (self.name,))

    def __repr__(self) -> str:
        return f"FORMS[{self.name!r}]"


# The text forms by name (as `zemo-etl normalize --form` and zemo_etl.dask.to_form
# take them). They compute without the interpreter lock, so threads (Dask's
# threaded scheduler) run in parallel; element by element they equal the
# text and pg functions of the same form.
FORMS: dict[str, Callable[[list[str]], list[Any]]] = {
    name: _Form(name)
    for name in ("storage", "match", "ascii", "identity", "identity-title", "identity-punctuation",
                 "identity-disambiguator", "pg")
}


def _arrow_form(form: str, column: Any) -> Any:
    """The form of each value of an Arrow-backed string column, as a column like it; None for other columns."""
    kind = kind_of(column)
    if kind == "pandas":
        dtype = column.dtype
        if getattr(dtype, "storage", None) != "pyarrow" or not hasattr(column.array, "__arrow_array__"):
            return None
        chunks = _arrow_form_chunks(form, column.array.__arrow_array__())
        if chunks is None:
            return None
        import pandas as pd
        return pd.Series(dtype.__from_arrow__(chunks), index=column.index, name=column.name)
    if kind == "arrow":
        import pyarrow as pa
        if isinstance(column, pa.ChunkedArray):
            return _arrow_form_chunks(form, column)
        chunks = _arrow_form_chunks(form, pa.chunked_array([column]))
        return None if chunks is None else chunks.chunk(0)
    return None


def _arrow_form_chunks(form: str, column: Any) -> Any:
    import pyarrow as pa
    import pyarrow.compute as pc
    type_ = column.type
    if not (pa.types.is_string(type_) or pa.types.is_large_string(type_)):
        return None
    width = 8 if pa.types.is_large_string(type_) else 4
    out = []
    for chunk in column.chunks:
        n = len(chunk)
        _, offsets, data = chunk.buffers()
        if n == 0 or offsets is None:
            out.append(pa.array([], type=type_))
            continue
        offsets = offsets.slice(chunk.offset * width, (n + 1) * width).to_pybytes()
        new_offsets, new_data = _ext.batch_text_form_buffers(form, offsets, b"" if data is None else data.to_pybytes(),
                                                             width)
        result = pa.Array.from_buffers(pa.large_string(), n, [None, pa.py_buffer(new_offsets), pa.py_buffer(new_data)])
        if chunk.null_count:
            result = pc.if_else(chunk.is_valid(), result, pa.scalar(None, pa.large_string()))
        out.append(result.cast(type_))
    return pa.chunked_array(out, type=type_)


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
    if isinstance(func, _Form) and len(cols) == 1 and not kwargs:
        computed = _arrow_form(func.name, cols[0])
        if computed is not None:
            return computed
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
