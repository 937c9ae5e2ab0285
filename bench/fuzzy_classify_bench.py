"""batch_classify_releases against the same algorithm in plain Python with
rapidfuzz for the measures; scaling from one worker thread to two; peak
memory of the library index.

The plain classifier is slow, so it runs on a sample of the releases and
the comparison is per release. The thread counts and the memory figure come
from subprocesses, since the pool size is fixed when the pool is created.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import textwrap
import time

from harness import Table, median_seconds

import fuzzy_names
from zemo_etl import fuzzy, text

HERE = pathlib.Path(__file__).resolve().parent


def _data(n_library: int, n_releases: int):
    vocab = fuzzy_names.Vocabulary(size=60_000)
    library = fuzzy_names.library_pairs(vocab, n_library)
    artists, titles = fuzzy_names.releases(vocab, library, n_releases)
    return library, artists, titles


def _subprocess(code: str, env: dict[str, str]) -> str:
    full_env = dict(os.environ, **env)
    full_env["PYTHONPATH"] = os.pathsep.join([str(HERE), *sys.path])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env, capture_output=True,
                          text=True, check=True).stdout.strip()


_TIMED = """
    import resource, time
    from fuzzy_classify_bench import _data
    from zemo_etl import fuzzy
    library, artists, titles = _data({n_library}, {n_releases})
    fuzzy.batch_classify_releases(artists[:10], titles[:10], library)  # starts the pool
    best = None
    for _ in range(2):
        cpu = resource.getrusage(resource.RUSAGE_SELF).ru_utime
        start = time.perf_counter()
        fuzzy.batch_classify_releases(artists, titles, library)
        wall = time.perf_counter() - start
        if best is None or wall < best[0]:
            best = (wall, resource.getrusage(resource.RUSAGE_SELF).ru_utime - cpu)
    print(best[0], best[1])
"""

_MEMORY = """
    import resource
    from fuzzy_classify_bench import _data
    from zemo_etl import fuzzy
    library, _, _ = _data({n_library}, 0)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    fuzzy.batch_classify_releases([], [], library)
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024)
"""


def run(quick: bool) -> None:
    try:
        from reference import fuzzy as fuzzy_reference
    except ImportError:
        print("fuzzy_classify: rapidfuzz is needed for the plain classifier (pip install rapidfuzz)")
        return
    n_library, n_releases, n_sample = (10_000, 1_000, 50) if quick else (100_000, 10_000, 300)
    library, artists, titles = _data(n_library, n_releases)

    index_only = median_seconds(lambda: fuzzy.batch_classify_releases([], [], library), repeat=3)
    whole = median_seconds(lambda: fuzzy.batch_classify_releases(artists, titles, library), repeat=1 if not quick else 3)
    ours = fuzzy.batch_classify_releases(artists, titles, library)
    counts = {k: ours.count(k) for k in ("keep", "prune", "review")}

    start = time.perf_counter()
    plain_library = fuzzy_reference.Library(library, text.to_match_form)
    plain_index = time.perf_counter() - start
    sample = slice(0, n_sample)
    start = time.perf_counter()
    plain = fuzzy_reference.classify_releases(artists[sample], titles[sample], plain_library, text.to_match_form)
    plain_per_release = (time.perf_counter() - start) / n_sample
    agree = sum(a == b for a, b in zip(plain, ours[sample]))

    threads = os.environ.get("ZEMO_ETL_NUM_THREADS", "all CPUs")
    table = Table(f"batch_classify_releases, {n_releases} releases x {n_library} library pairs "
                  f"(threads: {threads}; {counts}; plain agrees on {agree}/{n_sample})", per="release")
    table.header()
    table.add("native, per release (index excluded)", (whole - index_only) / n_releases,
              "plain Python + rapidfuzz, per release", plain_per_release)
    build = Table("library index build", per="build")
    build.header()
    build.add(f"native, {n_library} pairs", index_only, "plain Python", plain_index)

    scaling = Table("batch_classify_releases, worker threads (subprocesses)", per="batch")
    scaling.header()
    timed = {}
    for n in (2, 1):
        wall, cpu = map(float, _subprocess(_TIMED.format(n_library=n_library, n_releases=n_releases),
                                           {"ZEMO_ETL_NUM_THREADS": str(n)}).split())
        timed[n] = wall
        # CPU time over wall time: how many cores the batch actually got.
        print(f"  {n} thread(s): {wall:.2f} s wall, {cpu:.2f} s CPU, {cpu / wall:.2f} cores busy", flush=True)
    scaling.add("ZEMO_ETL_NUM_THREADS=2", timed[2], "ZEMO_ETL_NUM_THREADS=1", timed[1])
    print(f"  load average during the run (includes other users of the machine): {os.getloadavg()}", flush=True)

    n_memory = 100_000 if quick else 1_000_000
    grown = float(_subprocess(_MEMORY.format(n_library=n_memory), {}))
    print(f"  peak RSS growth while building the index of {n_memory} pairs: {grown:.0f} MiB", flush=True)
