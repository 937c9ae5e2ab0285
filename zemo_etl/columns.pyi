"""Columns from data frames in and out of the batch functions."""

from collections.abc import Callable, Sequence
from typing import Any, Optional, TypeVar, Union, overload

import numpy as np
import numpy.typing as npt
import pandas as pd
import polars as pl
import pyarrow as pa

__all__ = ["to_list", "from_list", "apply", "kind_of", "FORMS"]

_T = TypeVar("_T")
# A column of each kind; lists and tuples may hold None (null).
_Texts = Union[list[str], list[Optional[str]], tuple[Optional[str], ...]]
_Column = Union["pd.Series[Any]", pl.Series, "pa.Array[Any]", "pa.ChunkedArray[Any]", npt.NDArray[Any], _Texts]
_ArrowColumn = TypeVar("_ArrowColumn", "pa.Array[Any]", "pa.ChunkedArray[Any]")

FORMS: dict[str, Callable[[list[str]], list[Any]]]

def kind_of(column: Any) -> str:
    """ "pandas", "numpy", "arrow", "polars" or "list" (any other sequence)."""

def to_list(column: Any) -> list[Optional[str]]:
    """The column's values as a list of str, with None for each null."""

def from_list(values: Sequence[Any], like: Any) -> Any:
    """A column of the same kind as `like` holding `values`."""

# The result is a column of the first column's kind.
@overload
def apply(func: Callable[..., list[_T]], column: _Texts, /, *more: _Texts, **kwargs: Any) -> list[Optional[_T]]: ...
@overload
def apply(func: Callable[..., list[Any]], column: pd.Series[Any], /, *more: _Column, **kwargs: Any) -> pd.Series[Any]: ...
@overload
def apply(func: Callable[..., list[Any]], column: pl.Series, /, *more: _Column, **kwargs: Any) -> pl.Series: ...
@overload
def apply(
    func: Callable[..., list[Any]], column: npt.NDArray[Any], /, *more: _Column, **kwargs: Any
) -> npt.NDArray[np.object_]: ...
@overload
def apply(func: Callable[..., list[Any]], column: _ArrowColumn, /, *more: _Column, **kwargs: Any) -> _ArrowColumn: ...
def _named(column: Any, name: str) -> Any: ...
def _form(form: Union[str, Callable[[list[str]], list[Any]]]) -> Callable[[list[str]], list[Any]]: ...
