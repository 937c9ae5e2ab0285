"""Dump reader workloads on a generated dump (bench/parser_gen_dump.py).

(a) scanning for a table that has no lines in the file, against
    ``grep -c`` of the same prefix (the floor for a scan);
(b) loading a table that fills half the file, against the pure-Python
    reader in bench/parser_reference.py, on a smaller dump of the same make so
    that the Python side stays short; the native load of the full dump is
    reported on its own;
(c) peak memory of (b) in a fresh process, against the size of the rows as
    Python objects.

Wall times come from the harness; CPU times (ours, and grep's as a child
process) are printed beside them because the machine is shared.
"""

from __future__ import annotations

import json
import os
import pickle
import resource
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable

from harness import Table, median_seconds
from parser_gen_dump import ensure_dump

import parser_reference
from zemo_etl.parser import load_table_rows

TABLE = "library"  # half the generated file
ABSENT = "absent_table"


def _cpu(fn: Callable[[], object], repeat: int = 3, children: bool = False) -> float:
    """Least CPU time (user + system) of one call of fn."""
    who = resource.RUSAGE_CHILDREN if children else resource.RUSAGE_SELF
    best = float("inf")
    for _ in range(repeat):
        before = resource.getrusage(who)
        fn()
        after = resource.getrusage(who)
        best = min(best, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime))
    return best


def _grep(path: Path) -> None:
    subprocess.run(["grep", "-c", "-F", f"INSERT INTO `{ABSENT}`", str(path)], stdout=subprocess.DEVNULL, check=False)


def _scan(path: Path) -> None:
    mb = path.stat().st_size / 2**20
    table = Table(f"parser: scan {mb:.0f} MB for a table with no lines", per="file")
    table.header()
    ours = median_seconds(lambda: load_table_rows(str(path), ABSENT), repeat=5)
    grep = median_seconds(lambda: _grep(path), repeat=5)
    table.add("load_table_rows(absent table)", ours, "grep -c -F prefix", grep)
    ours_cpu = _cpu(lambda: load_table_rows(str(path), ABSENT))
    grep_cpu = _cpu(lambda: _grep(path), children=True)
    print(f"  cpu: ours {ours_cpu * 1e3:.1f} ms, grep {grep_cpu * 1e3:.1f} ms, ours/grep {ours_cpu / grep_cpu:.2f}x;"
          f" wall ours/grep {ours / grep:.2f}x (goal <= 1.5x)")


def _load(path: Path, compare: Path) -> None:
    mb = compare.stat().st_size / 2**20
    table = Table(f"parser: load `{TABLE}` (half of a {mb:.0f} MB dump)", per="load")
    table.header()
    ours_rows = load_table_rows(str(compare), TABLE)
    if ours_rows != parser_reference.load_table_rows(str(compare), TABLE):
        raise SystemExit("the native and the pure-Python reader disagree")
    ours = median_seconds(lambda: load_table_rows(str(compare), TABLE), repeat=3)
    ref = median_seconds(lambda: parser_reference.load_table_rows(str(compare), TABLE), repeat=1)
    table.add(f"load_table_rows ({len(ours_rows)} rows)", ours, "pure-Python reader", ref)
    ours_cpu = _cpu(lambda: load_table_rows(str(compare), TABLE))
    ref_cpu = _cpu(lambda: parser_reference.load_table_rows(str(compare), TABLE), repeat=1)
    print(f"  cpu: ours {ours_cpu:.3f} s, pure Python {ref_cpu:.3f} s, ratio {ref_cpu / ours_cpu:.1f}x (goal >= 20x)")
    blob = pickle.dumps(ours_rows)
    floor = _cpu(lambda: pickle.loads(blob))
    print(f"  for scale: unpickling the same rows (making the objects alone) takes {floor:.3f} s cpu")
    if path != compare:
        big_mb = path.stat().st_size / 2**20
        start = time.perf_counter()
        cpu = _cpu(lambda: load_table_rows(str(path), TABLE), repeat=1)
        wall = time.perf_counter() - start
        print(f"  full dump {big_mb:.0f} MB: load_table_rows wall {wall:.2f} s, cpu {cpu:.2f} s,"
              f" {big_mb / 2 / cpu:.0f} MB of table lines per cpu second")


# The child reads its own anonymous memory before the load; the parent polls
# the child's /proc status during the load for the peak.
_CHILD = r"""
import json, sys
from zemo_etl.parser import load_table_rows

def rss_anon():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0

base = rss_anon()
print(json.dumps({"base": base}), flush=True)
sys.stdin.readline()
rows = load_table_rows(sys.argv[1], sys.argv[2])
after = rss_anon()
# Size of the rows as Python objects: the list, its tuples and their values,
# each value counted where it appears (None and the cached small ints are
# shared and not counted; the loader also shares repeated short strings, so
# it may hold less than this).
size = sys.getsizeof(rows)
for row in rows:
    size += sys.getsizeof(row)
    for v in row:
        if v is None or (type(v) is int and -5 <= v <= 256):
            continue
        size += sys.getsizeof(v)
print(json.dumps({"after": after, "objects": size, "rows": len(rows)}), flush=True)
"""


def _status_bytes(pid: int, field: str) -> int:
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def _memory(path: Path) -> None:
    print(f"\n== parser: peak memory of loading `{TABLE}` ({path.stat().st_size / 2**20:.0f} MB dump) ==", flush=True)
    child = subprocess.Popen([sys.executable, "-c", _CHILD, str(path), TABLE], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=dict(os.environ))
    assert child.stdin is not None and child.stdout is not None
    base = json.loads(child.stdout.readline())["base"]
    child.stdin.write("\n")
    child.stdin.flush()
    peak = hwm = 0
    while child.poll() is None:
        peak = max(peak, _status_bytes(child.pid, "RssAnon"))
        hwm = max(hwm, _status_bytes(child.pid, "VmHWM"))
        time.sleep(0.002)
    out = child.stdout.read().strip().splitlines()
    result = json.loads(out[-1])
    objects = result["objects"]
    held = result["after"] - base
    print(f"  rows {result['rows']}; rows as Python objects {objects / 2**20:.0f} MiB;"
          f" anonymous memory held after the load {held / 2**20:.0f} MiB;"
          f" peak during the load {(peak - base) / 2**20:.0f} MiB = {(peak - base) / objects:.2f}x the objects"
          f" (peak RSS with mapped file pages {hwm / 2**20:.0f} MiB)")


def run(quick: bool) -> None:
    path = ensure_dump(20 if quick else 500)
    compare = ensure_dump(5 if quick else 50)
    _scan(path)
    _load(path, compare)
    _memory(path)


if __name__ == "__main__":
    run(quick="--quick" in sys.argv)
