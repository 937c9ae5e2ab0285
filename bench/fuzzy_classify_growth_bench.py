"""How LibraryIndex.classify's cost grows with the library: CPU per release
on one worker at 30,000, 300,000 and 1,000,000 library pairs (3,000 and
30,000 with --quick), on two mixes of names.

- scale: the name generator of the other fuzzy benchmarks (`fuzzy_names`).
- demo: the demo job's data (`zemo-etl demo --scale N`): N library rows, and
  N releases less the rows that repeat one in match form, as the job
  classifies them. The releases timed are all those of a sample of the
  release artists, since the job's pass searches the library's artists once
  for releases of one artist that follow each other: a sample of releases
  would leave those of one artist alone and overstate large libraries.

Goals: at most 3x growth from 30,000 to 300,000 and again to 1,000,000, and
at most 300 us per release at 1,000,000, on both mixes. Each size runs in a
subprocess of its own; the lesser of two timed passes counts.
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import textwrap

HERE = pathlib.Path(__file__).resolve().parent

_TIMED = """
    import resource, zlib
    import fuzzy_names
    from zemo_etl import _demo_data, text
    from zemo_etl.index import LibraryIndex

    def cpu():
        u = resource.getrusage(resource.RUSAGE_SELF)
        return u.ru_utime + u.ru_stime

    mix, n, wanted = {mix!r}, {n}, {releases}
    if mix == "scale":
        vocab = fuzzy_names.Vocabulary(size=60_000)
        library = fuzzy_names.library_pairs(vocab, n)
        artists, titles = fuzzy_names.releases(vocab, library, wanted)
    else:
        rows = _demo_data.library_rows(n)
        library = [(str(r[2]), str(r[1])) for r in rows]
        releases = _demo_data.release_rows(rows, n)
        first = {{}}  # the job keeps the first release of each match-form key
        for a, t in releases:
            first.setdefault((text.to_match_form(a), text.to_match_form(t)), (a, t))
        every = max(1, len(first) // wanted)
        sample = [(a, t) for (key, _), (a, t) in first.items() if zlib.crc32(key.encode()) % every == 0]
        artists, titles = [a for a, _ in sample], [t for _, t in sample]
    index = LibraryIndex(library)
    index.classify(artists[:10], titles[:10])  # starts the pool
    best = None
    for _ in range(2):
        c = cpu()
        decisions = index.classify(artists, titles)
        spent = (cpu() - c) / len(artists)
        best = spent if best is None else min(best, spent)
    counts = " ".join(f"{{k}}={{decisions.count(k)}}" for k in ("keep", "review", "prune"))
    print(best, len(artists), counts)
"""


def _child(mix: str, n: int, releases: int) -> tuple[float, int, str]:
    env = dict(os.environ, ZEMO_ETL_NUM_THREADS="1")
    env["PYTHONPATH"] = os.pathsep.join([str(HERE), *(os.path.abspath(p) for p in sys.path if p)])
    code = textwrap.dedent(_TIMED.format(mix=mix, n=n, releases=releases))
    done = subprocess.run([sys.executable, "-c", code], env=env, cwd=HERE, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    per, count, decisions = done.stdout.split(" ", 2)
    return float(per), int(count), decisions.strip()


def run(quick: bool) -> None:
    sizes = (3_000, 30_000) if quick else (30_000, 300_000, 1_000_000)
    releases = 1_000 if quick else 6_000
    print("\n== LibraryIndex.classify: CPU per release on one worker as the library grows ==", flush=True)
    for mix in ("scale", "demo"):
        per: dict[int, float] = {}
        for n in sizes:
            per[n], count, decisions = _child(mix, n, releases)
            growth = f"{per[n] / per[sizes[sizes.index(n) - 1]]:5.2f}x" if n != sizes[0] else "     "
            print(f"  {mix:>5} mix {n:>9,} pairs: {per[n] * 1e6:8.1f} us/release  {growth}  "
                  f"({count:,} releases: {decisions})", flush=True)
        if quick:
            print("  (quick sizes: the goals are stated for the full ones)", flush=True)
            continue
        ok = all(per[b] / per[a] <= 3 for a, b in zip(sizes, sizes[1:])) and per[sizes[-1]] <= 300e-6
        print(f"  {mix} mix: at most 3x per step and 300 us at {sizes[-1]:,}: {'met' if ok else 'NOT met'}",
              flush=True)
    print(f"  load average (other users of the machine included): {os.getloadavg()}", flush=True)


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    run(quick="--quick" in sys.argv)
