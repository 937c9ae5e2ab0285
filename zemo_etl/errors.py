"""The error the package's file and job modules raise for what their caller can mend."""

from __future__ import annotations

__all__ = ["InputError"]


class InputError(ValueError):
    """An input or an argument that cannot be used: a file missing, not
    decodable or malformed, a work folder in use, an option out of range.
    The message says what is wrong, in one line."""
