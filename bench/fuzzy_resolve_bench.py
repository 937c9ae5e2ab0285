"""batch_fuzzy_resolve of names against a catalogue, against rapidfuzz's
cdist with Jaro-Winkler (one worker) plus the top-two selection in NumPy."""

from __future__ import annotations

import random

from harness import Table, median_seconds

import fuzzy_names
from zemo_etl import fuzzy


def _peer(names, catalog, threshold, ambiguity):
    import numpy as np
    from rapidfuzz.distance import JaroWinkler
    from rapidfuzz.process import cdist

    scores = cdist(names, catalog, scorer=JaroWinkler.similarity, workers=1, dtype=np.float64)
    # Best column (first among equals) and the runner-up score of each row.
    best = scores.argmax(axis=1)
    rows = np.arange(len(names))
    top = scores[rows, best]
    scores[rows, best] = -1.0
    second = scores.max(axis=1)
    ok = (top >= threshold) & (np.abs(top - second) >= ambiguity)
    return [catalog[b] if k else None for b, k in zip(best, ok)]


def run(quick: bool) -> None:
    try:
        import numpy  # noqa: F401
        import rapidfuzz  # noqa: F401
    except ImportError:
        print("fuzzy_resolve: rapidfuzz and numpy are needed (pip install rapidfuzz numpy)")
        return
    rng = random.Random(7)
    vocab = fuzzy_names.Vocabulary(size=60_000)
    n_names, n_catalog = (200, 5_000) if quick else (2_000, 20_000)
    catalog = [vocab.phrase(rng, 1, 3).lower() for _ in range(n_catalog)]
    names = [fuzzy_names.typo(rng, rng.choice(catalog)) if rng.random() < 0.5 else vocab.phrase(rng, 1, 3).lower()
             for _ in range(n_names)]

    ours = fuzzy.batch_fuzzy_resolve(names, catalog, 0.85)
    peer = _peer(names, catalog, 0.85, 0.02)
    agree = sum(a == b for a, b in zip(ours, peer))
    table = Table(f"batch_fuzzy_resolve, {n_names} names x {n_catalog} entries ({agree}/{n_names} agree)",
                  per="batch")
    table.header()
    table.add("batch_fuzzy_resolve", median_seconds(lambda: fuzzy.batch_fuzzy_resolve(names, catalog, 0.85), 3),
              "rapidfuzz cdist + numpy top-2", median_seconds(lambda: _peer(names, catalog, 0.85, 0.02), 3))
