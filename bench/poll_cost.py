"""What the interruption polls cost: every long call run in a build that polls
and in one built without polls (cmake -DZEMO_INTERRUPT_POLLS=OFF), side by side.

    python bench/poll_cost.py [--quick] [--timing]

Builds build/bench-polls and build/bench-polls-off with tools/dev-build.sh.
By default it counts the instructions of each call with callgrind (only the
call, from the binding's entry: repeatable on a busy machine); --timing takes
the least CPU time of several runs instead. One worker thread, so that the
whole call runs on the calling thread.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
BUILDS = {"polls": [], "no polls": ["-DZEMO_INTERRUPT_POLLS=OFF"]}
ENTRY = "zemo::py::call_function*"  # every bound function and method is entered here


WORKLOADS = ["batch_to_match_form", "batch_to_ascii_form", "batch_filter_artists", "batch_classify_releases",
             "batch_fuzzy_resolve", "fuzzy_metrics", "parse_sql_values", "load_table_rows", "load_table_rows_utf8",
             "table_row_chunks", "table_copy_chunks", "table_row_chunks_one_row_lines"]


def prepare(name: str, quick: bool, scratch: pathlib.Path):
    """The call of workload `name`, its inputs built."""
    import random

    sys.path.insert(0, str(HERE))
    from fuzzy_names import Vocabulary, library_pairs, releases
    from names import generate_names
    from zemo_etl import fuzzy, parser, text

    k = 1 if quick else 4
    rng = random.Random(7)
    row = "(%d,'artist name',2.5,NULL,'it''s \\'LP\\'',0x4142)"
    statement = "INSERT INTO `t` VALUES " + ",".join(row % i for i in range(1000)) + ";\n"
    if name.startswith("batch_to") or name == "batch_filter_artists":
        names = generate_names(25_000 * k)
        if name == "batch_filter_artists":
            return lambda: fuzzy.batch_filter_artists(names, {"the x", "nina simone"})
        return lambda: getattr(text, name)(names)
    if name == "batch_classify_releases":
        vocab = Vocabulary(size=20_000)
        library = library_pairs(vocab, 5_000 * k)
        artists, titles = releases(vocab, library, 250 * k)
        return lambda: fuzzy.batch_classify_releases(artists, titles, library)
    if name == "batch_fuzzy_resolve":
        vocab = Vocabulary(size=20_000)
        catalogue = [vocab.phrase(rng, 1, 3) for _ in range(10_000 * k)]
        queries = [vocab.phrase(rng, 1, 3) for _ in range(250 * k)]
        return lambda: fuzzy.batch_fuzzy_resolve(queries, catalogue, 0.85)
    if name == "fuzzy_metrics":  # one call per pair: Latin-1 and wide names among ASCII ones
        vocab = Vocabulary(size=20_000)
        names = generate_names(1_000 * k) + [vocab.phrase(rng, 1, 3) for _ in range(1_000 * k)]
        rng.shuffle(names)
        pairs = list(zip(names, names[1:]))
        measures = (fuzzy.token_set_ratio, fuzzy.token_sort_ratio, fuzzy.jaro_winkler_similarity)
        return lambda: [m(a, b) for a, b in pairs for m in measures]
    if name == "parse_sql_values":
        line = "INSERT INTO `t` VALUES " + ",".join(row % i for i in range(5000 * k)) + ";"
        return lambda: parser.parse_sql_values(line)
    if name == "load_table_rows":
        path = scratch / "poll_cost.sql"
        path.write_text(statement * (10 * k))
        return lambda: parser.load_table_rows(str(path), "t")
    if name == "load_table_rows_utf8":  # values to validate, and some to repair
        path = scratch / "poll_cost_utf8.sql"
        utf8_row = "(%d,'Bj\u00f6rk Gu\u00f0mundsd\u00f3ttir','\u041a\u0438\u043d\u043e',NULL)"
        rows = ",".join(utf8_row % i for i in range(1000)).encode()
        path.write_bytes((b"INSERT INTO `t` VALUES " + rows + b",(0,'bad \xff byte','\xe2\x82',NULL);\n") * (10 * k))
        return lambda: parser.load_table_rows(str(path), "t")
    if name in ("table_row_chunks", "table_copy_chunks"):  # the checked scans of load, rows and run
        from zemo_etl import dump
        path = scratch / "poll_cost_chunks.sql"
        path.write_text(statement * (10 * k))
        chunks = dump.TableRowChunks if name == "table_row_chunks" else dump.TableCopyChunks
        return lambda: sum(len(c) for c in chunks(str(path), "t", 5000))
    if name == "table_row_chunks_one_row_lines":  # a statement a line: the per-line checks at their most
        from zemo_etl import dump
        path = scratch / "poll_cost_lines.sql"
        path.write_text("".join(f"INSERT INTO `t` VALUES {row % i};\n" for i in range(10_000 * k)))
        return lambda: sum(len(c) for c in dump.TableRowChunks(str(path), "t", 5000))
    raise SystemExit(f"unknown workload {name!r}; one of {', '.join(WORKLOADS)}")


def child(name: str, quick: bool, repeat: int) -> None:
    import tempfile

    with tempfile.TemporaryDirectory() as scratch:
        call = prepare(name, quick, pathlib.Path(scratch))
        if repeat == 0:  # counted by callgrind: one call, lazy set-up included in both builds
            call()
            return
        call()  # warm caches, lazy tables and the pool
        print(f"cpu {min(_cpu(call) for _ in range(repeat))}")


def _cpu(call) -> float:
    start = time.process_time()
    call()
    return time.process_time() - start


def build(directory: pathlib.Path, args: list[str]) -> None:
    env = dict(os.environ, BUILD_TYPE="Release", PYTHON=sys.executable)
    subprocess.run(["bash", str(ROOT / "tools/dev-build.sh"), str(directory), *args], check=True, env=env,
                   stdout=subprocess.DEVNULL)


def measure(name: str, package: pathlib.Path, quick: bool, timing: bool) -> float:
    env = dict(os.environ, PYTHONPATH=str(package), ZEMO_ETL_NUM_THREADS="1")
    cmd = [sys.executable, __file__, "--child", name] + (["--quick"] if quick else [])
    if timing:
        out = subprocess.run(cmd + ["--repeat", "7"], env=env, check=True, capture_output=True, text=True).stdout
        return float(out.split()[-1])
    out_file = package.parent / f"callgrind.{name}.out"
    subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", "--collect-atstart=no",
                    f"--toggle-collect={ENTRY}", *cmd, "--repeat", "0"],
                   env=env, check=True, capture_output=True)
    totals = re.search(r"^(?:summary|totals):\s+(\d+)", out_file.read_text(), re.M)
    assert totals, f"no callgrind totals for {name}"
    return int(totals.group(1))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="smaller inputs")
    ap.add_argument("--timing", action="store_true", help="least CPU time of 7 runs instead of instructions")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    ap.add_argument("--repeat", type=int, default=7, help=argparse.SUPPRESS)
    ap.add_argument("names", nargs="*", help="workloads to run (default: all)")
    args = ap.parse_args()
    if args.child:
        child(args.child, args.quick, args.repeat)
        return 0
    timing = args.timing or shutil.which("valgrind") is None
    packages = {}
    for label, cmake_args in BUILDS.items():
        directory = ROOT / "build" / ("bench-polls" + ("" if not cmake_args else "-off"))
        build(directory, cmake_args)
        packages[label] = directory / "pkg"
    names = args.names or WORKLOADS
    unit = "CPU s" if timing else "instructions"
    print(f"{'call':28} {'with polls':>16} {'without':>16} {'cost':>8}   ({unit}, one thread)")
    for name in names:
        with_polls = measure(name, packages["polls"], args.quick, timing)
        without = measure(name, packages["no polls"], args.quick, timing)
        cost = (with_polls - without) / without * 100
        print(f"{name:28} {with_polls:16,.0f} {without:16,.0f} {cost:7.2f}%" if not timing else
              f"{name:28} {with_polls:16.4f} {without:16.4f} {cost:7.2f}%", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
