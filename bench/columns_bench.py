"""zemo_etl.columns.apply over pandas, NumPy, pyarrow and polars columns
against the batch function on a plain list of the same strings: the cost of
the conversions both ways, per value."""

from __future__ import annotations

import time

from zemo_etl import _demo_data, columns, text


def _pair(base, fn, rounds: int = 9) -> tuple[float, float]:
    # Alternate the two and keep the fastest round of each: on a shared machine
    # load drifts, and the median mostly measures the neighbours.
    a, b = [], []
    for _ in range(rounds):
        for f, out in ((base, a), (fn, b)):
            start = time.perf_counter()
            f()
            out.append(time.perf_counter() - start)
    return min(a), min(b)


def _names(n: int) -> list[str]:
    rows = _demo_data.library_rows(n, seed=7)
    return [str(r[2]) for r in rows]


def run(quick: bool = False) -> None:
    n = 20_000 if quick else 200_000
    names = _names(n)
    f = text.batch_to_match_form
    print(f"\n== columns.apply(text.batch_to_match_form, column), {n:,} names ==")
    cases = []
    try:
        import numpy as np
        cases.append(("NumPy object array", np.array(names, dtype=object)))
    except ImportError:
        pass
    try:
        import pandas as pd
        cases.append(("pandas Series, object dtype", pd.Series(names, dtype=object)))
        cases.append(("pandas Series, string dtype", pd.Series(names, dtype="string")))
    except ImportError:
        pass
    try:
        import pyarrow as pa
        cases.append(("pyarrow string array", pa.array(names, type=pa.string())))
    except ImportError:
        pass
    try:
        import polars as pl
        cases.append(("polars Utf8 Series", pl.Series("artist", names)))
    except ImportError:
        pass
    for name, column in cases:
        base, t = _pair(lambda: f(names), lambda: columns.apply(f, column))
        print(f"  {name:<30} list {base * 1e3:7.1f} ms  column {t * 1e3:7.1f} ms  "
              f"overhead {(t - base) / n * 1e9:5.0f} ns/value (+{100 * (t - base) / base:.0f}%)", flush=True)
    _categorical(quick)


def _categorical(quick: bool) -> None:
    # Few distinct values over many rows: the shape of an artist or country column.
    n, distinct = (200_000, 100) if quick else (2_000_000, 1_000)
    try:
        import numpy as np
        import pandas as pd
    except ImportError:
        return
    categories = list(dict.fromkeys(_names(distinct * 5)))[:distinct]
    codes = np.random.default_rng(3).integers(0, len(categories), n)
    column = pd.Series(pd.Categorical.from_codes(codes, categories=categories))
    f = text.batch_to_match_form
    print(f"\n== columns.apply over a pandas categorical, {n:,} rows, {column.cat.categories.size:,} categories ==")
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        out = columns.apply(f, column)
        best = min(best, time.perf_counter() - start)
    print(f"  {best * 1e3:7.1f} ms  result dtype {out.dtype}, {out.memory_usage(deep=True) / 2**20:.1f} MiB", flush=True)
