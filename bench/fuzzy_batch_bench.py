"""How the fuzzy batch operations scale with the size of the library.

Two parts, each against its goal:

- classify: batch_classify_releases on one worker thread against libraries
  of 10,000, 100,000 and 1,000,000 pairs: index build time, CPU per release
  (index excluded) and the peak memory of the index build. Goals: at most
  1 ms of CPU per release at 1,000,000 pairs, and at most 3x the per-release
  cost at 100,000. Each size runs in a subprocess with ZEMO_ETL_NUM_THREADS=1
  (the pool size is fixed when the pool starts, and the memory figure needs
  a fresh process); releases are sampled so that each size takes ~30 s.
- resolve: batch_fuzzy_resolve of 2,000 names (half near-misses of entries,
  half unrelated) against catalogues of 100,000 and 1,000,000 distinct
  names, against rapidfuzz's cdist with JaroWinkler (one worker) plus the
  top-two selection in NumPy. Goals: at least 10x faster than the peer at
  1,000,000 entries, and at most 3x the cost at 100,000. The peer scores
  every pair whatever the names, so it is timed on a sample of the names and
  scaled; its answers are compared with ours on that sample.

Times are CPU times of this process (the machine may be shared). Run one
part with FUZZY_SCALE_PART=classify or resolve, or
``python bench/fuzzy_batch_bench.py [--quick] [classify|resolve]``;
FUZZY_SCALE_PEER_NAMES sets the peer's sample (default 400).
"""

from __future__ import annotations

import os
import pathlib
import random
import resource
import subprocess
import sys
import textwrap
import time

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import fuzzy_names  # noqa: E402

THRESHOLD = 0.85
AMBIGUITY = 0.02


def _cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def _best_cpu(fn, repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = _cpu()
        fn()
        best = min(best, _cpu() - start)
    return best


def _fmt(seconds: float) -> str:
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:7.2f} {unit}"
    return f"{seconds / 1e-9:7.2f} ns"


def _verdict(ok: bool, quick: bool = False) -> str:
    if quick:
        return "quick sizes; the goal is stated for the full ones"
    return "met" if ok else "NOT met"


# ---------------------------------------------------------------- resolve


def resolve_data(n_catalog: int, n_names: int, seed: int = 7) -> tuple[list[str], list[str]]:
    """Distinct, sorted catalogue names (as identity forms are) and the names to resolve."""
    rng = random.Random(seed)
    vocab = fuzzy_names.Vocabulary(size=60_000)
    seen: set[str] = set()
    while len(seen) < n_catalog:
        seen.add(vocab.phrase(rng, 1, 3).lower())
    catalog = sorted(seen)
    names = [fuzzy_names.typo(rng, rng.choice(catalog)) if rng.random() < 0.5 else vocab.phrase(rng, 1, 3).lower()
             for _ in range(n_names)]
    return catalog, names


def _peer(names, catalog, chunk: int = 16):
    """cdist with Jaro-Winkler on one worker, then the best column (first among
    equals) and the runner-up score per row, a few rows at a time."""
    import numpy as np
    from rapidfuzz.distance import JaroWinkler
    from rapidfuzz.process import cdist

    out = []
    for at in range(0, len(names), chunk):
        rows = names[at:at + chunk]
        scores = cdist(rows, catalog, scorer=JaroWinkler.similarity, workers=1, dtype=np.float64)
        best = scores.argmax(axis=1)
        index = np.arange(len(rows))
        top = scores[index, best]
        scores[index, best] = -1.0
        second = scores.max(axis=1) if len(catalog) > 1 else np.full(len(rows), -np.inf)
        ok = (top >= THRESHOLD) & (np.abs(top - second) >= AMBIGUITY)
        out.extend(catalog[b] if k else None for b, k in zip(best, ok))
    return out


def run_resolve(quick: bool) -> None:
    try:
        import numpy  # noqa: F401
        import rapidfuzz  # noqa: F401
    except ImportError:
        print("fuzzy_scale resolve: rapidfuzz and numpy are needed (pip install rapidfuzz numpy)")
        return
    from zemo_etl import fuzzy

    sizes = (10_000, 100_000) if quick else (100_000, 1_000_000)
    n_names = 200 if quick else 2_000
    n_peer = min(n_names, int(os.environ.get("FUZZY_SCALE_PEER_NAMES", "100" if quick else "400")))
    print(f"\n== batch_fuzzy_resolve, {n_names} names, threshold {THRESHOLD}, gap {AMBIGUITY}; CPU times ==",
          flush=True)
    results = {}
    for n in sizes:
        start = time.perf_counter()
        catalog, names = resolve_data(n, n_names)
        print(f"  {n} entries (generated in {time.perf_counter() - start:.0f} s)", flush=True)
        ours = fuzzy.batch_fuzzy_resolve(names, catalog, THRESHOLD)
        whole = _best_cpu(lambda: fuzzy.batch_fuzzy_resolve(names, catalog, THRESHOLD), 3)
        # One name costs the preparation of the catalogue and little more.
        prepare = _best_cpu(lambda: fuzzy.batch_fuzzy_resolve(names[:1], catalog, THRESHOLD), 3)
        sample = random.Random(5).sample(range(n_names), n_peer)
        start = _cpu()
        peer = _peer([names[i] for i in sample], catalog)
        peer_cpu = (_cpu() - start) * n_names / n_peer
        agree = sum(peer[k] == ours[i] for k, i in enumerate(sample))
        search = max(whole - prepare, 1e-9)
        results[n] = (whole, search)
        print(f"    ours: {_fmt(whole)} for the batch ({_fmt(prepare)} preparing the catalogue, "
              f"{_fmt(search / n_names)} per name); resolved {sum(r is not None for r in ours)}/{n_names}", flush=True)
        goal = (f" (goal >= 10x: {_verdict(peer_cpu / whole >= 10, quick)})" if n == sizes[-1] else "")
        print(f"    rapidfuzz cdist + numpy top-2: {_fmt(peer_cpu)} for the batch (timed on {n_peer} names); "
              f"peer/ours {peer_cpu / whole:6.1f}x{goal}; "
              f"same answers on {agree}/{n_peer}", flush=True)
    small, large = sizes
    growth = results[large][0] / results[small][0]
    search_growth = results[large][1] / results[small][1]
    print(f"  growth from {small} to {large} entries: {growth:.2f}x for the batch (goal <= 3x: "
          f"{_verdict(growth <= 3, quick)}), {search_growth:.2f}x for the searches alone", flush=True)


# ---------------------------------------------------------------- classify

# One library size in a fresh process: index build (CPU, wall, peak memory),
# then a sample of releases sized to the time budget.
_CLASSIFY = """
    import resource, time
    import fuzzy_names
    from fuzzy_batch_bench import _cpu
    from zemo_etl import fuzzy
    from zemo_etl.index import LibraryIndex
    n_library, budget = {n_library}, {budget}
    vocab = fuzzy_names.Vocabulary(size=60_000)
    library = fuzzy_names.library_pairs(vocab, n_library)
    artists, titles = fuzzy_names.releases(vocab, library, 20_000)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    builds = []
    for _ in range(2):  # the index alone; the lesser time, the machine being shared
        cpu, wall = _cpu(), time.perf_counter()
        fuzzy.batch_classify_releases([], [], library)
        builds.append((_cpu() - cpu, time.perf_counter() - wall))
        if len(builds) == 1:
            grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    build_cpu, build_wall = min(builds)
    # The prepared index classifies exactly as the batch call without
    # building: the per-release figure needs no subtraction.
    index = LibraryIndex(library)
    def per_release(k):
        cpu = _cpu()
        index.classify(artists[:k], titles[:k])
        return (_cpu() - cpu) / k
    estimate = max(per_release(50), 1e-6)
    k = int(min(len(artists), max(200, budget / estimate)))
    print(build_cpu, build_wall, grown, per_release(k), k)
"""


def run_classify(quick: bool) -> None:
    sizes = (1_000, 10_000, 100_000) if quick else (10_000, 100_000, 1_000_000)
    budget = 5.0 if quick else 30.0
    print(f"\n== batch_classify_releases, one worker (ZEMO_ETL_NUM_THREADS=1), subprocess per size; CPU times ==",
          flush=True)
    print(f"  {'library pairs':>13} | {'index build':>11} | {'peak RSS growth':>15} | {'CPU per release':>15} | "
          f"releases timed", flush=True)
    env = dict(os.environ, ZEMO_ETL_NUM_THREADS="1")
    # Run from bench/ so that the source folder's zemo_etl (without the
    # extension) does not shadow the installed one.
    env["PYTHONPATH"] = os.pathsep.join([str(HERE), *(os.path.abspath(p) for p in sys.path if p)])
    per = {}
    for n in sizes:
        code = textwrap.dedent(_CLASSIFY.format(n_library=n, budget=budget))
        out = subprocess.run([sys.executable, "-c", code], env=env, cwd=HERE, capture_output=True, text=True)
        if out.returncode != 0:
            print(f"  {n:>13} | failed: {out.stderr.strip().splitlines()[-1:]}", flush=True)
            return
        build_cpu, build_wall, grown, release, k = out.stdout.split()
        per[n] = float(release)
        print(f"  {n:>13,} | {_fmt(float(build_cpu))} | {float(grown):11.0f} MiB | {_fmt(float(release))} | {k} "
              f"(build wall {float(build_wall):.2f} s)", flush=True)
    mid, large = sizes[1], sizes[2]
    print(f"  CPU per release at {large:,} pairs: {per[large] * 1e3:.3f} ms (goal <= 1 ms: "
          f"{_verdict(per[large] <= 1e-3, quick)}); growth from {mid:,}: {per[large] / per[mid]:.2f}x "
          f"(goal <= 3x: {_verdict(per[large] / per[mid] <= 3, quick)})", flush=True)
    print(f"  load average (other users of the machine included): {os.getloadavg()}", flush=True)


def run(quick: bool, part: str | None = None) -> None:
    part = part or os.environ.get("FUZZY_SCALE_PART", "all")
    if part in ("all", "classify"):
        run_classify(quick)
    if part in ("all", "resolve"):
        run_resolve(quick)


if __name__ == "__main__":
    args = [a for a in sys.argv[1:] if a != "--quick"]
    run(quick="--quick" in sys.argv[1:], part=args[0] if args else None)
