"""What the installed package computes on the bundled sample data, written to
OUT so that two builds (two architectures) can be compared file by file:
forms, metrics, rows read from the dump, the classification decisions of a
saved library index, and the demo pipeline's report and state file.

    python arch-digest.py OUT [--index INDEX]

With --index, a LibraryIndex saved by another build is loaded as well and its
decisions must equal those of the one built here.
"""
from __future__ import annotations

import argparse
import csv
import json
import pathlib
import sqlite3
import subprocess
import sys
import tempfile

import zemo_etl
from zemo_etl import fuzzy, parser, text
from zemo_etl.index import LibraryIndex

FORMS = ["to_storage_form", "to_match_form", "to_ascii_form", "to_identity_match_form",
         "to_identity_match_form_title", "strip_leading_article", "to_identity_match_form_with_punctuation",
         "to_identity_match_form_with_disambiguator_strip"]
METRICS = ["jaro_winkler_similarity", "token_set_ratio", "token_sort_ratio"]


def write(out: pathlib.Path, name: str, value) -> None:
    (out / name).write_text(json.dumps(value, ensure_ascii=False, indent=0, sort_keys=True) + "\n", encoding="utf-8")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("out", type=pathlib.Path)
    ap.add_argument("--index", type=pathlib.Path)
    args = ap.parse_args()
    out = args.out
    out.mkdir(parents=True, exist_ok=True)
    data = pathlib.Path(zemo_etl.__file__).parent / "sample_data"

    rows = parser.load_table_rows(str(data / "library.sql"), "library")
    write(out, "rows.json", [[v if not isinstance(v, bytes) else v.hex() for v in row] for row in rows])
    with open(data / "releases.csv", newline="", encoding="utf-8") as f:
        releases = list(csv.DictReader(f))
    names = sorted({r["artist"] for r in releases} | {r["title"] for r in releases})
    write(out, "forms.json", {form: [getattr(text, form)(s) for s in names] for form in FORMS})
    pairs = list(zip(names, names[1:] + names[:1]))
    # repr keeps every bit of the doubles.
    write(out, "metrics.json", {m: [repr(getattr(fuzzy, m)(a, b)) for a, b in pairs] for m in METRICS})

    library = [(str(r[2]), str(r[1])) for r in rows if r[1] is not None and r[2] is not None]
    artists, titles = [r["artist"] for r in releases], [r["title"] for r in releases]
    index = LibraryIndex(library)
    index.save(out / "index.bin")
    decisions = index.classify(artists, titles)
    write(out, "decisions.json", decisions)
    if args.index is not None:
        theirs = LibraryIndex.load(args.index).classify(artists, titles)
        if theirs != decisions:
            print(f"{args.index}: classifies differently when loaded here", file=sys.stderr)
            return 1

    with tempfile.TemporaryDirectory() as tmp:
        work = pathlib.Path(tmp) / "demo"
        subprocess.run([sys.executable, "-m", "zemo_etl", "demo", "--fresh", "--workdir", str(work)],
                       check=True, stdout=subprocess.DEVNULL)
        state = (work / "state.json").read_text(encoding="utf-8")
        (out / "state.json").write_text(state.replace(str(work), "WORKDIR").replace(str(data), "DATA"))
        (out / "report.csv").write_bytes((work / "releases_classified.csv").read_bytes())
        with sqlite3.connect(work / "library.db") as db:
            (out / "library.sql").write_text("\n".join(db.iterdump()) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
