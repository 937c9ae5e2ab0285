"""The main job end to end: `zemo-etl demo --scale N` at 100,000, 300,000 and
1,000,000 library rows and releases (10,000 with --quick), with the review
page and with --no-review-page. Per run: the data's generation and each
step, wall and CPU time (CPU counts every thread: above the wall time where
both cores work), the job's wall time (the steps, without generating the
data), the CPU time of the whole command and its peak RSS, from the child's
own rusage.

Each run is a command of its own in a fresh work folder. `--scales
100000,300000` picks sizes; the 1,000,000 runs take many minutes and GBs of
disk in the temporary folder. Goal at 1,000,000 with the page: at most 3
minutes and 1.5 GB. `--stand-in=N` classifies against an index of the
library's first N rows only, so that the other steps run at full size in
minutes (the decisions, and so what the page lists, are not the real ones).
"""

from __future__ import annotations

import math
import os
import re
import subprocess
import sys
import tempfile
import time
from typing import Any

STEPS = ["generate data", "load_library", "dedupe_releases", "classify", "resolve_artists", "write_report"]


# The demo with the classify step's index built over the first rows of the library only.
_STAND_IN = """import sys
from zemo_etl.cli import console_main
from zemo_etl.job import pipeline
built, rows = pipeline.library_index, int(sys.argv.pop(1))
pipeline.library_index = lambda library, *args, **kwargs: built(library[:rows], *args, **kwargs)
sys.argv[0] = "zemo-etl"
console_main()
"""


def _run(scale: int, page: bool, folder: str, stand_in: int | None = None) -> dict[str, Any]:
    """One demo run: each step's (wall, CPU), the whole command's wall, CPU and peak RSS."""
    arguments = ["demo", "--scale", str(scale), "--workdir", "job", "--fresh"]
    command = ([sys.executable, "-m", "zemo_etl"] if stand_in is None
               else [sys.executable, "-c", _STAND_IN, str(stand_in)]) + arguments
    if not page:
        command.append("--no-review-page")
    # Run in the temporary folder: a source checkout in the current folder would shadow the built package.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(os.path.abspath(p) for p in sys.path if p))
    started = time.monotonic()
    with open(os.path.join(folder, "stderr"), "w+") as errors:
        child = subprocess.Popen(command, env=env, cwd=folder, stdout=subprocess.PIPE, stderr=errors, text=True)
        out = child.stdout.read() if child.stdout else ""
        _, status, usage = os.wait4(child.pid, 0)
        errors.seek(0)
        err = errors.read()
    child.returncode = os.waitstatus_to_exitcode(status)
    wall = time.monotonic() - started
    if child.returncode != 0:
        raise RuntimeError(f"demo --scale {scale} exited {child.returncode}:\n{err[-2000:]}")
    timings = {name: (float(wall), float(cpu)) for name, wall, cpu
               in re.findall(r"^ {4}(\S[\w ]*?)\s+([\d.]+) s\s+([\d.]+) s CPU$", out, re.M)}
    result: dict[str, Any] = {step: timings.get(step, (math.nan, math.nan)) for step in STEPS}
    result["job"] = sum(result[step][0] for step in STEPS[1:])
    result["command"] = wall
    result["cpu"] = usage.ru_utime + usage.ru_stime
    result["rss_mb"] = usage.ru_maxrss / 1024  # KiB on Linux
    return result


def run(quick: bool, scales: list[int] | None = None, stand_in: int | None = None) -> None:
    scales = scales or ([10_000] if quick else [100_000, 300_000, 1_000_000])
    print(f"main job: zemo-etl demo --scale N, each step's wall/CPU time (s), peak RSS of the command "
          f"(threads: {os.environ.get('ZEMO_ETL_NUM_THREADS', 'all CPUs')})"
          + (f"; classified against the first {stand_in:,} library rows only" if stand_in is not None else ""))
    print(f"  {'N':>9} {'page':>4} " + " ".join(f"{s[:11]:>11}" for s in STEPS)
          + f" {'job':>8} {'command':>8} {'CPU':>8} {'RSS MB':>8}")
    for scale in scales:
        for page in (True, False):
            with tempfile.TemporaryDirectory(prefix="zemo-main-job-") as folder:
                r = _run(scale, page, folder, stand_in)
            print(f"  {scale:>9,} {'yes' if page else 'no':>4} "
                  + " ".join(f"{r[s][0]:>5.1f}/{r[s][1]:<5.1f}" for s in STEPS)
                  + f" {r['job']:>8.1f} {r['command']:>8.1f} {r['cpu']:>8.1f} {r['rss_mb']:>8.0f}", flush=True)
    print(f"  load average (includes other users of the machine): {os.getloadavg()}", flush=True)


if __name__ == "__main__":
    wanted = next((a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--scales=")), None)
    stand_in = next((int(a.split("=", 1)[1]) for a in sys.argv[1:] if a.startswith("--stand-in=")), None)
    run(quick="--quick" in sys.argv, scales=[int(s) for s in wanted.split(",")] if wanted else None,
        stand_in=stand_in)
