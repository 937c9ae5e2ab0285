"""Compressed inputs against decompressing in a pipe first.

A generated library dump and releases CSV, compressed with gzip, bzip2, xz
and zstd; each read by the command line (goal: within 1.2x of the piped
route):
- a CSV: ``zemo-etl normalize --column artist FILE.z`` against ``zcat
  FILE.z | zemo-etl normalize --column artist -``;
- a dump: ``zemo-etl rows FILE.z library`` against ``zcat FILE.z | zemo-etl
  rows - library``.
CPU time (user + system of every process, the decompressor's included) and
wall time, start-up included, medians of several rounds: the machine is
shared, so CPU time is the figure to trust, wall time a hint of the overlap.
"""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

from harness import Table

from zemo_etl import _demo_data

ZEMO = [sys.executable, "-m", "zemo_etl"]


def _zstd() -> Callable[[bytes], bytes]:
    try:
        from compression import zstd  # type: ignore[import-not-found]  # Python 3.14
        return zstd.compress  # type: ignore[no-any-return]
    except ImportError:
        import zstandard  # type: ignore[import-not-found]
        return zstandard.ZstdCompressor().compress  # type: ignore[no-any-return]


TOOLS = {"gzip": (gzip.compress, "zcat"), "bzip2": (bz2.compress, "bzcat"), "xz": (lzma.compress, "xzcat"),
         "zstd": (_zstd(), "zstdcat")}


def measure(command: str | list[str], repeat: int) -> tuple[float, float]:
    """Median CPU time of the children that one run of `command` (a shell line or argv) takes, and median wall."""
    cpu, wall = [], []
    for _ in range(repeat):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        subprocess.run(command, shell=isinstance(command, str), check=True, stdout=subprocess.DEVNULL,
                       env={**os.environ, "ZEMO_ETL_PROGRESS": "off"})
        wall.append(time.perf_counter() - start)
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return statistics.median(cpu), statistics.median(wall)


def run(quick: bool) -> None:
    rows, repeat = (50_000, 3) if quick else (600_000, 3)
    with tempfile.TemporaryDirectory() as folder:
        d = Path(folder)
        _demo_data.generate(str(d / "library.sql"), str(d / "releases.csv"), rows, rows)
        zemo = " ".join(ZEMO)
        cpu = Table(f"compressed inputs, {rows:,} rows each (CPU time, all processes)", per="run")
        wall = Table(f"compressed inputs, {rows:,} rows each (wall time)", per="run")
        cpu.header()
        results = []
        for name, (compress, cat) in TOOLS.items():
            if not shutil.which(cat):
                print(f"  ({cat} not installed: {name} left out)")
                continue
            for source in ("library.sql", "releases.csv"):
                (d / (source + ".z")).write_bytes(compress((d / source).read_bytes()))
            csv_z, dump_z = d / "releases.csv.z", d / "library.sql.z"
            pairs = [
                (f"normalize {name} CSV", [*ZEMO, "normalize", "--form", "match", "--column", "artist", str(csv_z)],
                 f"{cat} | normalize -", f"{cat} {csv_z} | {zemo} normalize --form match --column artist -"),
                (f"rows {name} dump", [*ZEMO, "rows", str(dump_z), "library"],
                 f"{cat} | rows -", f"{cat} {dump_z} | {zemo} rows - library"),
            ]
            for label, ours, peer_label, peer in pairs:
                (ours_cpu, ours_wall), (peer_cpu, peer_wall) = measure(ours, repeat), measure(peer, repeat)
                cpu.add(label, ours_cpu, peer_label, peer_cpu)
                results.append((label, ours_wall, peer_label, peer_wall))
        wall.header()
        for result in results:
            wall.add(*result)


if __name__ == "__main__":
    run("--quick" in sys.argv)
