"""The demo's data at a million rows (30,000 with --quick): `generate`, as
`zemo-etl demo` runs it, then each of its parts alone, in wall and CPU time
(the forked copy that writes the dump counted once it is waited for)."""

from __future__ import annotations

import os
import tempfile
import time
from typing import Callable, TypeVar

from zemo_etl import _demo_data
from zemo_etl.job.pipeline import collection_paused

_T = TypeVar("_T")


def _cpu() -> float:
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def _timed(label: str, fn: Callable[[], _T]) -> _T:
    wall, cpu = time.perf_counter(), _cpu()
    result = fn()
    print(f"  {label:<24} {time.perf_counter() - wall:8.2f} s {_cpu() - cpu:8.2f} s CPU")
    return result


def run(quick: bool = False) -> None:
    n = 30_000 if quick else 1_000_000
    print(f"\n== demo data, {n:,} library rows and {n:,} releases ==")
    with tempfile.TemporaryDirectory() as d, collection_paused():
        dump, releases = os.path.join(d, "library.sql"), os.path.join(d, "releases.csv")
        # Forked as in `zemo-etl demo` only while no other bench has started a thread.
        way = "beside" if _demo_data._single_threaded() else "first"
        _timed(f"generate (dump {way})", lambda: _demo_data.generate(dump, releases, n, n))
        library = _timed("library_rows", lambda: _demo_data.library_rows(n))
        drawn = _timed("release_rows", lambda: _demo_data.release_rows(library, n))
        notes = _demo_data.notes_rows(library)
        with open(dump, "w", encoding="utf-8", newline="") as f:
            _timed("write_dump", lambda: _demo_data.write_dump(f, library, notes=notes))
        with open(releases, "w", encoding="utf-8", newline="") as f:
            _timed("write_releases_csv", lambda: _demo_data.write_releases_csv(f, drawn))


if __name__ == "__main__":
    run()
