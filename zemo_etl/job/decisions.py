"""Decisions and their evidence: classifying releases in chunks against a
library index, the evidence of each decision (`Evidence`), and the decisions
files a review page exports, which override the computed decisions."""

from __future__ import annotations

import dataclasses
import json
import math
from collections.abc import Generator, Iterator, Mapping, Sequence
from json.encoder import encode_basestring
from typing import Any, Optional

from zemo_etl import text
from zemo_etl.errors import InputError
from zemo_etl.index import LibraryIndex
from zemo_etl.job.ahead import read_ahead
from zemo_etl.progress import Progress
from zemo_etl.reading import CsvInput, open_text, require_file
from zemo_etl.safety import formula_unguarded

DECISIONS = ("keep", "prune", "review")
# The decided_by of a decision taken from a decisions file.
CHOSEN = "decisions"
KEEP_THRESHOLDS = ("token_set_keep", "token_sort_keep", "two_stage_keep")
# The three measures, as LibraryIndex.explain names them.
MEASURES = ("token_set", "token_sort", "two_stage")
# Releases classified per call: small enough that progress moves and memory
# stays bounded, large enough that the per-call cost stays a small share.
CLASSIFY_CHUNK = 5_000
# Releases classified in the order of their artists: a call searches the library's artists once for the
# releases of one artist that follow each other, and most artists the library lacks come back many times.
# A window's results wait until the window is done, so that the chunks still come in the releases' order.
CLASSIFY_WINDOW = 100_000


def score_text(score: float) -> str:
    return repr(round(float(score), 4))


def floored(score: float) -> float:
    """The score cut to four decimals, never above it: a threshold of at most
    four decimals compares the same with either (the page's what-if table),
    and a lower bound stays one."""
    q = math.floor(score * 10000)
    while (q + 1) / 10000 <= score:
        q += 1
    while q > 0 and q / 10000 > score:
        q -= 1
    return q / 10000


def below_text(below: Optional[float]) -> str:
    """A score's upper bound as CSV text: empty where the score is exact, "inf" where only 1.0 bounds it."""
    return "" if below is None else repr(float(below))


@dataclasses.dataclass
class Evidence:
    """Why a release got its decision: LibraryIndex.explain's scores, the
    library entry most likely the same release, what decided and why, and
    the best entry of each measure where it is another one: [measures,
    artist, title] lists, the measures joined by ", " where they share one.

    A score whose `*_below` is None is exact; otherwise the best score lies
    at or above the value given and below that bound (evidence mode)."""

    __slots__ = ("exact", "token_set", "token_sort", "two_stage", "library_artist", "library_title", "decided_by",
                 "reason", "other_entries", "token_set_below", "token_sort_below", "two_stage_below")
    exact: bool
    token_set: float
    token_sort: float
    two_stage: float
    library_artist: str
    library_title: str
    decided_by: str
    reason: str
    other_entries: list[list[str]]
    token_set_below: Optional[float]
    token_sort_below: Optional[float]
    two_stage_below: Optional[float]

    @classmethod
    def of(cls, explained: Mapping[str, Any]) -> Evidence:
        """The evidence of one LibraryIndex.explain result: the library entry
        is its `entry`, the one most likely the same release (the careful
        rules' deciding entry)."""
        artist, title, others = _entry_and_others(explained)
        return cls(bool(explained["exact"]), float(explained["token_set"]), float(explained["token_sort"]),
                   float(explained["two_stage"]), artist, title, explained["decided_by"], explained["reason"], others,
                   *(None if b is None else float(b) for b in map(explained.get, _BELOW)))

    @classmethod
    def from_list(cls, values: Sequence[Any]) -> Evidence:
        """The evidence of its `as_list` (other_entries and the bounds of a run before they were kept: none)."""
        values = list(values)
        if len(values) == 8:
            values.append([])
        return cls(*values, *[None] * (len(EXPLAIN_COLUMNS) - len(values)))

    def as_list(self) -> list[Any]:
        """The values in the order of EXPLAIN_COLUMNS, as the job's database keeps them (JSON)."""
        return [self.exact, self.token_set, self.token_sort, self.two_stage, self.library_artist,
                self.library_title, self.decided_by, self.reason, self.other_entries, *self.below()]

    def below(self) -> list[Optional[float]]:
        """The upper bounds of the three scores, None for an exact one."""
        return [self.token_set_below, self.token_sort_below, self.two_stage_below]

    def csv_fields(self) -> list[str]:
        """The values of EXPLAIN_COLUMNS as CSV text (other_entries as JSON, empty when there are none)."""
        # A lower bound cut down, not rounded: it stays below its bound.
        scores = [score_text(s if b is None else floored(s)) for s, b in zip((self.token_set, self.token_sort,
                                                                              self.two_stage), self.below())]
        return ["true" if self.exact else "false", *scores,
                self.library_artist, self.library_title, self.decided_by, self.reason,
                json.dumps(self.other_entries, ensure_ascii=False) if self.other_entries else "",
                *map(below_text, self.below())]

    def chosen(self, decision: str, source: str) -> Evidence:
        """This evidence for a release whose decision a decisions file chose."""
        return dataclasses.replace(self, decided_by=CHOSEN, reason=_chosen_reason(decision, source))


def _chosen_reason(decision: str, source: str) -> str:
    return f"{decision}, chosen in {source}"


_ENTRIES = tuple((measure, measure + "_entries") for measure in MEASURES)
_BELOW = tuple(measure + "_below" for measure in MEASURES)


def _entry_and_others(explained: Mapping[str, Any]) -> tuple[str, str, list[list[str]]]:
    """The artist and title of the explain result's `entry` ("" without one), and its other entries as
    Evidence keeps them."""
    entry = explained["entry"]
    artist, title = (entry[1], entry[2]) if entry is not None else ("", "")
    others: dict[tuple[str, str], list[str]] = {}
    for measure, key in _ENTRIES:
        entries = explained[key]
        # Mostly the entry itself: the pair is made only for another one.
        if entries and (entries[0][1] != artist or entries[0][2] != title):
            others.setdefault((entries[0][1], entries[0][2]), []).append(measure)
    return artist, title, [[", ".join(measures), a, t] for (a, t), measures in others.items()] if others else []


_NAMED_NUMBERS = {None: "null", math.inf: "Infinity", -math.inf: "-Infinity"}


def _number_json(value: Optional[float], _named: Any = _NAMED_NUMBERS.get) -> str:
    """A score or bound as json.dumps writes it (None: null)."""
    named: Optional[str] = _named(value)
    if named is not None:
        return named
    value = float(value)  # type: ignore[arg-type]
    return float.__repr__(value) if value == value else "NaN"


def stored_evidence_text(explained: Mapping[str, Any], chosen_reason: Optional[str] = None) -> str:
    """The evidence of an explain result as the job's database keeps it: the JSON text of its `as_list`
    (json.dumps, ensure_ascii=False), written straight from the result; with `chosen_reason`, that of a
    release whose decision a decisions file chose."""
    artist, title, others = _entry_and_others(explained)
    b1, b2, b3 = map(explained.get, _BELOW)
    by, reason = (explained["decided_by"], explained["reason"]) if chosen_reason is None else (CHOSEN, chosen_reason)
    s = encode_basestring
    listed = "[" + ", ".join(f"[{s(m)}, {s(a)}, {s(t)}]" for m, a, t in others) + "]" if others else "[]"
    return (f"[{'true' if explained['exact'] else 'false'}, {_number_json(explained['token_set'])}, "
            f"{_number_json(explained['token_sort'])}, {_number_json(explained['two_stage'])}, {s(artist)}, "
            f"{s(title)}, {s(by)}, {s(reason)}, {listed}, {_number_json(b1)}, {_number_json(b2)}, {_number_json(b3)}]")


# What `classify --explain` adds after `decision`.
EXPLAIN_COLUMNS = [field.name for field in dataclasses.fields(Evidence)]
# The columns a file of `classify --explain` may lack (written before they were added).
OPTIONAL_EXPLAIN_COLUMNS = ["other_entries", "token_set_below", "token_sort_below", "two_stage_below"]


def describe_thresholds(thresholds: Mapping[str, float], distinct_numbers: bool = False,
                        rules: str = "standard") -> str:
    """The thresholds in a few words, for a summary."""
    keep = "/".join(f"{thresholds[name]:g}" for name in KEEP_THRESHOLDS)
    return (f"keep {keep} (token set/token sort/two-stage), artist gate {thresholds['artist_gate']:g}, "
            f"review floor {thresholds['review_floor']:g}" +
            (", careful rules" if rules == "careful" else ", distinct numbers" if distinct_numbers else ""))


def read_decisions(path: str, encoding: str = "utf-8", delimiter: Optional[str] = None) -> dict[tuple[str, str], str]:
    """The decisions a file chooses, by the match forms of artist and title.
    InputError (one line) for a missing column, an unknown decision or a
    release chosen two ways."""
    require_file(path)
    given: list[tuple[str, str, str, int]] = []
    with open_text(path, encoding=encoding) as f:
        table = CsvInput(f, required=["artist", "title", "decision"], delimiter=delimiter)
        ia, it, idc = (table.column(c) for c in ("artist", "title", "decision"))
        for row in table.rows():
            decision = row[idc].strip().lower()
            if decision not in DECISIONS:
                raise InputError(f"{path} line {table.line}: unknown decision {row[idc]!r} "
                                 "(keep, prune or review)")
            given.append((formula_unguarded(row[ia]), formula_unguarded(row[it]), decision, table.line))
    keys = zip(text.batch_to_match_form([g[0] for g in given]), text.batch_to_match_form([g[1] for g in given]))
    chosen: dict[tuple[str, str], str] = {}
    for key, (artist, title, decision, line) in zip(keys, given):
        before = chosen.setdefault(key, decision)
        if before != decision:
            raise InputError(f"{path} line {line}: {artist!r} - {title!r} is chosen {decision} here and "
                             f"{before} on an earlier line")
    return chosen


class Overrides:
    """A decisions file applied to releases, counting what it matched and changed."""

    def __init__(self, chosen: Mapping[tuple[str, str], str], source: str) -> None:
        self.chosen, self.source = chosen, source
        self.matched = self.changed = 0

    @classmethod
    def read(cls, path: str, encoding: str = "utf-8", source: Optional[str] = None) -> Overrides:
        """The decisions file at `path`, named `source` (default: `path`) in evidence and summaries."""
        return cls(read_decisions(path, encoding), path if source is None else source)

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


def decide(index: LibraryIndex, artists: list[str], titles: list[str], explain: bool = False,
           overrides: Optional[Overrides] = None, exact: bool = False) -> tuple[list[str], list[Evidence]]:
    """The decisions of one chunk of releases, those `overrides` chooses
    replaced, and with `explain` the evidence of each (else none): in
    evidence mode (LibraryIndex.explain with exact=False) unless `exact`."""
    return _decided(artists, titles, _classified(index, artists, titles, explain, exact), explain, overrides)


def _classified(index: LibraryIndex, artists: list[str], titles: list[str], explain: bool,
                exact: bool = False) -> list[Any]:
    """The native call of `decide`: LibraryIndex.explain's results with `explain`, else the decisions."""
    return index.explain(artists, titles, exact=exact) if explain else index.classify(artists, titles)


def _decided(artists: list[str], titles: list[str], classified: list[Any], explain: bool,
             overrides: Optional[Overrides], stored: bool = False) -> tuple[list[str], list[Any]]:
    """The Python work of `decide` on the result of its native call; with `stored`, each evidence as the job's
    database keeps it (`stored_evidence_text`) rather than an Evidence."""
    decisions = [e["decision"] for e in classified] if explain else classified
    if overrides is None:
        return decisions, list(map(stored_evidence_text if stored else Evidence.of, classified)) if explain else []
    chosen = overrides.apply(artists, titles, decisions)
    if not explain:
        return decisions, []
    source = overrides.source
    if stored:
        return decisions, [stored_evidence_text(e, None if c is None else _chosen_reason(c, source))
                           for e, c in zip(classified, chosen)]
    return decisions, [Evidence.of(e) if c is None else Evidence.of(e).chosen(c, source)
                       for e, c in zip(classified, chosen)]


def decided_chunks(index: LibraryIndex, artists: list[str], titles: list[str], explain: bool = False,
                   overrides: Optional[Overrides] = None, progress: Optional[Progress] = None,
                   ahead: bool = False, stored: bool = False) -> Iterator[tuple[list[str], list[Any]]]:
    """`decide` over chunks of CLASSIFY_CHUNK releases in order (with
    `stored`, each evidence as the job's database keeps it), those of a
    window of CLASSIFY_WINDOW once the window is decided: its releases are
    classified in chunks in the order of their artists. With `ahead`, the
    native calls run in a thread of their own
    (`read_ahead`), each next one while the caller's thread makes the
    evidence of the one before and works on it: the calls follow each other
    without waiting for any Python work, which would leave all but one of
    the worker pool's threads idle."""
    windows = range(0, len(artists), CLASSIFY_WINDOW)

    def classified() -> Generator[tuple[list[int], list[str], list[str], list[Any]], None, None]:
        for w in windows:
            order = _artist_order(artists, w, min(w + CLASSIFY_WINDOW, len(artists)))
            for k in range(0, len(order), CLASSIFY_CHUNK):
                places = order[k:k + CLASSIFY_CHUNK]
                chunk_artists, chunk_titles = [artists[p] for p in places], [titles[p] for p in places]
                yield places, chunk_artists, chunk_titles, _classified(index, chunk_artists, chunk_titles, explain)

    made = read_ahead(classified()) if ahead else classified()
    try:
        for w in windows:
            size = min(CLASSIFY_WINDOW, len(artists) - w)
            decisions: list[Any] = [None] * size
            evidence: list[Any] = [None] * size if explain else []
            done = 0
            while done < size:
                places, chunk_artists, chunk_titles, result = next(made)
                chunk_decisions, chunk_evidence = _decided(chunk_artists, chunk_titles, result, explain, overrides,
                                                           stored)
                for place, decision in zip(places, chunk_decisions):
                    decisions[place - w] = decision
                for place, made_evidence in zip(places, chunk_evidence):
                    evidence[place - w] = made_evidence
                done += len(places)
                if progress is not None:
                    progress.update(len(places))
            for k in range(0, size, CLASSIFY_CHUNK):
                yield decisions[k:k + CLASSIFY_CHUNK], evidence[k:k + CLASSIFY_CHUNK]
    finally:
        made.close()


def _artist_order(artists: Sequence[Any], start: int, end: int) -> list[int]:
    """The positions start to end (excluded) in the order of their artists; in their own order where the
    artists do not compare (not all str: the native call says what is wrong)."""
    try:
        return sorted(range(start, end), key=artists.__getitem__)
    except TypeError:
        return list(range(start, end))


def decide_all(index: LibraryIndex, artists: list[str], titles: list[str], explain: bool = False,
               overrides: Optional[Overrides] = None,
               progress: Optional[Progress] = None) -> tuple[list[str], list[Evidence]]:
    """`decide` over chunks of CLASSIFY_CHUNK releases, the same result as one call."""
    decisions: list[str] = []
    evidence: list[Evidence] = []
    for chunk_decisions, chunk_evidence in decided_chunks(index, artists, titles, explain, overrides, progress):
        decisions += chunk_decisions
        evidence += chunk_evidence
    return decisions, evidence
