from collections.abc import Sequence
from typing import AbstractSet

__all__ = [
    "jaro_winkler_similarity",
    "token_set_ratio",
    "token_sort_ratio",
    "batch_fuzzy_resolve",
    "batch_filter_artists",
    "batch_classify_releases",
]

def jaro_winkler_similarity(a: str, b: str) -> float:
    """Compute Jaro-Winkler similarity between two strings.

    Returns a value between 0.0 (no similarity) and 1.0 (identical).
    """

def token_set_ratio(a: str, b: str) -> float:
    """Token set ratio: compares intersection/remainder token sets.

    Returns a value between 0.0 and 1.0.
    """

def token_sort_ratio(a: str, b: str) -> float:
    """Token sort ratio: sort tokens alphabetically, then compare.

    Returns a value between 0.0 and 1.0.
    """

def batch_fuzzy_resolve(
    names: Sequence[str],
    catalog: Sequence[str],
    threshold: float,
    limit: int = 2,
    ambiguity_threshold: float = 0.02,
) -> list[str | None]:
    """Resolve each name to the best Jaro-Winkler match in `catalog`."""

def batch_filter_artists(artist_names: Sequence[str], library_set: AbstractSet[str]) -> list[bool]:
    """Filter artist names against a library set."""

def batch_classify_releases(
    artists: Sequence[str],
    titles: Sequence[str],
    library_pairs: Sequence[tuple[str, str]],
) -> list[str]:
    """Classify releases as "keep", "prune", or "review" against a library index."""
