#!/usr/bin/env python3
"""Writes the bundled sample data, zemo_etl/sample_data/{library.sql,releases.csv}.

    .venv/bin/python tools/gen_sample_data.py [--library 3000] [--releases 3000] [--seed 1]

The generator itself is zemo_etl._demo_data (the installed package carries it
for `zemo-etl demo --scale N`); the fixed seed keeps the output stable.
"""

import argparse
import pathlib

from zemo_etl import _demo_data

OUT = pathlib.Path(__file__).resolve().parent.parent / "zemo_etl" / "sample_data"


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--library", type=int, default=3000)
    ap.add_argument("--releases", type=int, default=3000)
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    _demo_data.generate(str(OUT / "library.sql"), str(OUT / "releases.csv"), args.library, args.releases, args.seed)
    for name in ("library.sql", "releases.csv"):
        print(f"{OUT / name}: {(OUT / name).stat().st_size:,} bytes")


if __name__ == "__main__":
    main()
