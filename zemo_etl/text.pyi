"""Text forms: storage, match, ASCII and identity forms, compilation test, artist splitting."""

from typing import AbstractSet, List, Optional, Sequence

__all__ = [
    "is_compilation_artist",
    "split_artist_name",
    "split_artist_name_contextual",
    "to_storage_form",
    "to_match_form",
    "to_ascii_form",
    "to_identity_match_form",
    "to_identity_match_form_title",
    "strip_leading_article",
    "to_identity_match_form_with_punctuation",
    "to_identity_match_form_with_disambiguator_strip",
    "batch_to_storage_form",
    "batch_to_match_form",
    "batch_to_ascii_form",
]

def is_compilation_artist(name: str) -> bool:
    """Check if an artist name indicates a compilation/soundtrack album."""

def split_artist_name(name: str) -> Optional[List[str]]:
    """Split a combined artist name into individual components (context-free)."""

def split_artist_name_contextual(name: str, known_artists: AbstractSet[str]) -> Optional[List[str]]:
    """Context-aware artist name splitting."""

def to_storage_form(s: Optional[str]) -> str:
    """ZM-2 storage form: mojibake fix + NFC + trim."""

def to_match_form(s: Optional[str]) -> str:
    """ZM-2 match form: NFKC + lowercase + selective combining-strip + folds + Cf-strip."""

def to_ascii_form(s: Optional[str]) -> str:
    """ZM-2 ASCII form: match form + emoji-strip + Ё override + deunicode + ASCII-only."""

def to_identity_match_form(s: Optional[str]) -> str:
    """Cross-cache-identity match form: `to_match_form` + trailing-paren strip + leading-article drop."""

def to_identity_match_form_title(s: Optional[str]) -> str:
    """Title counterpart to `to_identity_match_form`."""

def strip_leading_article(s: Optional[str]) -> str:
    """Strip a leading article (`the`, `a`, `an`) from a lowercased + trimmed string."""

def to_identity_match_form_with_punctuation(s: Optional[str]) -> str:
    """`to_identity_match_form` with runs of punctuation/symbols collapsed to one space."""

def to_identity_match_form_with_disambiguator_strip(s: Optional[str]) -> str:
    """`to_identity_match_form` with a trailing `/N` disambiguator stripped."""

def batch_to_storage_form(inputs: Sequence[str]) -> List[str]:
    """Apply [`to_storage_form`] to each input in one cross-FFI call."""

def batch_to_match_form(inputs: Sequence[str]) -> List[str]:
    """Apply [`to_match_form`] to each input in one cross-FFI call."""

def batch_to_ascii_form(inputs: Sequence[str]) -> List[str]:
    """Apply [`to_ascii_form`] to each input in one cross-FFI call."""
