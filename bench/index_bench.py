"""Prepared library indexes against building the index in every call.

At 100,000 and 1,000,000 library pairs: build, save, load (warm page cache)
and classification per release through the index, with the memory of the
built and of the loaded index. Then 100,000 releases against a 100,000-pair
library: in 10 chunks through one prepared index, in one
batch_classify_releases call, and in 10 batch calls (each rebuilding the
index). Goal: the chunks through one index within 1.05x of the single call.

Sizes and times come from subprocesses (fresh memory figures, one pool).
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import tempfile
import textwrap

HERE = pathlib.Path(__file__).resolve().parent

# Both child scripts start from the same generated library and releases.
_PRELUDE = """
    import os, resource, sys, time
    sys.path.insert(0, {here!r})
    import fuzzy_names
    from zemo_etl import fuzzy
    from zemo_etl.index import LibraryIndex

    def cpu():
        u = resource.getrusage(resource.RUSAGE_SELF)
        return u.ru_utime + u.ru_stime

    vocab = fuzzy_names.Vocabulary(size=60_000)
    library = fuzzy_names.library_pairs(vocab, {n})
    artists, titles = fuzzy_names.releases(vocab, library, {releases})
"""

_SIZES = _PRELUDE + """
    rss0 = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    t = time.perf_counter(); index = LibraryIndex(library); build = time.perf_counter() - t
    built_rss = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - rss0) / 1024
    t = time.perf_counter(); index.save({path!r}); save = time.perf_counter() - t
    LibraryIndex.load({path!r})  # warm the page cache
    loads = []
    for _ in range(5):
        t = time.perf_counter(); loaded = LibraryIndex.load({path!r}); loads.append(time.perf_counter() - t)
    c = cpu(); loaded.classify(artists, titles); per_release = (cpu() - c) / len(artists)
    print(build, save, min(loads), per_release, built_rss, index.memory_bytes / 2**20,
          os.path.getsize({path!r}) / 2**20)
"""

_CHUNKS = _PRELUDE + """
    step = len(artists) // 10
    chunks = [(artists[i:i + step], titles[i:i + step]) for i in range(0, len(artists), step)]
    c = cpu(); one = fuzzy.batch_classify_releases(artists, titles, library); single = cpu() - c
    c = cpu(); index = LibraryIndex(library); got = sum((index.classify(a, t) for a, t in chunks), []); prepared = cpu() - c
    c = cpu(); ten = sum((fuzzy.batch_classify_releases(a, t, library) for a, t in chunks), []); rebuilt = cpu() - c
    assert got == one == ten
    print(single, prepared, rebuilt)
"""


def _run(code: str) -> list[float]:
    env = dict(os.environ, ZEMO_ETL_NUM_THREADS="1")
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                         check=True).stdout
    return [float(x) for x in out.split()]


def run(quick: bool) -> None:
    sizes = (10_000, 100_000) if quick else (100_000, 1_000_000)
    releases = 500 if quick else 2_000
    print("\n== prepared library index (one worker thread; CPU time per release) ==", flush=True)
    print(f"  {'pairs':>9} {'build':>8} {'save':>8} {'load':>9} {'classify/release':>17} "
          f"{'built RSS':>10} {'index':>9} {'file':>9}", flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        for n in sizes:
            path = os.path.join(tmp, f"library-{n}.zix")
            build, save, load, per, rss, index_mib, file_mib = _run(
                _SIZES.format(here=str(HERE), n=n, releases=releases, path=path))
            print(f"  {n:>9,} {build:>7.2f}s {save:>7.2f}s {load * 1e3:>7.1f}ms {per * 1e6:>14.1f} us "
                  f"{rss:>7.0f} MiB {index_mib:>5.0f} MiB {file_mib:>5.0f} MiB", flush=True)
            os.remove(path)
    n, count = (10_000, 10_000) if quick else (100_000, 100_000)
    single, prepared, rebuilt = _run(_CHUNKS.format(here=str(HERE), n=n, releases=count))
    print(f"\n== {count:,} releases against {n:,} pairs, CPU seconds ==", flush=True)
    print(f"  one batch_classify_releases call      {single:8.2f} s", flush=True)
    print(f"  10 chunks through one LibraryIndex    {prepared:8.2f} s   {prepared / single:5.2f}x the single call "
          f"(goal <= 1.05x)", flush=True)
    print(f"  10 batch_classify_releases calls      {rebuilt:8.2f} s   {rebuilt / single:5.2f}x", flush=True)
