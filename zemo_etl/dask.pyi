"""The batch functions over Dask DataFrames."""

from collections.abc import Callable, Sequence
from typing import Any, Union

import dask.dataframe as dd

from zemo_etl.index import Catalogue, LibraryIndex

__all__ = ["classify_releases", "resolve_names", "to_form"]

def classify_releases(
    releases_df: dd.DataFrame,
    library_pairs: Union[Sequence[tuple[str, str]], LibraryIndex],
    artist: str = "artist",
    title: str = "title",
    client: Any = None,
) -> dd.Series:
    """keep/prune/review for each row of a Dask DataFrame, as a Dask Series named "decision"."""

def resolve_names(
    names: dd.Series,
    catalogue: Union[Sequence[str], Catalogue, None] = None,
    threshold: float = 0.85,
    limit: int = 2,
    ambiguity_threshold: float = 0.02,
    client: Any = None,
    *,
    catalog: Union[Sequence[str], Catalogue, None] = None,
) -> dd.Series:
    """fuzzy.batch_fuzzy_resolve over a Dask Series: the catalogue entry or null for each name, as a Dask
    Series named "match".
    """

def to_form(series: dd.Series, form: Union[str, Callable[[list[str]], list[Any]]]) -> dd.Series:
    """A text form of every value of a Dask Series: a name from columns.FORMS or a batch function."""
