"""The review page: one HTML file with its CSS, script and data inline (it
works from file:// and asks no network for anything), for deciding by hand
the releases the classifier left in review.

Its parts are package data in review_page/; the rows go in a JSON block
whose `<`, `>` and `&` are escaped, so that no name can end the block, and
the script puts names into the page only as text.
"""

from __future__ import annotations

import base64
import hashlib
import itertools
import json
import math
from collections.abc import Iterable, Mapping, Sequence
from importlib import resources
from typing import Any, Optional

from zemo_etl.job.decisions import CHOSEN, DECISIONS, Evidence, floored

PAGE_NAME = "review.html"  # beside a run's report
# One page row: given artist and title, their match forms, the decision, exact (0/1), the three best scores
# (lower bounds where the evidence has bounds), the library entry most likely the same release, what decided
# and why, the best entries of measures where they are others ([measures, artist, title] lists), and the
# scores' upper bounds (Evidence.below: None for an exact score).
ROW_FIELDS = ["a", "t", "ma", "mt", "d", "x", "s1", "s2", "s3", "la", "lt", "by", "reason", "oe", "b"]


def page_row(artist: str, title: str, match_artist: str, match_title: str, decision: str,
             evidence: Evidence) -> list[Any]:
    """One row of the page's data from a release and its evidence."""
    return [artist, title, match_artist, match_title, decision, int(evidence.exact), evidence.token_set,
            evidence.token_sort, evidence.two_stage, evidence.library_artist, evidence.library_title,
            evidence.decided_by, evidence.reason, evidence.other_entries, evidence.below()]


def _part(name: str) -> str:
    return (resources.files(__package__) / "review_page" / name).read_text(encoding="utf-8")


# json.dumps(value, ensure_ascii=False, separators=(",", ":"), allow_nan=False), its encoder made once.
_compact_json = json.JSONEncoder(ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode


def _script_json(value: Any) -> str:
    # Inside <script> the HTML parser ends the block at "</script" and
    # treats "<!--" specially; none of < > & may appear raw.
    dumped = _compact_json(value)
    # A pass of str.replace per escaped character: str.translate would look every character up in a dict.
    for raw, escaped in (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026"), ("\u2028", "\\u2028"),
                         ("\u2029", "\\u2029")):
        dumped = dumped.replace(raw, escaped)
    return dumped


# Up to this many releases the page lists every one; beyond, the releases in
# review only, and the others enter the counts, charts and what-if table as
# compact scores (a million rows of text would make the page too big to open).
LIST_ALL_UP_TO = 100_000
# Per unlisted release in "scores": the decision and its flags, then each of
# the three scores in ten-thousandths, in base-64 digits of this alphabet;
# with the bounded flag, then the most each of the three can be.
_DIGITS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
# Added to the decision's place in DECISIONS.
_FLAG_EXACT, _FLAG_NUMBERS, _FLAG_CHOSEN, _FLAG_BOUNDED = 3, 6, 12, 24
_BLOCK = 10_000  # packed rows joined at a time


_floored = floored


def _floored_below(score: float, below: Optional[float]) -> float:
    """The most a score cut to four decimals can be: itself where exact (`below` None), else the last
    ten-thousandth under `below`, at most 1.0."""
    if below is None:
        return _floored(score)
    if not below <= 1.0:
        return 1.0
    q = math.ceil(below * 10000)
    while q > 0 and q / 10000 >= below:
        q -= 1
    while (q + 1) / 10000 < below:
        q += 1
    return max(q / 10000, _floored(score))


def _bounds(row: Sequence[Any]) -> Optional[list[Optional[float]]]:
    """The upper bounds of a row's scores as the page keeps them: None when all three are exact, else a
    list with None for each exact one."""
    below = row[ROW_FIELDS.index("b")]
    if all(b is None for b in below):
        return None
    return [None if b is None else _floored_below(s, b) for s, b in zip(row[6:9], below)]


def _packed(row: Sequence[Any]) -> str:
    """An unlisted page row in the compact form of "scores"."""
    by = row[ROW_FIELDS.index("by")]
    bounds = _bounds(row)
    code = (DECISIONS.index(row[4]) + _FLAG_EXACT * bool(row[5]) + _FLAG_NUMBERS * (by == "numbers")
            + _FLAG_CHOSEN * (by == CHOSEN) + _FLAG_BOUNDED * (bounds is not None))
    scores = [_floored(s) for s in row[6:9]]
    if bounds is not None:
        scores += [s if b is None else b for s, b in zip(scores, bounds)]
    out = [_DIGITS[code]]
    for score in scores:
        q = round(score * 10000)
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
    a, t, ma, mt, d, x, s1, s2, s3, la, lt, by, reason, oe, _ = row
    if reason == derived_reason(x, s1, s2, s3, thresholds):
        reason = None
    return [a, t, 0 if a.isascii() and ma == a.lower() else ma, 0 if t.isascii() and mt == t.lower() else mt,
            d, x, _floored(s1), _floored(s2), _floored(s3), 1 if la == ma else la, 1 if lt == mt else lt, by, reason,
            oe, _bounds(row)]


def render_page(rows: Iterable[Sequence[Any]], thresholds: Mapping[str, float], source: str = "",
                distinct_numbers: bool = False, list_all_up_to: int = LIST_ALL_UP_TO,
                rules: str = "standard") -> str:
    """The review page of `rows` (page_row lists, any iterable: they are read once, in order) as one HTML
    document."""
    rows = iter(rows)
    # Only the first rows are held at once, until it is known whether they are all listed; then each row
    # is kept as its JSON text (packed ones as their digits, joined in blocks): no list of every
    # row's values is held.
    first = list(itertools.islice(rows, list_all_up_to + 1))
    everything = len(first) <= list_all_up_to
    listed: list[str] = []
    packed: list[str] = []
    block: list[str] = []
    unlisted = 0
    for row in itertools.chain(first, rows):
        if everything or row[4] == "review":
            listed.append(_script_json(_listed(row, thresholds)))
        else:
            block.append(_packed(row))
            unlisted += 1
            if len(block) == _BLOCK:
                packed.append("".join(block))
                block.clear()
    del first
    packed.append("".join(block))
    data = _script_json({"columns": ROW_FIELDS, "rows": [], "listed": "all" if everything else "review",
                         "scores": "".join(packed), "unlisted": unlisted, "thresholds": dict(thresholds),
                         "source": source, "distinct_numbers": distinct_numbers, "rules": rules})
    # The rows' texts joined as json.dumps would have written the list ("columns" cannot hold this text).
    before, _, after = data.partition('"rows":[]')
    data = before + '"rows":[' + ",".join(listed) + "]" + after
    del listed, packed
    script = _part("page.js")
    # The policy runs this script alone: no inline handler, nothing a name could smuggle in.
    digest = base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode("ascii")
    page = _part("page.html")
    for marker, part in (("{{script-hash}}", f"sha256-{digest}"), ("{{style}}", _part("page.css")),
                         ("{{script}}", script), ("{{data}}", data)):
        head, _, tail = page.partition(marker)
        page = head + part + tail
    return page

