"""Columns from data frames in and out of the batch functions."""

from collections.abc import Callable, Sequence
from typing import Any, Optional

__all__ = ["to_list", "from_list", "apply", "kind_of", "FORMS"]

FORMS: dict[str, Callable[[list[str]], list[Any]]]

def kind_of(column: Any) -> str:
    """ "pandas", "numpy", "arrow", "polars" or "list" (any other sequence)."""

def to_list(column: Any) -> list[Optional[str]]:
    """The column's values as a list of str, with None for each null."""

def from_list(values: Sequence[Any], like: Any) -> Any:
    """A column of the same kind as `like` holding `values`."""

def apply(func: Callable[..., list[Any]], *cols: Any, **kwargs: Any) -> Any:
    """func over one or more columns of equal length, as a column like the first."""

def _named(column: Any, name: str) -> Any: ...
