"""Per-call time of the three exported measures from Python, against the
functions a user would pick instead (rapidfuzz, jellyfish), on pairs of
realistic names. The token measures are compared on lower-cased input, where
their definitions agree."""

from __future__ import annotations

from harness import Table, median_seconds

import fuzzy_names
from zemo_etl import fuzzy


def _per_call(fn, pairs) -> float:
    def loop() -> None:
        for a, b in pairs:
            fn(a, b)

    return median_seconds(loop, repeat=3) / len(pairs)


def run(quick: bool) -> None:
    try:
        import jellyfish
        from rapidfuzz import fuzz
        from rapidfuzz.distance import JaroWinkler
    except ImportError:
        print("fuzzy_metrics: rapidfuzz and jellyfish are needed (pip install rapidfuzz jellyfish)")
        return
    vocab = fuzzy_names.Vocabulary(size=60_000)
    pairs = fuzzy_names.name_pairs(vocab, 10_000 if quick else 100_000)
    lowered = [(a.lower(), b.lower()) for a, b in pairs]

    table = Table("fuzzy measures, per call from Python", per="call")
    table.header()
    ours = _per_call(fuzzy.jaro_winkler_similarity, pairs)
    table.add("jaro_winkler_similarity", ours, "rapidfuzz JaroWinkler.similarity",
              _per_call(JaroWinkler.similarity, pairs))
    table.add("jaro_winkler_similarity", ours, "jellyfish.jaro_winkler_similarity",
              _per_call(jellyfish.jaro_winkler_similarity, pairs))
    # rapidfuzz's token ratios score 0-100 and do not lower-case: compare on lowered input.
    table.add("token_sort_ratio", _per_call(fuzzy.token_sort_ratio, lowered), "rapidfuzz fuzz.token_sort_ratio",
              _per_call(fuzz.token_sort_ratio, lowered))
    table.add("token_set_ratio", _per_call(fuzzy.token_set_ratio, lowered), "rapidfuzz fuzz.token_set_ratio",
              _per_call(fuzz.token_set_ratio, lowered))
