"""Explained decisions on the command line, decisions files, thresholds as
options, and the review page: its data, and the page itself in headless
Chromium (skipped where Chromium, its driver or selenium is missing)."""

import csv
import io
import json
import os
import re
import shutil
import time
import types
import unicodedata

import pytest

from cli_helpers import one_line_error, read_csv, write
from cli_helpers import main  # noqa: F401  (the fixture)
from zemo_etl import _demo_data, cli, fuzzy, parser, schema, text
from zemo_etl.cli import review
from zemo_etl.job.decisions import CHOSEN, DECISIONS, EXPLAIN_COLUMNS, Evidence
from zemo_etl.job.page import PAGE_NAME, ROW_FIELDS, _bounds, _floored, page_row, render_page, stored_page_rows
from zemo_etl.index import DEFAULT_THRESHOLDS, LibraryIndex

HOSTILE = ["<script>alert(1)</script>", '"><img src=x onerror=alert(1)>', "</script><!--", "a&amp;b",
           '=HYPERLINK("x.invalid/"&A1,"see")']


def rows_of(output):
    return list(csv.DictReader(io.StringIO(output)))


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([header, *rows])
    return path


DIGITS = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"


def records(data):
    """The page's records read back: (decision, flags, [(least, most, kind, rounding bits)] per score)."""
    packed, i, out = data["records"], 0, []
    bounds = dict(data["bounds"])

    def value(at):
        return sum(DIGITS.index(packed[at + k]) << (6 * (2 - k)) for k in range(3))

    while i < len(packed):
        code, scores = DIGITS.index(packed[i]), []
        i += 1
        for _ in range(3):
            v = value(i)
            i += 3
            least, kind, up = (v % 10001) / 10000, v // 10001 // 2, v // 10001 % 2
            most = {0: least, 1: 1.0}.get(kind)
            if kind == 2 + len(bounds):  # given in the record
                most, up = (value(i) % 10001) / 10000, up + 2 * (value(i) // 10001)
                i += 3
            elif most is None:
                most = max(list(bounds.values())[kind - 2] / 10000, least)
            scores.append((least, most, kind, up))
        out.append((DECISIONS[code % 3], code // 3, scores))
    return out


def fold(name):
    """A name decomposed, its combining marks dropped, in lower case."""
    return "".join(c for c in unicodedata.normalize("NFKD", name) if not unicodedata.combining(c)).lower()


def page_data(path):
    """The page's data, and its listed rows as dicts of ROW_FIELDS with what the data shortened written out
    (a reason the page writes again from the scores: None)."""
    block = re.search(r'<script type="application/json" id="data">(.*?)</script>', path.read_text(encoding="utf-8"),
                      re.S).group(1)
    assert not re.search(r"[<>&]", block)  # no name can end the block or open a comment
    data = json.loads(block)
    strings = data["strings"]
    rows = []
    for r, (d, flags, scores) in zip(data["rows"], records(data)):
        row = dict(zip(data["columns"], r))
        row["ma"], row["mt"] = ({0: row[g].lower(), 1: fold(row[g])}.get(row[m], row[m]) for m, g in (("ma", "a"),
                                                                                                  ("mt", "t")))
        row["la"], row["lt"] = (strings[row[f] - 1] if row[f] else row[m] for f, m in (("la", "ma"), ("lt", "mt")))
        row["oe"] = [[data["measures"][m], strings[a - 1] if a else row["ma"], strings[t - 1] if t else row["mt"]]
                     for m, a, t in zip(*[iter(r[len(data["columns"]):])] * 3)]
        row.update(d=d, x=flags & 1, by=data["by"][row["by"]], reason=row["reason"] or None,
                   s1=scores[0][0], s2=scores[1][0], s3=scores[2][0],
                   b=[None if kind == 0 else most for _, most, kind, _ in scores] if flags & 8 else None)
        rows.append(row)
    return data, rows


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    """A small library and releases (hostile names among them, near library
    entries, numbered copies of some for --distinct-numbers), classified with --explain."""
    d = tmp_path_factory.mktemp("review")
    dump, releases, decided = d / "library.sql", d / "releases.csv", d / "decided.csv"
    _demo_data.generate(str(dump), str(releases), 400, 400)
    library = [(r[2] or "", r[1] or "") for r in parser.load_table_rows(str(dump), schema.LIBRARY_TABLE)]
    with open(releases, "a", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([(library[k][0] + " " + h, library[k][1]) for k, h in enumerate(HOSTILE)]
                                + [(h, h) for h in HOSTILE] + [(a, t + " 2") for a, t in library[10:14]])
    assert cli.main(["classify", "--explain", "--library", str(dump), "--releases", str(releases),
                     "-o", str(decided)]) == 0
    return types.SimpleNamespace(dump=dump, releases=releases, decided=decided, library=library,
                                 rows=read_csv(decided), run=["run", "--dump", dump, "--releases", releases])


def test_classify_explain_gives_the_evidence_of_each_decision(job, main):
    # Scores and reasons are LibraryIndex.explain's (test_index_explain.py); here
    # what the command makes of them: columns, text, and the library entry shown.
    rows = job.rows
    assert list(rows[0]) == ["artist", "title", "decision", *EXPLAIN_COLUMNS]
    plain = rows_of(main("classify", "--library", job.dump, "--releases", job.releases).stdout)
    assert [r["decision"] for r in rows] == [r["decision"] for r in plain]
    library = {(text.to_match_form(a), text.to_match_form(t)) for a, t in job.library}
    metrics = {"token_set": fuzzy.token_set_ratio, "token_sort": fuzzy.token_sort_ratio}
    likeliest = LibraryIndex(job.library).explain([r["artist"] for r in rows], [r["title"] for r in rows], exact=False)
    for r, e in zip(rows, likeliest):
        assert (r["library_artist"], r["library_title"]) == (e["entry"][1:] if e["entry"] else ("", ""))
        scores = {m: float(r[m]) for m in ("token_set", "token_sort", "two_stage")}
        assert all(0 <= s <= 1 and repr(round(s, 4)) == r[m] for m, s in scores.items()), r
        # A bounded score: its lower bound cut to four decimals, the bound as given.
        below = {m: float(r[m + "_below"]) if r[m + "_below"] else None for m in scores}
        for m, b in below.items():
            assert (b is None) == (e[m + "_below"] is None) and (b is None or (b == e[m + "_below"] and scores[m] < b))
        pair = (text.to_match_form(r["artist"]), text.to_match_form(r["title"]))
        assert r["exact"] == str(pair in library).lower() and r["reason"], r
        if r["decided_by"] in metrics:  # the entry shown gives the score that decided, or comes closer overall
            shown = metrics[r["decided_by"]](" ||| ".join(pair), r["library_artist"] + " ||| " + r["library_title"])
            bound = below[r["decided_by"]]
            assert round(shown, 4) <= scores[r["decided_by"]] if bound is None else shown < bound, r
        if not (r["library_artist"] or r["library_title"]):
            assert max(scores.values()) == 0.0, r
        # Beside it, the best entry of each measure where it is another: that one gives the measure's score.
        for measures, artist, title in json.loads(r["other_entries"] or "[]"):
            assert (artist, title) != (r["library_artist"], r["library_title"]), r
            for m in set(measures.split(", ")) & set(metrics):
                score = metrics[m](" ||| ".join(pair), artist + " ||| " + title)
                assert round(score, 4) == scores[m] if below[m] is None else scores[m] <= score < below[m], r
    assert sum(r["decided_by"] in metrics for r in rows) > 10
    assert sum(bool(r["other_entries"]) for r in rows) > 10
    assert sum(bool(r["token_sort_below"]) for r in rows) > 10
    exact = rows_of(main("classify", "--explain", "--exact-scores", "--library", job.dump, "--releases",
                         job.releases).stdout)
    assert [r["decision"] for r in exact] == [r["decision"] for r in plain]
    assert not any(r[m + "_below"] for r in exact for m in ("token_set", "token_sort", "two_stage"))
    assert "--exact-scores goes with --explain" in main("classify", "--exact-scores", "--library", job.dump,
                                                        "--releases", job.releases).stderr


INPUTS = {"classify": "--library {dump} --releases {rel}", "run": "--dump {dump} --releases {rel} --workdir {w}",
          "demo": "--workdir {w}", "review": "{decided}"}


@pytest.mark.parametrize("command, options, decisions, words", [
    *[(command, options, None, words) for command in INPUTS for options, words in [
        ("--keep 1.5", "--keep must be a number in [0, 1], got 1.5"),
        ("--artist-gate nan", "--artist-gate must be a number in [0, 1], got nan"),
        ("--review-floor -0.1", "--review-floor must be a number in [0, 1], got -0.1"),
        ("--review-floor 0.6 --token-sort-keep 0.5", "--review-floor (0.6) must not be above --token-sort-keep (0.5)"),
        ("--keep 0.3", "--review-floor (0.4) must not be above --keep (0.3)")]],
    ("classify", "", "artist,title\nx,y\n", "d.csv|no column 'decision'"),
    ("classify", "", "artist,title,decision\nx,y,keep\nz,w,maybe\n", "d.csv line 3: unknown decision 'maybe'"),
    ("classify", "", "artist,title,decision\nX,Y,keep\nx ,y,prune\n", "d.csv line 3:|chosen prune here and keep on"),
    ("classify", "", "artist,title,decision\nx,y\n", "d.csv line 2: 2 fields where the header has 3"),
    ("run", "", "artist,title,decision\nx,y,keep\nz,w,maybe\n", "d.csv line 3: unknown decision 'maybe'"),
])
def test_bad_thresholds_and_decisions_files_are_refused_in_one_line(job, tmp_path, main, command, options,
                                                                   decisions, words):
    if decisions is not None:
        options += f" --decisions {write(tmp_path / 'd.csv', decisions)}"
    argv = f"{command} {INPUTS[command]} {options}".format(dump=job.dump, rel=job.releases, w=tmp_path / "w",
                                                         decided=job.decided).split()
    one_line_error(main(*argv), *words.split("|"))
    assert not (tmp_path / "w").exists()


def key(row):
    return text.to_match_form(row["artist"]), text.to_match_form(row["title"])


def choices(rows):
    """Two releases chosen otherwise than decided, and one as decided: (artist, title, decision) as a
    decisions file gives them, and the decisions by match form."""
    review_row = next(r for r in rows if r["decision"] == "review")
    keep_row = next(r for r in rows if r["decision"] == "keep")
    given = [(review_row["artist"], review_row["title"], "keep"), (keep_row["artist"], keep_row["title"], "prune"),
             (rows[-1]["artist"], rows[-1]["title"], rows[-1]["decision"])]
    return given, {key({"artist": a, "title": t}): d for a, t, d in given}


def test_classify_with_thresholds_and_a_decisions_file(job, tmp_path, main):
    options = ["--keep", "0.9", "--token-sort-keep", "0.85", "--review-floor", "0.3", "--artist-gate", "0.6",
               "--distinct-numbers"]
    index = LibraryIndex(job.library, token_set_keep=0.9, token_sort_keep=0.85, two_stage_keep=0.9,
                         review_floor=0.3, artist_gate=0.6, distinct_numbers=True)
    decided = index.classify([r["artist"] for r in job.rows], [r["title"] for r in job.rows])
    assert decided != [r["decision"] for r in job.rows]
    rows = [{**r, "decision": d} for r, d in zip(job.rows, decided)]
    given, chosen = choices(rows)
    # The names in other case and spacing; a release the file names that is not there.
    given = [(" " + a.upper(), t.upper(), d) for a, t, d in given] + [("nobody", "nothing", "keep")]
    decisions = write_csv(tmp_path / "d.csv", ["artist", "title", "decision"], given)
    done = main("classify", "--explain", "--library", job.dump, "--releases", job.releases, *options,
                "--decisions", decisions)
    matched = [r for r in rows if key(r) in chosen]
    changed = sum(chosen[key(r)] != r["decision"] for r in matched)
    assert f"{len(matched)} decided by {decisions}, {changed} of them changed" in done.stderr
    assert "keep 0.9/0.85/0.9 (token set/token sort/two-stage), artist gate 0.6, review floor 0.3, distinct " \
           "numbers" in done.stderr
    assert [(r["decision"], r["decided_by"] == "decisions") for r in rows_of(done.stdout)] == [
        (chosen.get(key(r), r["decision"]), key(r) in chosen) for r in rows]


def test_run_with_decisions_and_thresholds_redoes_from_classify(job, tmp_path, main):
    args = [*job.run, "--workdir", tmp_path / "w"]
    done = main(*args)
    assert done.returncode == 0 and "thresholds: keep 0.8/0.8/0.8" in done.stdout
    report = read_csv(tmp_path / "w" / "releases_classified.csv")
    assert [r["d"] for r in page_data(tmp_path / "w" / PAGE_NAME)[1]] == [r["decision"] for r in report]
    given, chosen = choices(report)
    decisions = write_csv(tmp_path / "d.csv", ["artist", "title", "decision"], given)

    def redone(extra, reason):
        done = main(*args, *extra)
        assert done.returncode == 0, done.stderr
        assert done.stdout.startswith(f"[redo] classify and the steps after it: {reason}"), done.stdout
        assert "[skip] dedupe_releases" in done.stdout and "[done] classify" in done.stdout
        return done

    done = redone(["--decisions", decisions], "--decisions is given, was not given")
    assert "3 decided by d.csv, 2 of them changed" in done.stdout
    after = read_csv(tmp_path / "w" / "releases_classified.csv")
    assert [chosen.get(key(r), r["decision"]) for r in report] == [r["decision"] for r in after]
    decisions.write_text(decisions.read_text(encoding="utf-8").replace("prune", "keep"), encoding="utf-8")
    redone(["--decisions", decisions], f"--decisions {decisions} changed (")
    redone([], "--decisions is not given, was given")
    assert read_csv(tmp_path / "w" / "releases_classified.csv") == report
    redone(["--keep", "0.9", "--distinct-numbers"], "--token-set-keep is 0.9, was 0.8")
    strict = LibraryIndex(job.library, token_set_keep=0.9, token_sort_keep=0.9, two_stage_keep=0.9,
                          distinct_numbers=True)
    after = read_csv(tmp_path / "w" / "releases_classified.csv")
    assert [r["decision"] for r in after] == strict.classify([r["artist"] for r in after], [r["title"] for r in after])
    # Without the page: the decisions alone, and no page of an earlier run left beside them.
    redone(["--no-review-page"], "--token-set-keep is 0.8, was 0.9")
    assert read_csv(tmp_path / "w" / "releases_classified.csv") == report
    assert not (tmp_path / "w" / PAGE_NAME).exists()


def test_review_page_carries_the_rows_inert(job, tmp_path, main):
    done = main("review", job.decided, "-o", tmp_path / "r.html", "--keep", "0.85")
    assert done.returncode == 0 and "review page of" in done.stderr
    data, rows = page_data(tmp_path / "r.html")
    assert data["thresholds"] == {**DEFAULT_THRESHOLDS, "token_set_keep": 0.85, "token_sort_keep": 0.85,
                                  "two_stage_keep": 0.85}
    assert [(r["a"], r["t"], r["d"], r["la"]) for r in rows] == [
        (r["artist"], r["title"], r["decision"], r["library_artist"]) for r in job.rows]
    assert set(HOSTILE) <= {r["a"] for r in rows}
    assert all(r["ma"] == text.to_match_form(r["a"]) for r in rows)
    page = (tmp_path / "r.html").read_text(encoding="utf-8")
    assert "http" not in page.replace("http://www.w3.org/2000/svg", "").replace("http-equiv", "")

    plain = write_csv(tmp_path / "plain.csv", ["artist", "title", "decision"], [("a", "b", "keep")])
    one_line_error(main("review", plain), "no column 'exact'", "classify --explain")
    broken = tmp_path / "broken.csv"
    broken.write_text(re.sub(",(true|false),", ",yes,", job.decided.read_text(encoding="utf-8"), count=1),
                      encoding="utf-8")
    one_line_error(main("review", broken, "-o", tmp_path / "x.html"), "exact must be true or false")
    assert not (tmp_path / "x.html").exists()
    # A file from before other_entries was written still makes a page; a cell that is no list of entries does not.
    header, *body = list(csv.reader(io.StringIO(job.decided.read_text(encoding="utf-8"))))
    k = header.index("other_entries")
    older = write_csv(tmp_path / "older.csv", header[:k] + header[k + 1:], [r[:k] + r[k + 1:] for r in body])
    assert main("review", older, "-o", tmp_path / "older.html").returncode == 0
    assert all(r["oe"] == [] for r in page_data(tmp_path / "older.html")[1])
    for cell in ('{"a": 1}', '[["token_set", "x"]]', "[[1, 2, 3]]", "not json"):
        bad = write_csv(tmp_path / "bad.csv", header, [body[0][:k] + [cell] + body[0][k + 1:]])
        one_line_error(main("review", bad, "-o", tmp_path / "x.html"), "bad.csv line 2: other_entries must be")
    # A file from before the scores' bounds: every score exact. A bound not above its score, or no number, is refused.
    k = header.index("token_set_below")
    assert header[k:] == ["token_set_below", "token_sort_below", "two_stage_below"]
    exact = write_csv(tmp_path / "exact.csv", header[:k], [r[:k] for r in body])
    assert main("review", exact, "-o", tmp_path / "exact.html").returncode == 0
    assert all(r["b"] is None for r in page_data(tmp_path / "exact.html")[1])
    row = body[0][:k] + ["", "", ""]
    row[header.index("token_sort")] = "0.5"
    for bound, words in [("0.5", "token_sort_below bound must lie above"), ("0.4", "bound must lie above"),
                         ("nan", "bound must lie above"), ("high", "their bounds numbers or empty")]:
        bad = write_csv(tmp_path / "bad.csv", header, [row[:k + 1] + [bound] + row[k + 2:]])
        one_line_error(main("review", bad, "-o", tmp_path / "x.html"), "bad.csv line 2:", words)


@pytest.mark.parametrize("spare", [0, -1])
def test_page_rows_are_read_once_and_listed_whole_up_to_the_limit(job, tmp_path, monkeypatch, spare):
    # The rows come as an iterator: all listed at the limit, one past it only
    # those in review, the others packed into the scores, a block at a time.
    every = review.read_explained(str(job.decided))
    page = tmp_path / "r.html"
    page.write_text(render_page(iter(every), DEFAULT_THRESHOLDS, list_all_up_to=len(every) + spare),
                    encoding="utf-8")
    monkeypatch.setattr("zemo_etl.job.page._BLOCK", 3)
    assert render_page(every, DEFAULT_THRESHOLDS, list_all_up_to=len(every) + spare) == page.read_text(
        encoding="utf-8")
    data, rows = page_data(page)
    shown = [r for r in every if not spare or r[4] == "review"]
    assert data["listed"] == ("review" if spare else "all") and 0 < len(shown)
    assert [(r["a"], r["d"]) for r in rows] == [(r[0], r[4]) for r in shown]
    assert [(r["la"], r["lt"], r["oe"], r["by"]) for r in rows] == [(r[9], r[10], r[13], r[11]) for r in shown]
    unlisted = [r for r in every if spare and r[4] != "review"]
    assert data["unlisted"] == len(unlisted)
    # A record per release, the listed ones first: decision, flags, and each score as far as it is known.
    assert [(d, flags, [s[:2] for s in scores]) for d, flags, scores in records(data)] == [
        (r[4], r[5] + 2 * (r[11] == "numbers") + 4 * (r[11] == CHOSEN) + 8 * (_bounds(r) is not None),
         [(_floored(s), _floored(s) if b is None else b) for s, b in zip(r[6:9], _bounds(r) or [None] * 3)])
        for r in [*shown, *unlisted]]
    # Match forms that are the names in lower case or folded are left for the page to make.
    assert {0, 1} <= {r[2] for r in data["rows"]}
    # Ten digits each: the job's bounds are thresholds or none, which take no digits of their own.
    assert len(data["records"]) == 10 * len(every)
    # The page writes again the reasons of exact scores (a bounded one is cut in the file, its reason rounded).
    exact = [r for r in rows if r["b"] is None and r["by"] in ("token_set", "token_sort", "all", "exact")]
    assert all(r["reason"] is None for r in exact) and (spare or len(exact) > 10)


@pytest.mark.parametrize("kept", [12, 9, 8])  # as kept now; before the bounds; before other_entries
def test_page_rows_of_stored_evidence_are_those_of_its_evidence(kept):
    stored = [e.as_list()[:kept] for e in (Evidence(False, 0.5, 0.0, 0.25, "a", "b", "all", "why", [["token_set", "c",
              "d"]], None, 0.8, float("inf")), Evidence(True, 1.0, 1.0, 1.0, "x", "y", "exact", "exact pair", [],
                                                        None, None, None))]
    names = [["A", "T", "a", "t", "keep"], ["X", "Y", "x", "y", "review"]]
    assert list(stored_page_rows(*zip(*names), stored)) == [
        page_row(*n, Evidence.from_list(e)) for n, e in zip(names, stored)]


# A release's decision and evidence (exact, scores, bounds, decided by) with the reason the classifier gives,
# and whether the page writes that reason again from what it holds or keeps its text.
inf = float("inf")
NONE = (None, None, None)
REASONS = [
    (("review", False, (0.79996, 0.9, 0.9), NONE, "token_set"), "token_set 0.80 in the review band [0.40, 0.80)",
     True),
    (("review", False, (0.9, 0.9, 0.15625), NONE, "all"),
     "token_set 0.90, token_sort 0.90, two_stage 0.1562: some at or above the review floor 0.40, not all at their "
     "keep values", True),
    (("keep", True, (1.0, 1.0, 1.0), NONE, "exact"), "exact pair in the library", True),
    (("prune", False, (0.1, 0.2, 0.3), NONE, "all"), "all three scores below the review floor 0.40", True),
    (("keep", False, (0.81, 0.85, 0.9), (inf, None, inf), "all"), "all three scores at or above their keep values",
     True),
    (("review", False, (0.857162, 0.0, 0.70757), (inf, inf, None), "all"),
     "token_set at least 0.8572, token_sort not scored, two_stage 0.7076: some at or above the review floor "
     "0.40, not all at their keep values", True),
    (("review", False, (0.85, 0.742857, 0.84), (inf, 0.8, inf), "token_sort"),
     "token_sort 0.7429 to below 0.80 in the review band [0.40, 0.80)", True),
    (("review", False, (0.9, 0.5, 0.9), (None, 0.65437, None), "token_sort"),
     "token_sort 0.50 to below 0.6544 in the review band [0.40, 0.80)", True),
    (("review", False, (0.9, 0.0, 0.9), (None, 0.8, inf), "all"),
     "token_set 0.90, token_sort below 0.80, two_stage at least 0.90: some at or above the review floor 0.40, "
     "not all at their keep values", True),
    (("review", False, (0.5, 0.9, 0.45), (None, None, 0.8), "token_set"),
     "token_set 0.50 in the review band [0.40, 0.80)", True),
    # The number guard, a score the page holds as 0 though it is not, and a reason of the careful rules.
    (("review", False, (0.9, 0.9, 0.9), NONE, "numbers"), "title numbers 2 differ from the library entry's 3",
     False),
    (("review", False, (0.00001, 0.5, 0.9), (inf, None, None), "all"),
     "token_set at least 0.00, token_sort 0.50, two_stage 0.90: some at or above the review floor 0.40, not all "
     "at their keep values", False),
    (("keep", False, (0.9, 0.9, 0.9), NONE, "all"), "all three best scores at or above their keep values", False),
]


def reason_row(values, reason, artist="x"):
    decision, exact, scores, below, by = values
    return page_row(artist, "y", artist, "y", decision, Evidence(exact, *scores, "", "", by, reason, [], *below))


@pytest.mark.parametrize("values, reason, rebuilt", REASONS)
def test_the_page_writes_the_classifiers_reasons_from_what_it_holds(values, reason, rebuilt, tmp_path):
    page = tmp_path / "r.html"
    page.write_text(render_page([reason_row(values, reason)], DEFAULT_THRESHOLDS), encoding="utf-8")
    row, = page_data(page)[1]
    assert row["reason"] == (None if rebuilt else reason)


def test_a_threshold_of_more_decimals_than_the_page_keeps_leaves_the_reason_written_out(tmp_path):
    # 0.80007 reaches 0.80005, but the page holds 0.8 of it: it would call it in the review band.
    th = {**DEFAULT_THRESHOLDS, "token_set_keep": 0.80005}
    row = reason_row(("keep", False, (0.80007, 0.9, 0.9), NONE, "all"), "all three scores at or above their keep "
                     "values")
    page = tmp_path / "r.html"
    page.write_text(render_page([row], th), encoding="utf-8")
    assert page_data(page)[1][0]["reason"] == "all three scores at or above their keep values"


# --- the page in a browser -----------------------------------------------------

try:
    from selenium import webdriver
    from selenium.common.exceptions import NoAlertPresentException
    from selenium.webdriver.chrome.service import Service
except ImportError:
    webdriver = None

CHROMIUM, CHROMEDRIVER = shutil.which("chromium"), shutil.which("chromedriver")


@pytest.fixture(scope="module")
def browser(tmp_path_factory):
    if webdriver is None or not (CHROMIUM and CHROMEDRIVER):
        pytest.skip("needs selenium (pip install selenium), Chromium and its driver (Debian: chromium chromium-driver)")
    downloads = tmp_path_factory.mktemp("downloads")
    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,800"):
        options.add_argument(arg)
    options.binary_location = CHROMIUM
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads),
                                              "download.prompt_for_download": False})
    # The driver given by path: selenium does not look for one on the network.
    # A sanitizer preloaded into the tests is not meant for the browser.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    driver = webdriver.Chrome(options=options, service=Service(CHROMEDRIVER, env=env))
    driver.set_page_load_timeout(60)
    driver.set_script_timeout(60)
    driver.downloads = downloads
    yield driver
    driver.quit()


def shown(driver):
    """(artist, decision, token set) of each row on the page now."""
    return driver.execute_script("""return Array.from(document.querySelectorAll('#rows tbody tr')).map(tr =>
        [tr.querySelector('.artist').textContent, tr.querySelector('.decision').textContent,
         Number(tr.querySelectorAll('.score')[0].firstChild.textContent)]);""")


def set_control(driver, element_id, value):
    """Set a control as a user would; the number of rows it leaves shown."""
    driver.execute_script("""const e = document.getElementById(arguments[0]);
        if (e.type === 'checkbox') e.checked = arguments[1]; else e.value = arguments[1];
        e.dispatchEvent(new Event('change'));""", element_id, value)
    return int(driver.find_element("id", "shown").text.replace(",", ""))


def test_the_page_in_a_browser_and_its_choices_in_the_next_run(job, browser, tmp_path, main):
    args = [*job.run, "--workdir", tmp_path / "w"]
    assert main(*args).returncode == 0
    rows = page_data(tmp_path / "w" / PAGE_NAME)[1]
    d = browser
    d.get((tmp_path / "w" / PAGE_NAME).as_uri())
    assert d.execute_script("return document.body.dataset.ready") == "true"
    assert [e for e in d.get_log("browser") if e["level"] in ("SEVERE", "WARNING")] == []
    counts = {k: sum(r["d"] == k for r in rows) for k in ("keep", "prune", "review")}
    assert {k: int(d.find_element("id", f"count-{k}").text.replace(",", "")) for k in counts} == counts
    assert int(d.find_element("id", "shown").text) == counts["review"]
    assert set_control(d, "filter-keep", True) == counts["review"] + counts["keep"]
    assert {row[1] for row in shown(d)} == {"keep", "review"}
    assert set_control(d, "filter-prune", True) == len(rows)
    set_control(d, "range-measure", "s1")
    assert set_control(d, "range-min", "0.5") == sum(r["s1"] >= 0.5 for r in rows)
    assert set_control(d, "range-max", "0.7") == sum(0.5 <= r["s1"] <= 0.7 for r in rows)
    set_control(d, "range-min", "0")
    set_control(d, "range-max", "1")
    d.find_element("css selector", "button[data-sort=s1]").click()  # best first
    scores = [row[2] for row in shown(d)]
    assert len(scores) == 100 and scores == sorted(scores, reverse=True) and scores[0] == max(r["s1"] for r in rows)

    # Hostile names are found by search and shown as the text they are; nothing runs.
    assert set_control(d, "search", "alert(1)") == sum("alert(1)" in r["a"] for r in rows)
    assert {h for h in HOSTILE if "alert" in h} <= {row[0] for row in shown(d)}
    # A name is found by its match form too, which the page folds from the name.
    folded = next(r for r in rows if r["ma"] != r["a"].lower() and r["ma"] == fold(r["a"]) and r["d"] == "review")
    assert set_control(d, "search", folded["ma"]) >= 1 and folded["a"] in {row[0] for row in shown(d)}
    set_control(d, "search", "alert(1)")
    assert d.execute_script("return document.querySelectorAll('#rows img, #rows script').length") == 0
    assert d.execute_script("return document.scripts.length") == 2
    with pytest.raises(NoAlertPresentException):
        d.switch_to.alert

    # Two of them chosen by hand, exported, and applied by the next run.
    picked = {}
    for box, choice in zip(d.find_elements("css selector", "#rows tbody select.choice")[:2], ["keep", "prune"]):
        artist = box.find_element("xpath", "../..").find_element("css selector", ".artist").text
        d.execute_script("arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('change'));",
                         box, choice)
        picked[artist] = choice
    # And a name a spreadsheet would run as a formula.
    assert set_control(d, "search", "HYPERLINK") >= 1
    box, formula = next((b, b.find_element("xpath", "../..").find_element("css selector", ".artist").text)
                        for b in d.find_elements("css selector", "#rows tbody select.choice")
                        if b.find_element("xpath", "../..").find_element("css selector", ".artist").text[0] == "=")
    d.execute_script("arguments[0].value = 'keep'; arguments[0].dispatchEvent(new Event('change'));", box)
    picked[formula] = "keep"
    assert formula.startswith("=") and d.find_element("id", "count-chosen").text == "3"
    d.find_element("id", "export").click()
    exported = browser.downloads / "decisions.csv"
    exported_rows = []
    for _ in range(300):
        # The download lands in the background, and the file may be there before all of it is written.
        if exported.exists() and not list(browser.downloads.glob("*.crdownload")):
            try:
                exported_rows = read_csv(exported)
            except (OSError, UnicodeDecodeError):  # moved or cut as it is read
                exported_rows = []
            if len(exported_rows) >= len(picked):
                break
        time.sleep(0.1)
    assert list(exported_rows[0]) == ["artist", "title", "decision"]
    assert {r["artist"]: r["decision"] for r in exported_rows} == {
        "'" + a if a == formula else a: c for a, c in picked.items()}
    assert [e for e in d.get_log("browser") if e["level"] == "SEVERE"] == []
    done = main(*args, "--fresh", "--decisions", exported)
    assert done.returncode == 0 and "3 decided by decisions.csv" in done.stdout
    report = {r["artist"]: r["decision"] for r in read_csv(tmp_path / "w" / "releases_classified.csv")}
    assert {a: report[a] for a in picked} == picked


def _decide_scores(r, s1, s2, s3, th):
    """The classifier's steps on three scores of a page row, as the page applies them to moved thresholds."""
    if r["by"] == CHOSEN:
        return r["d"]
    if r["x"]:
        return "keep"
    floor = th["review_floor"]
    if floor <= s1 < th["token_set_keep"] or floor <= s2 < th["token_sort_keep"]:
        return "review"
    if s1 >= th["token_set_keep"] and s2 >= th["token_sort_keep"] and s3 >= th["two_stage_keep"]:
        return "review" if r["by"] == "numbers" else "keep"
    return "prune" if max(s1, s2, s3) < floor else "review"


def _decisions(r, th):
    """The decisions a page row can take: its scores where exact, else any value of four decimals within its
    bounds (those at and just under each threshold stand for the rest)."""
    def values(j):
        low, most = r[f"s{j + 1}"], (r["b"] or [None] * 3)[j]
        if most is None:
            return [low]
        inside = {low, most, *(v for t in th.values() for v in (t, round(t - 0.0001, 4)) if low <= v <= most)}
        return sorted(inside)
    return {_decide_scores(r, s1, s2, s3, th) for s1 in values(0) for s2 in values(1) for s3 in values(2)}


def _decide(r, th):
    decided, = _decisions(r, th)
    return decided


def _changes(rows, th, moved):
    """A what-if cell: how many rows surely change decision, and how many more may."""
    base = [_decide(r, th) for r in rows]
    possible = [_decisions(r, moved) for r in rows]
    surely = sum(b not in p for b, p in zip(base, possible))
    maybe = sum(b in p and len(p) > 1 for b, p in zip(base, possible))
    return f"{surely:,}–{surely + maybe:,}" if maybe else f"{surely:,}"


@pytest.mark.parametrize("list_all_up_to", [10_000, 50])
def test_a_page_listing_only_the_review_rows_counts_every_release(job, browser, tmp_path, list_all_up_to):
    every = review.read_explained(str(job.decided))
    # Rows whose flags decide against their scores, among those packed when only review rows are listed: a
    # prune chosen by a decisions file, a review of the number guard, an exact keep; and scores to be cut.
    by = ROW_FIELDS.index("by")
    every[0] = page_row(*every[0][:4], "prune", Evidence(False, 0.85, 0.85, 0.85, "", "", "", "", [], None, None, None).chosen(
        "prune", "d.csv"))
    every[1][4:9], every[1][by] = ["review", 0, 0.85, 0.85, 0.85], "numbers"
    every[2][4:9], every[2][by] = ["keep", 1, 0.5, 0.5, 0.5], "exact"
    every[3][6:9] = [0.79999, 0.8, 0.40005]  # cut to four decimals, never above
    for r in every[1:4]:
        r[ROW_FIELDS.index("b")] = [None] * 3  # exact
    # And the reasons of each kind, listed or not, some the page writes again and some it keeps.
    every[4:4 + len(REASONS)] = [reason_row(values, reason, f"reason {k}") for k, (values, reason, _) in
                                 enumerate(REASONS)]
    page = tmp_path / "r.html"
    page.write_text(render_page(every, DEFAULT_THRESHOLDS, list_all_up_to=list_all_up_to), encoding="utf-8")
    data, listed = page_data(page)
    everything = len(every) <= list_all_up_to
    assert [r["a"] for r in listed] == [r[0] for r in every if everything or r[4] == "review"]
    rows = [dict(zip(ROW_FIELDS, [*r[:6], *map(_floored, r[6:9]), *r[9:14], _bounds(r)])) for r in every]
    assert (rows[3]["s1"], rows[3]["s2"], rows[3]["s3"]) == (0.7999, 0.8, 0.4)
    assert sum(bool(r["b"]) for r in rows) > 10

    browser.get(page.as_uri())
    assert browser.execute_script("return document.body.dataset.ready") == "true"
    assert [e for e in browser.get_log("browser") if e["level"] in ("SEVERE", "WARNING")] == []
    counts = {k: sum(r["d"] == k for r in rows) for k in DECISIONS}
    assert {k: int(browser.find_element("id", f"count-{k}").text.replace(",", "")) for k in counts} == counts
    assert browser.find_element("id", "filter-keep").is_enabled() == everything
    # The what-if table over every release, listed or not.
    table = browser.execute_script("""return Array.from(document.querySelectorAll('#whatif-table tbody tr')).map(
        tr => Array.from(tr.cells).slice(5).map(td => td.textContent));""")
    th = dict(DEFAULT_THRESHOLDS)
    for name, cells in zip(["token_set_keep", "token_sort_keep", "two_stage_keep", "review_floor"], table):
        for delta, cell in zip([-0.1, -0.05, 0.05, 0.1], cells):
            moved = {**th, name: round((th[name] + delta) * 100) / 100}
            assert cell == _changes(rows, th, moved), (name, delta)
    # Counts are ranges where some score's bounds straddle the value tried; a slider's too, up to a floor
    # above the keep values.
    assert any("–" in cell for cells in table for cell in cells)
    for name, value in [("token_set_keep", "0.73"), ("review_floor", "0.9"), ("two_stage_keep", "0")]:
        tried = browser.execute_script("""var s = document.getElementById('try-' + arguments[0]);
            s.value = arguments[1]; s.dispatchEvent(new Event('input'));
            return document.getElementById('change-' + arguments[0]).textContent;""", name, value)
        assert tried == _changes(rows, th, {**th, name: float(value)}), name
    # Every row listed, page by page, writes out what the data shortened: match forms, library forms, and
    # the classifier's own reason, whether the page wrote it again or kept its text.
    set_control(browser, "filter-keep", everything)
    set_control(browser, "filter-prune", everything)
    shown_rows = []
    while True:
        shown_rows += browser.execute_script("""return Array.from(document.querySelectorAll('#rows tbody tr')).map(
            tr => [Number(tr.dataset.row), ...Array.from(tr.querySelectorAll('.form')).map(e => e.textContent),
                   tr.querySelector('.reason').textContent]);""")
        if not browser.find_element("id", "page-next").is_enabled():
            break
        browser.find_element("id", "page-next").click()
    given = [(r, g) for r, g in zip(rows, every) if everything or r["d"] == "review"]
    assert [i for i, *_ in shown_rows] == list(range(len(given)))
    for i, *forms, reason in shown_rows:
        r, g = given[i]
        # The likeliest entry, then each other measure's best beside it.
        assert forms == [r["ma"], r["mt"], *([r["la"], r["lt"]] if r["la"] or r["lt"] else []),
                         *[form for _, *entry in r["oe"] for form in entry]]
        assert reason == g[ROW_FIELDS.index("reason")]
    kept = {r["a"]: r["reason"] for r in listed if r["a"].startswith("reason ")}
    assert kept == {f"reason {k}": None if rebuilt else reason for k, (_, reason, rebuilt) in enumerate(REASONS)
                    if f"reason {k}" in kept} and len(kept) >= 9
    # Each release in one bar, or where its score's range spans several, in the notes beside them.
    bars = browser.execute_script("""return Array.from(document.querySelectorAll('#charts figure')).map(
        fig => Array.from(fig.querySelectorAll('rect title, ul.spans li')).reduce(
            (n, t) => n + parseInt(t.textContent.replace(/,/g, '')), 0));""")
    assert bars == [len(rows)] * 3
