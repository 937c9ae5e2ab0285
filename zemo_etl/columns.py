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
    for name in _ext.TEXT_FORMS
}


def _form(form: Any) -> Callable[[list[str]], list[Any]]:
    """A batch function as it is, or the one of FORMS that a name names (ValueError naming the others)."""
    if not isinstance(form, str):
        return form
    if form not in FORMS:
        raise ValueError(f"unknown form {form!r}; one of: {', '.join(FORMS)}")
    return FORMS[form]


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
        if chunk.offset:
            # A slice (a Dask partition, say) shares its parent's buffers: compact
            # it, so that only its own values are copied and computed.
            chunk = pa.concat_arrays([chunk])
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
                raise TypeError(f"expected a str or null, got {type(v).__name__} at position {i}")
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
        # String results keep a string, Arrow string or object column's dtype; inferring one costs a pass.
        dtype = like.dtype if strings and _text_dtype(like.dtype) else None
        return pd.Series(list(values), index=like.index, name=like.name, dtype=dtype)
    if kind == "numpy":
        import numpy as np
        out = np.empty(len(values), dtype=object)
        out[:] = list(values)
        return out
    if kind == "arrow":
        import pyarrow as pa
        type_ = like.type if strings and _arrow_text_type(like.type) else None
        return _chunked_like(pa.array(list(values), type=type_), like)
    if kind == "polars":
        import polars as pl
        return pl.Series(like.name, list(values), dtype=pl.Utf8 if strings else None)
    return list(values)


def _arrow_text_type(type_: Any) -> bool:
    import pyarrow as pa
    is_view = getattr(pa.types, "is_string_view", None)  # pyarrow 16 and later
    return pa.types.is_string(type_) or pa.types.is_large_string(type_) or (is_view is not None and is_view(type_))


def _text_dtype(dtype: Any) -> bool:
    """Whether a pandas dtype holds text: object, a StringDtype, or an ArrowDtype of an Arrow string type."""
    import pandas as pd
    if dtype == object or isinstance(dtype, pd.StringDtype):
        return True
    arrow = getattr(pd, "ArrowDtype", None)  # pandas 1.5 and later
    return arrow is not None and isinstance(dtype, arrow) and _arrow_text_type(dtype.pyarrow_dtype)


def _chunked_like(array: Any, like: Any) -> Any:
    """`array` as `like` is: a plain array, or a ChunkedArray cut where `like`'s chunks end."""
    import pyarrow as pa
    if not isinstance(like, pa.ChunkedArray):
        return array
    chunks, start = [], 0
    for chunk in like.chunks:
        chunks.append(array.slice(start, len(chunk)))
        start += len(chunk)
    return pa.chunked_array(chunks, type=array.type)


def _named(column: Any, name: str) -> Any:
    """The column under `name`: a pandas or polars Series renamed, other kinds (which have no name) as they are."""
    kind = kind_of(column)
    if kind == "pandas":
        return column.rename(name)
    if kind == "polars":
        return column.alias(name)
    return column


def apply(func: Callable[..., list[Any]], column: Any, /, *more: Any, **kwargs: Any) -> Any:
    """func over one or more columns of equal length, as a column like the first.

    The columns become the first positional arguments of `func` (a batch
    function taking lists of str); other arguments go by keyword. Rows where
    any of the columns is null are not passed to `func` and come back null.

    pandas Series given together must share one index (rows are paired by
    position, so unaligned Series would pair the wrong rows). When every
    column is categorical (pandas ``category``, an Arrow dictionary array,
    polars ``Categorical`` or ``Enum``), `func` runs once per distinct value
    (or combination of values) and the result comes back categorical.
    """
    cols = (column, *more)
    _check_aligned(cols)
    categorical = [_categorical(c) for c in cols]
    if all(c is not None for c in categorical):
        return _apply_categorical(func, cols, categorical, kwargs)  # type: ignore[arg-type]
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


def _check_aligned(cols: Sequence[Any]) -> None:
    indexes = [c.index for c in cols if kind_of(c) == "pandas" and hasattr(c, "index")]
    for other in indexes[1:]:
        if other is not indexes[0] and not other.equals(indexes[0]):
            raise ValueError("pandas Series given together must share one index (rows are paired by position); "
                             "align them first, for example with b.reindex(a.index)")


def _categorical(column: Any) -> Optional[tuple[Any, list[str]]]:
    """(codes, categories) of a categorical column of str, codes int64 with -1 for null; else None."""
    kind = kind_of(column)
    if kind == "pandas":
        if type(getattr(column, "dtype", None)).__name__ != "CategoricalDtype":
            return None
        import numpy as np
        codes, categories = column.cat.codes.to_numpy(dtype=np.int64), column.cat.categories.tolist()
    elif kind == "arrow":
        import pyarrow as pa
        if not pa.types.is_dictionary(column.type):
            return None
        if isinstance(column, pa.ChunkedArray):
            column = column.unify_dictionaries()
            if column.num_chunks == 0:
                return None
            dictionary = column.chunks[0].dictionary
            indices = pa.concat_arrays([chunk.indices for chunk in column.chunks])
        else:
            dictionary, indices = column.dictionary, column.indices
        import numpy as np
        codes = indices.fill_null(-1).to_numpy(zero_copy_only=False).astype(np.int64)
        categories = dictionary.to_pylist()
    elif kind == "polars":
        import polars as pl
        dtype = column.dtype
        if isinstance(dtype, pl.Enum):
            categories, physical = dtype.categories.to_list(), column.to_physical()
        elif dtype == pl.Categorical:
            # Categorical codes index a global mapping: number the distinct values instead.
            categories = column.drop_nulls().unique(maintain_order=True).cast(pl.Utf8).to_list()
            physical = column.cast(pl.Enum(categories)).to_physical()
        else:
            return None
        codes = physical.cast(pl.Int64).fill_null(-1).to_numpy()
    else:
        return None
    if not set(map(type, categories)) <= _PLAIN:
        return None
    if None in categories:  # a null in an Arrow dictionary
        import numpy as np
        nulls = np.array([c is None for c in categories] + [True])
        codes = np.where(nulls[codes], -1, codes)
        categories = ["" if c is None else c for c in categories]
    return codes, categories


def _apply_categorical(func: Callable[..., list[Any]], cols: Sequence[Any],
                       categorical: list[tuple[Any, list[str]]], kwargs: dict[str, Any]) -> Any:
    import numpy as np
    n = len(categorical[0][0])
    if any(len(codes) != n for codes, _ in categorical):
        raise ValueError("columns must have the same length")
    if len(categorical) == 1:
        keys, categories = categorical[0]
        args = [categories]
    else:
        # One key per row for the combination of codes, numbered densely.
        valid = np.ones(n, dtype=bool)
        combined = np.zeros(n, dtype=np.int64)
        for codes, categories in categorical:
            valid &= codes >= 0
            combined = combined * (len(categories) + 1) + codes
        distinct, inverse = np.unique(combined[valid], return_inverse=True)
        keys = np.full(n, -1, dtype=np.int64)
        keys[valid] = inverse
        first = np.zeros(len(distinct), dtype=np.int64)
        first[inverse] = np.flatnonzero(valid)  # a row holding each combination
        args = [[categories[c] for c in codes[first].tolist()] for codes, categories in categorical]
    results = func(*args, **kwargs)
    try:
        values = list(dict.fromkeys(r for r in results if not _is_null(r)))
    except TypeError:  # unhashable results (lists): no categories, one value per row
        return from_list([None if k < 0 else results[k] for k in keys.tolist()], cols[0])
    position = {v: i for i, v in enumerate(values)}
    # The extra -1 at the end maps the null key (-1) to null.
    remap = np.array([-1 if _is_null(r) else position[r] for r in results] + [-1], dtype=np.int64)
    return _categorical_like(remap[keys], values, cols[0])


def _categorical_like(codes: Any, values: list[Any], like: Any) -> Any:
    kind = kind_of(like)
    if kind == "pandas":
        import pandas as pd
        return pd.Series(pd.Categorical.from_codes(codes, categories=values), index=like.index, name=like.name)
    if kind == "arrow":
        import pyarrow as pa
        value_type = like.type.value_type if set(map(type, values)) <= _PLAIN else None
        dictionary = pa.array(values, type=value_type)
        array = pa.DictionaryArray.from_arrays(pa.array(codes, mask=codes < 0, type=pa.int32()), dictionary)
        return _chunked_like(array, like)
    import polars as pl
    indices = pl.Series(codes).cast(pl.UInt32, strict=False)  # -1 becomes null
    if not set(map(type, values)) <= _PLAIN:
        return pl.Series(like.name, values).gather(indices)
    out = pl.Series(like.name, values, dtype=pl.Enum(values)).gather(indices)
    return out.cast(pl.Categorical) if like.dtype == pl.Categorical else out
