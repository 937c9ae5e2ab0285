"""LibraryIndex.explain against LibraryIndex.classify: CPU time per release
(all threads) at 100,000, 300,000 and 1,000,000 library pairs, on the same
prepared index and releases. Goals: the evidence mode (exact=False, what
the review page and `classify --explain` use) within 1.3x the CPU of
classify; the exact mode within 3x.

Also Catalogue.explain against Catalogue.resolve on the library's artists.
Each size runs in a subprocess of its own (one pool, fresh memory).
"""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import textwrap

from harness import Table

HERE = pathlib.Path(__file__).resolve().parent

_TIMED = """
    import resource, sys
    sys.path.insert(0, {here!r})
    import fuzzy_names
    from zemo_etl.index import Catalogue, LibraryIndex

    def cpu():
        u = resource.getrusage(resource.RUSAGE_SELF)
        return u.ru_utime + u.ru_stime

    def per_item(fn, n, repeat=2):
        best = None
        for _ in range(repeat):
            c = cpu(); result = fn(); spent = (cpu() - c) / n
            best = spent if best is None else min(best, spent)
        return best, result

    vocab = fuzzy_names.Vocabulary(size=60_000)
    library = fuzzy_names.library_pairs(vocab, {n})
    artists, titles = fuzzy_names.releases(vocab, library, {releases})
    index = LibraryIndex(library)
    index.classify(artists[:10], titles[:10])  # starts the pool
    classify, decisions = per_item(lambda: index.classify(artists, titles), len(artists))
    explain, explained = per_item(lambda: index.explain(artists, titles), len(artists), repeat=1)
    assert [e["decision"] for e in explained] == decisions
    explain3, _ = per_item(lambda: index.explain(artists, titles, top=3), len(artists), repeat=1)
    evidence, bounded = per_item(lambda: index.explain(artists, titles, exact=False), len(artists))
    assert [e["decision"] for e in bounded] == decisions
    catalogue = Catalogue(sorted({{a for a, _ in library}}))
    names = artists[:{names}]
    resolve, _ = per_item(lambda: catalogue.resolve(names), len(names))
    resolve_explain, _ = per_item(lambda: catalogue.explain(names), len(names))
    counts = {{k: decisions.count(k) for k in ("keep", "review", "prune")}}
    print(classify, explain, explain3, evidence, resolve, resolve_explain, len(catalogue), repr(counts))
"""


def _child(code: str) -> str:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(done.stderr)
    return done.stdout.strip()


def run(quick: bool) -> None:
    sizes = [(10_000, 2_000)] if quick else [(100_000, 10_000), (300_000, 5_000), (1_000_000, 2_000)]
    threads = os.environ.get("ZEMO_ETL_NUM_THREADS", "all CPUs")
    table = Table(f"LibraryIndex.explain vs classify, CPU per release, all threads (threads: {threads})",
                  per="release")
    table.header()
    for n, releases in sizes:
        out = _child(_TIMED.format(here=str(HERE), n=n, releases=releases, names=min(releases, 2_000)))
        classify, explain, explain3, evidence, resolve, resolve_explain, entries, counts = out.split(" ", 7)
        print(f"  {n:,} pairs, {releases:,} releases: {counts}", flush=True)
        table.add(f"explain, {n:,} pairs", float(explain), f"classify, {n:,} pairs", float(classify))
        table.add(f"explain exact=False, {n:,} pairs", float(evidence), f"classify, {n:,} pairs", float(classify))
        print(f"  explain / classify: {float(explain) / float(classify):.2f}x (goal: at most 3x); "
              f"top=3: {float(explain3) / float(classify):.2f}x; exact=False: "
              f"{float(evidence) / float(classify):.2f}x (goal: at most 1.3x)", flush=True)
        table.add(f"Catalogue.explain, {int(entries):,} artists", float(resolve_explain),
                  f"Catalogue.resolve, {int(entries):,} artists", float(resolve))
    print(f"  load average (includes other users of the machine): {os.getloadavg()}", flush=True)


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    run(quick="--quick" in sys.argv)
