"""Runs the benchmark scripts: ``python bench/run.py [--quick] [name ...]``.

Without names every ``bench/*_bench.py`` runs, in name order, then
``match_quality.py`` (decision quality on labelled names); a name selects the
scripts whose file name contains it.
"""

from __future__ import annotations

import argparse
import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--quick", action="store_true", help="smaller inputs, for a smoke run")
    ap.add_argument("names", nargs="*")
    args = ap.parse_args()
    sys.path.insert(0, str(HERE))
    scripts = sorted(HERE.glob("*_bench.py")) + [HERE / "match_quality.py"]
    if args.names:
        scripts = [s for s in scripts if any(n in s.stem for n in args.names)]
    for script in scripts:
        module_spec = importlib.util.spec_from_file_location(script.stem, script)
        module = importlib.util.module_from_spec(module_spec)
        sys.modules[module_spec.name] = module  # as an import would: dataclasses look their module up
        assert module_spec.loader is not None
        module_spec.loader.exec_module(module)
        module.run(quick=args.quick)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
