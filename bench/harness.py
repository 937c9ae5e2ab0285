"""Side-by-side timing for the benchmark scripts.

Each ``bench/<workload>_bench.py`` defines ``run(quick: bool) -> None`` and
reports through ``Table``: our operation against a peer or baseline on the
same inputs, several repetitions, medians, and the ratio between them.
"""

from __future__ import annotations

import pathlib
import statistics
import sys
import time
from typing import Callable

# The plain reference implementations live beside the tests (tests/reference/).
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))


def median_seconds(fn: Callable[[], object], repeat: int = 5, number: int = 1) -> float:
    """Median wall time of one call of ``fn`` over ``repeat`` rounds of ``number`` calls."""
    fn()  # warm up caches and lazy initialisation
    rounds = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            fn()
        rounds.append((time.perf_counter() - start) / number)
    return statistics.median(rounds)


def _fmt(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6), ("ns", 1e-9)):
        if seconds >= scale:
            return f"{seconds / scale:8.2f} {unit}"
    return f"{seconds / 1e-9:8.2f} ns"


class Table:
    """Rows of (operation, our time, peer, peer time); prints the ratio peer/ours."""

    def __init__(self, title: str, per: str = "call") -> None:
        self.title = title
        self.per = per
        self.rows: list[tuple[str, float, str, float]] = []

    def add(self, name: str, ours: float, peer_name: str, peer: float) -> None:
        self.rows.append((name, ours, peer_name, peer))
        print(f"  {name:<40} {_fmt(ours)}/{self.per}   {peer_name:<40} {_fmt(peer)}/{self.per}"
              f"   peer/ours {peer / ours:7.2f}x", flush=True)

    def header(self) -> None:
        print(f"\n== {self.title} ==", flush=True)
