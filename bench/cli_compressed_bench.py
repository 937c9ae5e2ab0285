"""Compressed inputs against decompressing first.

A generated library dump and releases CSV, compressed with gzip, bzip2 and
xz (zstd too where the module is installed); each read by the command line
(goal: within 1.2x of the plain route):
- a CSV: ``zemo-etl normalize --column artist FILE.gz`` against ``zcat
  FILE.gz | zemo-etl normalize --column artist -``;
- a dump (read from a file only): ``zemo-etl rows FILE.gz library`` against
  the decompressor to /dev/null plus ``zemo-etl rows FILE library``.
CPU time (user + system) of the child processes, start-up included: the
machine is shared, so CPU rather than wall time, medians of several rounds.
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
from pathlib import Path

from harness import Table

from zemo_etl import _demo_data

ZEMO = [sys.executable, "-m", "zemo_etl"]
TOOLS = {"gzip": (gzip.compress, ["zcat"]), "bzip2": (bz2.compress, ["bzcat"]), "xz": (lzma.compress, ["xzcat"])}
if shutil.which("zstdcat"):
    try:
        import zstandard  # type: ignore[import-not-found]
        TOOLS["zstd"] = (zstandard.ZstdCompressor().compress, ["zstdcat"])
    except ImportError:
        pass


def cpu_seconds(command: str | list[str], repeat: int) -> float:
    """Median CPU time of the children that one run of `command` (a shell line or argv) takes."""
    rounds = []
    for _ in range(repeat):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        subprocess.run(command, shell=isinstance(command, str), check=True, stdout=subprocess.DEVNULL,
                       env={**os.environ, "ZEMO_ETL_PROGRESS": "off"})
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        rounds.append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
    return statistics.median(rounds)


def run(quick: bool) -> None:
    rows, repeat = (50_000, 3) if quick else (600_000, 5)
    with tempfile.TemporaryDirectory() as folder:
        d = Path(folder)
        _demo_data.generate(str(d / "library.sql"), str(d / "releases.csv"), rows, rows)
        zemo = " ".join(ZEMO)
        table = Table(f"compressed inputs, {rows:,} rows each (CPU time)", per="file")
        table.header()
        plain_rows = cpu_seconds([*ZEMO, "rows", str(d / "library.sql"), "library"], repeat)
        for name, (compress, cat) in TOOLS.items():
            for source in ("library.sql", "releases.csv"):
                (d / (source + ".z")).write_bytes(compress((d / source).read_bytes()))
            csv_z, dump_z = d / "releases.csv.z", d / "library.sql.z"
            ours = cpu_seconds([*ZEMO, "normalize", "--form", "match", "--column", "artist", str(csv_z)], repeat)
            piped = cpu_seconds(f"{cat[0]} {csv_z} | {zemo} normalize --form match --column artist -", repeat)
            table.add(f"normalize {name} CSV", ours, f"{cat[0]} | normalize -", piped)
            ours = cpu_seconds([*ZEMO, "rows", str(dump_z), "library"], repeat)
            first = cpu_seconds([*cat, str(dump_z)], repeat) + plain_rows
            table.add(f"rows {name} dump", ours, f"{cat[0]} > file, then rows", first)


if __name__ == "__main__":
    run("--quick" in sys.argv)
