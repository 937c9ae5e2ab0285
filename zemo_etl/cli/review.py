"""`zemo-etl review`: a page for deciding by hand the releases the classifier
left in review, and the decisions files the page exports, which `classify
--decisions` and `run --decisions` apply.

The page is one HTML file with its CSS, script and data inline (it works
from file:// and asks no network for anything). Its parts are package data
in review_page/; the rows go in a JSON block whose `<`, `>` and `&` are
escaped, so that no name can end the block, and the script puts names into
the page only as text.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import json
import math
import os
import sys
from collections.abc import Iterable, Mapping, Sequence
from importlib import resources
from typing import Any, Optional

from zemo_etl import text
from zemo_etl.cli.common import (CsvInput, UserError, add_command, add_input_options, add_output_options,
                                 add_threshold_options, open_output, open_text, refuse_overwriting_inputs,
                                 require_file, thresholds_from)
from zemo_etl.safety import formula_unguarded, inert

PAGE_NAME = "review.html"  # beside a run's report
DECISIONS = ("keep", "prune", "review")
# What `classify --explain` adds after `decision`.
EXPLAIN_COLUMNS = ["exact", "token_set", "token_sort", "two_stage", "library_artist", "library_title",
                   "decided_by", "reason"]
# A decision taken from a decisions file, in decided_by.
CHOSEN = "decisions"
# One page row: given artist and title, their match forms, the decision, exact (0/1), the three best scores,
# the library entry, what decided and why.
ROW_FIELDS = ["a", "t", "ma", "mt", "d", "x", "s1", "s2", "s3", "la", "lt", "by", "reason"]


def score_text(score: float) -> str:
    return repr(round(float(score), 4))


def explain_fields(explained: Mapping[str, Any]) -> list[Any]:
    """The values of EXPLAIN_COLUMNS for one LibraryIndex.explain result:
    the library entry is that of the measure that decided (token sort's, or
    else token set's; another measure's when that one has none)."""
    lists = [explained["token_set_entries"], explained["token_sort_entries"], explained["two_stage_entries"]]
    if explained["decided_by"] == "token_sort":
        lists.insert(0, explained["token_sort_entries"])
    entry = next((entries[0] for entries in lists if entries), None)
    artist, title = (entry[1], entry[2]) if entry is not None else ("", "")
    return [bool(explained["exact"]), float(explained["token_set"]), float(explained["token_sort"]),
            float(explained["two_stage"]), artist, title, explained["decided_by"], explained["reason"]]


def explain_csv_fields(fields: Sequence[Any]) -> list[str]:
    """explain_fields as CSV text."""
    return ["true" if fields[0] else "false", *map(score_text, fields[1:4]), *fields[4:]]


def mark_chosen(fields: list[Any], chosen: str, source: str) -> list[Any]:
    """explain_fields of a release whose decision a decisions file chose."""
    return fields[:6] + [CHOSEN, f"{chosen}, chosen in {source}"]


# --- decisions files -----------------------------------------------------------

def read_decisions(path: str, encoding: str = "utf-8", delimiter: Optional[str] = None) -> dict[tuple[str, str], str]:
    """The decisions a file chooses, by the match forms of artist and title.
    UserError (one line) for a missing column, an unknown decision or a
    release chosen two ways."""
    require_file(path)
    given: list[tuple[str, str, str, int]] = []
    with open_text(path, encoding=encoding) as f:
        table = CsvInput(f, required=["artist", "title", "decision"], delimiter=delimiter)
        ia, it, idc = (table.column(c) for c in ("artist", "title", "decision"))
        for row in table.rows():
            decision = row[idc].strip().lower()
            if decision not in DECISIONS:
                raise UserError(f"{path} line {table.line}: unknown decision {row[idc]!r} "
                                "(keep, prune or review)")
            given.append((formula_unguarded(row[ia]), formula_unguarded(row[it]), decision, table.line))
    keys = zip(text.batch_to_match_form([g[0] for g in given]), text.batch_to_match_form([g[1] for g in given]))
    chosen: dict[tuple[str, str], str] = {}
    for key, (artist, title, decision, line) in zip(keys, given):
        before = chosen.setdefault(key, decision)
        if before != decision:
            raise UserError(f"{path} line {line}: {artist!r} - {title!r} is chosen {decision} here and "
                            f"{before} on an earlier line")
    return chosen


class Overrides:
    """A decisions file applied to releases, counting what it matched and changed."""

    def __init__(self, chosen: Mapping[tuple[str, str], str], source: str) -> None:
        self.chosen, self.source = chosen, source
        self.matched = self.changed = 0

    def apply(self, artists: Sequence[str], titles: Sequence[str], decisions: list[str]) -> list[Optional[str]]:
        """Replace `decisions` in place where the file chooses; the chosen decision per release, None where
        it chooses none."""
        keys = zip(text.batch_to_match_form(list(artists)), text.batch_to_match_form(list(titles)))
        picked: list[Optional[str]] = [self.chosen.get(key) for key in keys]
        for k, decision in enumerate(picked):
            if decision is not None:
                self.matched += 1
                self.changed += decision != decisions[k]
                decisions[k] = decision
        return picked

    def summary(self) -> str:
        return f"{self.matched:,} decided by {self.source}, {self.changed:,} of them changed"


# --- the page ------------------------------------------------------------------

def page_row(artist: str, title: str, match_artist: str, match_title: str, decision: str,
             fields: Sequence[Any]) -> list[Any]:
    """One row of the page's data from a release and its explain_fields."""
    return [artist, title, match_artist, match_title, decision, int(bool(fields[0])), *fields[1:]]


def _part(name: str) -> str:
    return (resources.files(__package__) / "review_page" / name).read_text(encoding="utf-8")


def _script_json(value: Any) -> str:
    # Inside <script> the HTML parser ends the block at "</script" and
    # treats "<!--" specially; none of < > & may appear raw.
    dumped = json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
    return dumped.translate({ord("<"): "\\u003c", ord(">"): "\\u003e", ord("&"): "\\u0026",
                             0x2028: "\\u2028", 0x2029: "\\u2029"})


# Up to this many releases the page lists every one; beyond, the releases in
# review only, and the others enter the counts, charts and what-if table as
# compact scores (a million rows of text would make the page too big to open).
LIST_ALL_UP_TO = 100_000
# Per unlisted release in "scores": the decision and its flags, then each of
# the three scores in ten-thousandths, in base-64 digits of this alphabet.
_DIGITS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
_FLAG_EXACT, _FLAG_NUMBERS, _FLAG_CHOSEN = 3, 6, 12  # added to the decision's place in DECISIONS


def _floored(score: float) -> float:
    """The score cut to four decimals, never above it: a threshold of at most
    four decimals compares the same with either (the page's what-if table)."""
    q = math.floor(score * 10000)
    while (q + 1) / 10000 <= score:
        q += 1
    while q > 0 and q / 10000 > score:
        q -= 1
    return q / 10000


def _packed(row: Sequence[Any]) -> str:
    """An unlisted page row in the compact form of "scores"."""
    by = row[ROW_FIELDS.index("by")]
    code = (DECISIONS.index(row[4]) + _FLAG_EXACT * bool(row[5]) + _FLAG_NUMBERS * (by == "numbers")
            + _FLAG_CHOSEN * (by == CHOSEN))
    out = [_DIGITS[code]]
    for score in row[6:9]:
        q = round(_floored(score) * 10000)
        out += [_DIGITS[q >> 12], _DIGITS[(q >> 6) & 63], _DIGITS[q & 63]]
    return "".join(out)


def _score_text(score: float) -> str:
    """A score as a reason gives it: four decimals, trailing zeros cut down to two."""
    out = f"{score:.4f}"
    while len(out) > 4 and out[-1] == "0" and out[-3] != ".":
        out = out[:-1]
    return out


def derived_reason(exact: bool, s1: float, s2: float, s3: float, th: Mapping[str, float]) -> str:
    """The reason LibraryIndex.explain gives for these scores and thresholds (without the number guard and
    decisions files); the page writes it again from its rows' scores."""
    floor = _score_text(th["review_floor"])

    def band(name: str, score: float, keep: float) -> str:
        return f"{name} {_score_text(score)} in the review band [{floor}, {_score_text(keep)})"

    if exact:
        return "exact pair in the library"
    if th["review_floor"] <= s1 < th["token_set_keep"]:
        return band("token_set", s1, th["token_set_keep"])
    if th["review_floor"] <= s2 < th["token_sort_keep"]:
        return band("token_sort", s2, th["token_sort_keep"])
    if s1 >= th["token_set_keep"] and s2 >= th["token_sort_keep"] and s3 >= th["two_stage_keep"]:
        return "all three scores at or above their keep values"
    if max(s1, s2, s3) < th["review_floor"]:
        return f"all three scores below the review floor {floor}"
    if th["review_floor"] <= s3 < th["two_stage_keep"]:
        return band("two_stage", s3, th["two_stage_keep"])
    return (f"token_set {_score_text(s1)}, token_sort {_score_text(s2)}, two_stage {_score_text(s3)}: "
            f"some at or above the review floor {floor}, not all at their keep values")


def _listed(row: Sequence[Any], thresholds: Mapping[str, float]) -> list[Any]:
    """A page row as the page lists it, shortened: a match form that is the given name in lower case
    (ASCII) is 0, a library form that is the release's is 1, and a reason the page can write again from
    the scores is None."""
    a, t, ma, mt, d, x, s1, s2, s3, la, lt, by, reason = row
    if reason == derived_reason(x, s1, s2, s3, thresholds):
        reason = None
    return [a, t, 0 if a.isascii() and ma == a.lower() else ma, 0 if t.isascii() and mt == t.lower() else mt,
            d, x, _floored(s1), _floored(s2), _floored(s3), 1 if la == ma else la, 1 if lt == mt else lt, by, reason]


def render_page(rows: Iterable[Sequence[Any]], thresholds: Mapping[str, float], source: str = "",
                distinct_numbers: bool = False, list_all_up_to: int = LIST_ALL_UP_TO) -> str:
    """The review page of `rows` (page_row lists) as one HTML document."""
    rows = list(rows)
    everything = len(rows) <= list_all_up_to
    listed, packed = [], []
    for row in rows:
        if everything or row[4] == "review":
            listed.append(_listed(row, thresholds))
        else:
            packed.append(_packed(row))
    data = {"columns": ROW_FIELDS, "rows": listed, "listed": "all" if everything else "review",
            "scores": "".join(packed), "thresholds": dict(thresholds), "source": source,
            "distinct_numbers": distinct_numbers}
    script = _part("page.js")
    # The policy runs this script alone: no inline handler, nothing a name could smuggle in.
    digest = base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode("ascii")
    page = _part("page.html")
    for marker, part in (("{{script-hash}}", f"sha256-{digest}"), ("{{style}}", _part("page.css")),
                         ("{{script}}", script), ("{{data}}", _script_json(data))):
        head, _, tail = page.partition(marker)
        page = head + part + tail
    return page


def read_explained(path: str, artist_column: str = "artist", title_column: str = "title",
                   encoding: str = "utf-8", delimiter: Optional[str] = None) -> list[list[Any]]:
    """The page rows of a CSV written by `classify --explain`."""
    require_file(path)
    with open_text(path, encoding=encoding) as f:
        table = CsvInput(f, required=[artist_column, title_column], delimiter=delimiter)
        missing = [c for c in ["decision", *EXPLAIN_COLUMNS] if c not in table.header]
        if missing:
            raise UserError(f"{path}: no column {missing[0]!r}; write the file with "
                            "`zemo-etl classify --explain`")
        ia, it = table.column(artist_column), table.column(title_column)
        idc = table.column("decision")
        places = [table.column(c) for c in EXPLAIN_COLUMNS]
        raw = []
        for row in table.rows():
            fields: list[Any] = [row[k] for k in places]
            try:
                fields[0] = {"true": True, "false": False}[fields[0]]
                fields[1:4] = [float(v) for v in fields[1:4]]
            except (KeyError, ValueError):
                raise UserError(f"{path} line {table.line}: exact must be true or false and the scores numbers "
                                f"(got {', '.join(repr(row[k]) for k in places[:4])})") from None
            if not all(0.0 <= s <= 1.0 for s in fields[1:4]):
                raise UserError(f"{path} line {table.line}: scores lie between 0 and 1")
            if row[idc] not in DECISIONS:
                raise UserError(f"{path} line {table.line}: unknown decision {row[idc]!r} (keep, prune or review)")
            raw.append((row[ia], row[it], row[idc], fields))
    artists = text.batch_to_match_form([r[0] for r in raw])
    titles = text.batch_to_match_form([r[1] for r in raw])
    return [page_row(a, t, ma, mt, d, fields) for (a, t, d, fields), ma, mt in zip(raw, artists, titles)]


def add_parsers(sub) -> None:
    p = add_command(sub, "review", "a page for deciding the releases in review by hand", """\
`zemo-etl review`: a page for deciding the releases in review by hand.

DECIDED is the output of `zemo-etl classify --explain`. The page (one HTML
file that works offline) shows the counts per decision, per measure the
spread of the best scores against the thresholds and how many releases a
moved threshold would change, and each release beside its best library
entry with the differing characters marked. Choose keep or prune per row
and export the choices: `classify --decisions FILE` and `run --decisions
FILE` apply them. Give the thresholds the file was classified with.""", """
zemo-etl classify --explain --library library.csv --releases releases.csv -o decided.csv
zemo-etl review decided.csv -o review.html
zemo-etl run --dump library.sql --releases releases.csv --workdir out --decisions decisions.csv
""")
    p.add_argument("input", metavar="DECIDED", help="CSV written by `zemo-etl classify --explain`")
    p.add_argument("-o", "--output", metavar="FILE", help="write here instead of standard output")
    p.add_argument("--artist-column", default="artist", metavar="NAME", help="artist column of the CSV")
    p.add_argument("--title-column", default="title", metavar="NAME", help="title column of the CSV")
    add_threshold_options(p)
    add_input_options(p)
    add_output_options(p, csv=False)
    p.set_defaults(handler=run_review)


def run_review(args: argparse.Namespace) -> int:
    thresholds = thresholds_from(args)
    refuse_overwriting_inputs([args.output], [args.input])
    rows = read_explained(args.input, args.artist_column, args.title_column, args.encoding, args.delimiter)
    page = render_page(rows, thresholds, os.path.basename(args.input), args.distinct_numbers)
    with open_output(args.output, args) as out:
        out.write(page)
    counts = {d: sum(r[4] == d for r in rows) for d in DECISIONS}
    print(f"review page of {len(rows):,} releases ({counts['review']:,} review, {counts['keep']:,} keep, "
          f"{counts['prune']:,} prune) in {inert(args.output or 'standard output')}", file=sys.stderr)
    return 0
