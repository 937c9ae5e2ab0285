"""zemo_etl.columns.apply over pandas, NumPy, pyarrow and polars columns
against the batch function on a plain list of the same strings: the cost of
the conversions both ways, per value."""

from __future__ import annotations

from harness import median_seconds

from zemo_etl import _demo_data, columns, text


def _names(n: int) -> list[str]:
    rows = _demo_data.library_rows(n, seed=7)
    return [str(r[2]) for r in rows]


def run(quick: bool = False) -> None:
    n = 20_000 if quick else 200_000
    names = _names(n)
    f = text.batch_to_match_form
    base = median_seconds(lambda: f(names), repeat=5)
    print(f"\n== columns.apply(text.batch_to_match_form, column), {n:,} names ==")
    print(f"  {'plain list (the batch function alone)':<44} {base * 1e3:8.1f} ms   {base / n * 1e9:6.0f} ns/value")
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
        t = median_seconds(lambda: columns.apply(f, column), repeat=5)
        print(f"  {name:<44} {t * 1e3:8.1f} ms   overhead {(t - base) / n * 1e9:6.0f} ns/value "
              f"(+{100 * (t - base) / base:.0f}%)", flush=True)
