"""Progress of a long step on standard error, when that is a terminal."""

from __future__ import annotations

import importlib
import os
import sys
import time
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any, Optional, TypeVar

T = TypeVar("T")

class Progress:
    """Progress of a long step on standard error, only when it is a terminal.

    A tqdm bar when tqdm is installed (``pip install zemo-etl[progress]``),
    otherwise a plain line every few seconds. ZEMO_ETL_PROGRESS=off|plain|bar
    overrides the choice (``bar`` still needs tqdm).
    """

    PLAIN_INTERVAL = 2.0

    def __init__(self, desc: str, total: Optional[int] = None, unit: str = "rows",
                 stream: Optional[IO[str]] = None) -> None:
        self.desc, self.total, self.unit = desc, total, unit
        self.stream = stream if stream is not None else sys.stderr
        self.done = 0
        self._bar: Any = None
        self._printed = False
        self._mode = self._choose_mode()
        self._start = self._last = time.monotonic()
        if self._mode == "bar":
            tqdm = importlib.import_module("tqdm").tqdm  # an optional dependency, untyped
            # A terminal that reports no size (a bare pseudo-terminal) counts as
            # 80 by 24; tqdm would otherwise hide the bar as beyond the screen.
            sized = self._columns() > 0
            self._bar = tqdm(total=total, desc=desc, unit=" " + unit, unit_scale=True, file=self.stream,
                             leave=False, dynamic_ncols=sized, ncols=None if sized else 80,
                             nrows=None if sized else 24)

    def _choose_mode(self) -> str:
        wanted = os.environ.get("ZEMO_ETL_PROGRESS", "").lower()
        if wanted == "off":
            return "off"
        if not (wanted in ("plain", "bar") or self._isatty()):
            return "off"
        if wanted == "plain":
            return "plain"
        try:
            importlib.import_module("tqdm")
        except ImportError:
            return "plain"
        return "bar"

    def _columns(self) -> int:
        try:
            return os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, ValueError, OSError):
            return 0

    def _isatty(self) -> bool:
        try:
            return self.stream.isatty()
        except (AttributeError, ValueError):
            return False

    @property
    def active(self) -> bool:
        return self._mode != "off"

    def update(self, n: int) -> None:
        self.done += n
        if self._mode == "bar":
            self._bar.update(n)
            if self.total and self.done >= self.total:
                self._bar.refresh()  # show the end even when it came within tqdm's interval
        elif self._mode == "plain":
            # The first chunk at once, then a line every few seconds.
            now = time.monotonic()
            if not self._printed or now - self._last >= self.PLAIN_INTERVAL:
                self._last, self._printed = now, True
                self._plain_line()

    def _plain_line(self, final: bool = False) -> None:
        elapsed = time.monotonic() - self._start
        of = f"/{self.total:,}" if self.total else ""
        pct = f" ({100 * self.done / self.total:.0f}%)" if self.total else ""
        state = "done" if final else "..."
        print(f"{self.desc}: {self.done:,}{of} {self.unit}{pct}, {elapsed:.1f} s {state}",
              file=self.stream, flush=True)

    def close(self) -> None:
        if self._mode == "bar":
            self._bar.close()
        elif self._mode == "plain" and self._printed:
            self._plain_line(final=True)
        self._mode = "off"

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def wrap(self, items: Iterable[Sequence[T]]) -> Iterator[Sequence[T]]:
        """Pass chunks through, counting their lengths."""
        for chunk in items:
            yield chunk
            self.update(len(chunk))


# Chunk sizes: small enough that the bar moves and memory stays bounded,
