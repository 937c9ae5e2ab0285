"""Instructions of each call in two builds side by side, counted with callgrind
as poll_cost.py counts them (from the binding's entry, one thread); with
--timing the least CPU time of seven runs instead.

    python bench/build_compare.py BASE_PKG NEW_PKG [--quick] [--timing] [workload ...]

BASE_PKG and NEW_PKG are importable package folders, for example build/dev/pkg
of two worktrees built with tools/dev-build.sh, or the system compiler's build
and the portable one (a build with the zig toolchain, symbols kept).
"""

from __future__ import annotations

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import poll_cost  # noqa: E402


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("base", type=pathlib.Path)
    ap.add_argument("new", type=pathlib.Path)
    ap.add_argument("--quick", action="store_true", help="smaller inputs")
    ap.add_argument("--timing", action="store_true", help="least CPU time of seven runs, not instructions")
    ap.add_argument("names", nargs="*", help=f"workloads (default: all of {', '.join(poll_cost.WORKLOADS)})")
    args = ap.parse_intermixed_args()
    unit = "CPU seconds" if args.timing else "instructions"
    print(f"{'call':28} {'base':>16} {'new':>16} {'change':>8}   ({unit}, one thread)")
    for name in args.names or poll_cost.WORKLOADS:
        base = poll_cost.measure(name, args.base.resolve(), args.quick, timing=args.timing)
        new = poll_cost.measure(name, args.new.resolve(), args.quick, timing=args.timing)
        shown = [f"{v:16.4f}" if args.timing else f"{v:16,}" for v in (base, new)]
        print(f"{name:28} {shown[0]} {shown[1]} {(new - base) / base * 100:7.2f}%", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
