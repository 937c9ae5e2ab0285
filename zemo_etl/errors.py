"""The errors the package's modules raise for what their caller can mend.

A message says what is wrong. Where an argument of the call would change
the outcome, `option` is that argument's keyword and the message holds
`OPTION` where it names it: `str(error)` calls it by its keyword, and a
caller with its own names for its arguments (the command line's flags)
words the message with `error.worded(name)` (`Wording`).
"""

from __future__ import annotations

import dataclasses
import sys
from collections.abc import Callable
from typing import Optional, Union

__all__ = ["Error", "InputError", "OPTION", "describe", "Wording"]

OPTION = "\0option\0"  # in a message: where the option's name goes (no path or line holds a NUL)


class Error(Exception):
    """An error of the package whose one-line message may name an option."""

    def __init__(self, message: str, option: Optional[str] = None) -> None:
        self.template, self.option = message, option
        super().__init__(self.worded(option or ""))

    def worded(self, name: str) -> str:
        """The message, the option called `name`."""
        return self.template.replace(OPTION, name)


class InputError(Error, ValueError):
    """An input or an argument that cannot be used: a file missing, not
    decodable or malformed, a work folder in use, an option out of range."""


def describe(error: BaseException, name: Optional[Callable[[str], str]] = None) -> str:
    """One line for an error: the option of one of ours called by `name` (by its keyword without one)."""
    if name is not None and isinstance(error, Error) and error.option is not None:
        return error.worded(name(error.option))
    return str(error)


def _keyword(option: str) -> str:
    return option


@dataclasses.dataclass(frozen=True)
class Wording:
    """How a caller's messages call its options (`option`, from an option's
    keyword), and how its warnings begin (`warning_prefix`); warnings go to
    standard error."""

    option: Callable[[str], str] = _keyword
    warning_prefix: str = "warning: "

    def describe(self, error: BaseException) -> str:
        return describe(error, self.option)

    def warn(self, warning: Union[str, Error]) -> None:
        from zemo_etl.safety import inert  # safety raises InputError: imported once both exist
        print(self.warning_prefix + inert(self.describe(warning) if isinstance(warning, Error) else warning),
              file=sys.stderr)
