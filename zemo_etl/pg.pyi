"""Text safe for PostgreSQL TEXT columns."""

from typing import List, Optional, Sequence

__all__ = ["to_pg_text_form", "batch_to_pg_text_form"]

def to_pg_text_form(s: Optional[str]) -> Optional[str]:
    """Make `s` acceptable for storage in a PostgreSQL TEXT column."""

def batch_to_pg_text_form(items: Sequence[Optional[str]]) -> List[Optional[str]]:
    """Apply [`to_pg_text_form`] to each input in one cross-FFI call."""
