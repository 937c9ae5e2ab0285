"""What one Dask partition of zemo_etl.dask.classify_releases costs: the
library index rebuilt by each batch_classify_releases call against the
classification of the partition's releases, for a 100,000-pair library and
several partition sizes, on one worker thread (ZEMO_ETL_NUM_THREADS=1, as a
Dask worker with threads_per_worker=1 and one process per core runs it).

The pool size is fixed when the pool starts, so the timing runs in a
subprocess."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import textwrap

HERE = pathlib.Path(__file__).resolve().parent

_CODE = """
    import time
    from zemo_etl import _demo_data, fuzzy
    n_library, sizes = {n_library}, {sizes}
    library = _demo_data.library_rows(n_library, seed=11)
    pairs = [(str(r[2]), str(r[1])) for r in library]
    releases = _demo_data.release_rows(library, max(sizes), seed=12)
    artists, titles = [a for a, _ in releases], [t for _, t in releases]

    def best(fn, repeat=3):
        times = []
        for _ in range(repeat):
            start = time.perf_counter()
            fn()
            times.append(time.perf_counter() - start)
        return min(times)

    build = best(lambda: fuzzy.batch_classify_releases([], [], pairs))
    print(f"  index build for {{n_library:,}} pairs: {{build:.3f}} s")
    for p in sizes:
        total = best(lambda: fuzzy.batch_classify_releases(artists[:p], titles[:p], pairs), repeat=2)
        print(f"  partition of {{p:>7,}} releases: {{total:7.3f}} s, index rebuild {{100 * build / total:5.1f}}% "
              f"({{(total - build) / p * 1e6:.0f}} us per release)", flush=True)
"""


def run(quick: bool = False) -> None:
    n_library = 20_000 if quick else 100_000
    sizes = [1_000, 5_000] if quick else [1_000, 5_000, 20_000, 50_000, 100_000]
    print(f"\n== a Dask partition of classify_releases, {n_library:,}-pair library, one thread ==", flush=True)
    env = dict(os.environ, ZEMO_ETL_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(_CODE.format(n_library=n_library, sizes=sizes))],
                         env=env, capture_output=True, text=True, check=True, cwd=str(HERE)).stdout
    print(out, end="")
