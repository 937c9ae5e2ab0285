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

import pytest

from zemo_etl import _demo_data, cli, fuzzy, parser, schema, text
from zemo_etl.cli import review
from zemo_etl.index import DEFAULT_THRESHOLDS, LibraryIndex

HOSTILE = ["<script>alert(1)</script>", '"><img src=x onerror=alert(1)>', "</script><!--", "a&amp;b"]


def main(capsys, *args):
    """Exit status, standard output and standard error of one command."""
    capsys.readouterr()
    status = cli.main([str(a) for a in args])
    out, err = capsys.readouterr()
    return status, out, err


def one_line_error(result, *words):
    status, _, err = result
    assert status == 2 and err.count("\n") == 1 and all(w in err for w in words), err


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def write_csv(path, header, rows):
    with open(path, "w", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([header, *rows])
    return path


@pytest.fixture(scope="module")
def job(tmp_path_factory):
    """A small library and releases (hostile names among them, near library
    entries), classified with --explain."""
    d = tmp_path_factory.mktemp("review")
    dump, releases = d / "library.sql", d / "releases.csv"
    _demo_data.generate(str(dump), str(releases), 400, 400)
    library = [(r[2] or "", r[1] or "") for r in parser.load_table_rows(str(dump), schema.LIBRARY_TABLE)]
    with open(releases, "a", newline="", encoding="utf-8") as f:
        csv.writer(f).writerows([(library[k][0] + " " + h, library[k][1]) for k, h in enumerate(HOSTILE)]
                                + [(h, h) for h in HOSTILE])
    decided = d / "decided.csv"
    assert cli.main(["classify", "--explain", "--library", str(dump), "--releases", str(releases),
                     "-o", str(decided)]) == 0
    return types.SimpleNamespace(dir=d, dump=dump, releases=releases, decided=decided, library=library,
                                 rows=read_csv(decided))


def test_classify_explain_gives_the_evidence_of_each_decision(job, capsys):
    status, plain, _ = main(capsys, "classify", "--library", job.dump, "--releases", job.releases)
    assert status == 0
    rows = job.rows
    assert list(rows[0]) == ["artist", "title", "decision", *review.EXPLAIN_COLUMNS]
    assert [r["decision"] for r in rows] == [r["decision"] for r in csv.DictReader(io.StringIO(plain))]
    assert {r["decision"] for r in rows} == {"keep", "prune", "review"}
    th = DEFAULT_THRESHOLDS
    keep = {"token_set": th["token_set_keep"], "token_sort": th["token_sort_keep"]}
    library = {(text.to_match_form(a), text.to_match_form(t)) for a, t in job.library}
    for r in rows:
        scores = {m: float(r[m]) for m in ("token_set", "token_sort", "two_stage")}
        assert all(0 <= s <= 1 and repr(round(s, 4)) == r[m] for m, s in scores.items()), r
        pair = (text.to_match_form(r["artist"]), text.to_match_form(r["title"]))
        assert (r["exact"] == "true") == (pair in library), r
        by = r["decided_by"]
        assert by in ("exact", "token_set", "token_sort", "all"), r
        assert (by == "exact") == (r["exact"] == "true") and r["reason"]
        if by in keep:  # a score in the review band decided, against the entry shown
            assert r["decision"] == "review" and th["review_floor"] <= scores[by] < keep[by], r
            metric = fuzzy.token_set_ratio if by == "token_set" else fuzzy.token_sort_ratio
            shown = metric(" ||| ".join(pair), r["library_artist"] + " ||| " + r["library_title"])
            assert round(shown, 4) == scores[by], r
        if not (r["library_artist"] or r["library_title"]):
            assert max(scores.values()) == 0.0, r
    assert sum(r["decided_by"] in keep for r in rows) > 10


def test_resolve_explain_says_why(tmp_path, capsys):
    catalog = tmp_path / "artists.txt"
    catalog.write_text("Radiohead\nStereolab\nStereolabs\nBjörk\n", encoding="utf-8")
    names = tmp_path / "names.txt"
    names.write_text("RADIOHEAD\nstereolab x\nbjork\nportishead\n\n", encoding="utf-8")
    status, plain, _ = main(capsys, "resolve", "--catalog", catalog, names)
    status, out, _ = main(capsys, "resolve", "--catalog", catalog, "--explain", names)
    assert status == 0
    rows = list(csv.DictReader(io.StringIO(out)))
    assert list(rows[0]) == ["name", "match", "best", "best_score", "runner_up", "runner_up_score", "outcome", "reason"]
    assert [(r["name"], r["match"]) for r in rows] == [tuple(r) for r in csv.reader(io.StringIO(plain))][1:]
    assert [r["outcome"] for r in rows] == ["resolved", "ambiguous", "resolved", "below_threshold",
                                            "below_threshold"]
    for r in rows:
        assert (r["outcome"] == "resolved") == bool(r["match"]) and r["reason"]
        if r["match"]:
            assert r["best"] == r["match"] and float(r["best_score"]) >= 0.85
        if r["runner_up"]:
            assert float(r["runner_up_score"]) <= float(r["best_score"])
    assert {rows[1]["best"], rows[1]["runner_up"]} == {"Stereolab", "Stereolabs"}


@pytest.mark.parametrize("options, words", [
    (["--keep", "1.5"], ["--keep 1.5: must lie between 0 and 1"]),
    (["--artist-gate", "nan"], ["--artist-gate nan"]),
    (["--review-floor", "-0.1"], ["--review-floor -0.1"]),
    (["--review-floor", "0.6", "--token-sort-keep", "0.5"], ["--review-floor 0.6 lies above --token-sort-keep 0.5"]),
    (["--keep", "0.3"], ["--review-floor 0.4 lies above --keep 0.3"]),
])
@pytest.mark.parametrize("command", ["classify", "run", "demo", "review"])
def test_bad_thresholds_are_refused_in_one_line(job, tmp_path, capsys, options, words, command):
    inputs = {"classify": ["--library", job.dump, "--releases", job.releases],
              "run": ["--dump", job.dump, "--releases", job.releases, "--workdir", tmp_path / "w"],
              "demo": ["--workdir", tmp_path / "w"], "review": [job.decided]}[command]
    one_line_error(main(capsys, command, *inputs, *options), *words)
    assert not (tmp_path / "w").exists()


def test_thresholds_change_the_decisions_and_are_echoed(job, capsys):
    options = ["--keep", "0.9", "--token-sort-keep", "0.85", "--review-floor", "0.3", "--artist-gate", "0.6",
               "--distinct-numbers"]
    status, out, err = main(capsys, "classify", "--library", job.dump, "--releases", job.releases, *options)
    assert status == 0
    rows = list(csv.DictReader(io.StringIO(out)))
    index = LibraryIndex(job.library, token_set_keep=0.9, token_sort_keep=0.85, two_stage_keep=0.9,
                         review_floor=0.3, artist_gate=0.6, distinct_numbers=True)
    decisions = [r["decision"] for r in rows]
    assert decisions == index.classify([r["artist"] for r in rows], [r["title"] for r in rows])
    assert decisions != [r["decision"] for r in job.rows]
    assert "keep 0.9/0.85/0.9 (token set/token sort/two-stage), artist gate 0.6, review floor 0.3, distinct " \
           "numbers" in err


@pytest.mark.parametrize("content, words", [
    ("artist,title\nx,y\n", ["no column 'decision'"]),
    ("artist,title,decision\nx,y,keep\nz,w,maybe\n", ["line 3: unknown decision 'maybe'"]),
    ("artist,title,decision\nX,Y,keep\nx ,y,prune\n", ["line 3:", "chosen prune here and keep on an earlier line"]),
    ("artist,title,decision\nx,y\n", ["line 2: 2 fields where the header has 3"]),
])
@pytest.mark.parametrize("command", ["classify", "run"])
def test_bad_decisions_files_are_refused_in_one_line(job, tmp_path, capsys, content, words, command):
    (tmp_path / "d.csv").write_text(content, encoding="utf-8")
    inputs = (["--library", job.dump, "--releases", job.releases] if command == "classify"
              else ["--dump", job.dump, "--releases", job.releases, "--workdir", tmp_path / "w"])
    one_line_error(main(capsys, command, *inputs, "--decisions", tmp_path / "d.csv"), "d.csv", *words)
    assert not (tmp_path / "w").exists()


def _choices(rows):
    """Two releases chosen otherwise than decided (their names in other case and spacing), and one as decided."""
    review_row = next(r for r in rows if r["decision"] == "review")
    keep_row = next(r for r in rows if r["decision"] == "keep")
    return {(review_row["artist"], review_row["title"]): "keep", (keep_row["artist"], keep_row["title"]): "prune",
            (rows[-1]["artist"], rows[-1]["title"]): rows[-1]["decision"]}


def test_classify_applies_a_decisions_file(job, tmp_path, capsys):
    chosen = _choices(job.rows)
    given = [(" " + a.upper(), t.upper(), d) for (a, t), d in chosen.items()] + [("nobody", "nothing", "keep")]
    decisions = write_csv(tmp_path / "d.csv", ["artist", "title", "decision"], given)
    status, out, err = main(capsys, "classify", "--explain", "--library", job.dump, "--releases", job.releases,
                            "--decisions", decisions)
    assert status == 0 and f"3 decided by {decisions}, 2 of them changed" in err
    rows = list(csv.DictReader(io.StringIO(out)))
    for before, after in zip(job.rows, rows):
        wanted = chosen.get((before["artist"], before["title"]))
        assert after["decision"] == (wanted or before["decision"])
        assert (after["decided_by"] == "decisions") == (wanted is not None)


def test_run_with_decisions_and_thresholds_resumes_only_on_the_same(job, tmp_path, capsys):
    args = ["run", "--dump", job.dump, "--releases", job.releases, "--workdir", tmp_path / "w"]
    status, out, _ = main(capsys, *args)
    assert status == 0 and "thresholds: keep 0.8/0.8/0.8" in out
    report = read_csv(tmp_path / "w" / "releases_classified.csv")
    page = _page_data((tmp_path / "w" / review.PAGE_NAME).read_text(encoding="utf-8"))
    assert [r[4] for r in page["rows"]] == [r["decision"] for r in report]
    chosen = _choices(report)
    decisions = write_csv(tmp_path / "d.csv", ["artist", "title", "decision"], [(*k, d) for k, d in chosen.items()])
    for extra, refused in [(["--decisions", decisions], "--decisions was not recorded"),
                           (["--keep", "0.9"], "--token-set-keep is 0.9, the run began with 0.8"),
                           (["--distinct-numbers"], "--distinct-numbers is given, the run began with not given"),
                           (["--no-review-page"], "--no-review-page is given, the run began with not given")]:
        one_line_error(main(capsys, *args, *extra), "cannot resume:", refused)
    status, out, _ = main(capsys, *args, "--decisions", decisions, "--fresh")
    assert status == 0 and "3 decided by d.csv, 2 of them changed" in out
    after = read_csv(tmp_path / "w" / "releases_classified.csv")
    assert [chosen.get((r["artist"], r["title"]), r["decision"]) for r in report] == [r["decision"] for r in after]
    decisions.write_text(decisions.read_text(encoding="utf-8").replace("prune", "keep"), encoding="utf-8")
    one_line_error(main(capsys, *args, "--decisions", decisions), "cannot resume: --decisions", "d.csv changed")
    one_line_error(main(capsys, *args), "cannot resume: --decisions is not given, the run began with given")
    assert main(capsys, *args, "--fresh", "--keep", "0.9", "--distinct-numbers")[0] == 0
    strict = LibraryIndex(job.library, token_set_keep=0.9, token_sort_keep=0.9, two_stage_keep=0.9,
                          distinct_numbers=True)
    after = read_csv(tmp_path / "w" / "releases_classified.csv")
    assert [r["decision"] for r in after] == strict.classify([r["artist"] for r in after], [r["title"] for r in after])
    # Without the page: the decisions alone, and no page of an earlier run left beside them.
    assert main(capsys, *args, "--fresh", "--no-review-page")[0] == 0
    assert read_csv(tmp_path / "w" / "releases_classified.csv") == report
    assert not (tmp_path / "w" / review.PAGE_NAME).exists()


def _page_data(page):
    block = re.search(r'<script type="application/json" id="data">(.*?)</script>', page, re.S).group(1)
    return json.loads(block)


def test_review_page_carries_the_rows_inert(job, tmp_path, capsys):
    status, _, err = main(capsys, "review", job.decided, "-o", tmp_path / "r.html", "--keep", "0.85")
    assert status == 0 and "review page of" in err
    page = (tmp_path / "r.html").read_text(encoding="utf-8")
    block = re.search(r'id="data">(.*?)</script>', page, re.S).group(1)
    assert not re.search(r"[<>&]", block)  # no name can end the block or open a comment
    data = _page_data(page)
    assert data["thresholds"] == {**DEFAULT_THRESHOLDS, "token_set_keep": 0.85, "token_sort_keep": 0.85,
                                  "two_stage_keep": 0.85}
    rows = [dict(zip(data["columns"], r)) for r in data["rows"]]
    assert [(r["a"], r["t"], r["d"], r["la"]) for r in rows] == [
        (r["artist"], r["title"], r["decision"], r["library_artist"]) for r in job.rows]
    assert {h for h in HOSTILE} <= {r["a"] for r in rows}
    assert all(r["ma"] == text.to_match_form(r["a"]) for r in rows)
    assert "http" not in page.replace("http://www.w3.org/2000/svg", "").replace("http-equiv", "")

    plain = write_csv(tmp_path / "plain.csv", ["artist", "title", "decision"], [("a", "b", "keep")])
    one_line_error(main(capsys, "review", plain), "no column 'exact'", "classify --explain")
    broken = tmp_path / "broken.csv"
    broken.write_text(re.sub(",(true|false),", ",yes,", job.decided.read_text(encoding="utf-8"), count=1),
                      encoding="utf-8")
    one_line_error(main(capsys, "review", broken, "-o", tmp_path / "x.html"), "exact must be true or false")
    assert not (tmp_path / "x.html").exists()


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
    if webdriver is None:
        pytest.skip("selenium is not installed (pip install selenium)")
    if not (CHROMIUM and CHROMEDRIVER):
        pytest.skip("Chromium and its driver are not installed (Debian: chromium chromium-driver)")
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


def _open(driver, path):
    driver.get(path.as_uri())
    assert driver.execute_script("return document.body.dataset.ready") == "true"
    return driver


def _shown(driver):
    """(artist, decision, token set) of each row on the page now."""
    return driver.execute_script("""return Array.from(document.querySelectorAll('#rows tbody tr')).map(tr =>
        [tr.querySelector('.artist').textContent, tr.querySelector('.decision').textContent,
         Number(tr.querySelectorAll('.score')[0].firstChild.textContent)]);""")


def _set(driver, element_id, value):
    driver.execute_script("""const e = document.getElementById(arguments[0]);
        if (e.type === 'checkbox') e.checked = arguments[1]; else e.value = arguments[1];
        e.dispatchEvent(new Event('change'));""", element_id, value)
    return int(driver.find_element("id", "shown").text.replace(",", ""))


def test_page_in_the_browser(job, browser, tmp_path, capsys):
    assert main(capsys, "review", job.decided, "-o", tmp_path / "r.html")[0] == 0
    d = _open(browser, tmp_path / "r.html")
    assert [e for e in d.get_log("browser") if e["level"] in ("SEVERE", "WARNING")] == []
    counts = {k: sum(r["decision"] == k for r in job.rows) for k in ("keep", "prune", "review")}
    assert {k: int(d.find_element("id", f"count-{k}").text.replace(",", "")) for k in counts} == counts
    assert int(d.find_element("id", "shown").text) == counts["review"]
    assert _set(d, "filter-keep", True) == counts["review"] + counts["keep"]
    assert {row[1] for row in _shown(d)} == {"keep", "review"}
    assert _set(d, "filter-prune", True) == len(job.rows)
    scores = [float(r["token_set"]) for r in job.rows]
    _set(d, "range-measure", "s1")
    assert _set(d, "range-min", "0.5") == sum(s >= 0.5 for s in scores)
    assert _set(d, "range-max", "0.7") == sum(0.5 <= s <= 0.7 for s in scores)
    _set(d, "range-min", "0")
    _set(d, "range-max", "1")
    d.find_element("css selector", "button[data-sort=s1]").click()  # best first
    scores = [row[2] for row in _shown(d)]
    assert len(scores) == 100 and scores == sorted(scores, reverse=True)
    assert scores[0] == max(float(r["token_set"]) for r in job.rows)
    # Hostile names are found by search and shown as the text they are; nothing runs.
    assert _set(d, "search", "alert(1)") == sum("alert(1)" in r["artist"] for r in job.rows)
    shown = {row[0] for row in _shown(d)}
    assert {h for h in HOSTILE if "alert" in h} <= shown
    assert d.execute_script("return document.querySelectorAll('#rows img, #rows script').length") == 0
    assert d.execute_script("return document.scripts.length") == 2
    with pytest.raises(NoAlertPresentException):
        d.switch_to.alert
    assert [e for e in d.get_log("browser") if e["level"] == "SEVERE"] == []


def test_exported_choices_feed_the_next_run(job, browser, tmp_path, capsys):
    args = ["run", "--dump", job.dump, "--releases", job.releases, "--workdir", tmp_path / "w"]
    assert main(capsys, *args)[0] == 0
    d = _open(browser, tmp_path / "w" / review.PAGE_NAME)
    _set(d, "filter-keep", True)
    _set(d, "filter-prune", True)
    _set(d, "search", "alert(1)")
    boxes = d.find_elements("css selector", "#rows tbody select.choice")
    picked = {}
    for box, choice in zip(boxes[:2], ["keep", "prune"]):
        artist = box.find_element("xpath", "../..").find_element("css selector", ".artist").text
        d.execute_script("arguments[0].value = arguments[1]; arguments[0].dispatchEvent(new Event('change'));",
                         box, choice)
        picked[artist] = choice
    assert len(picked) == 2 and d.find_element("id", "count-chosen").text == "2"
    for f in browser.downloads.iterdir():
        f.unlink()
    d.find_element("id", "export").click()
    exported = browser.downloads / "decisions.csv"
    for _ in range(300):  # the download lands in the background
        if exported.exists():
            break
        time.sleep(0.1)
    rows = read_csv(exported)
    assert {r["artist"]: r["decision"] for r in rows} == picked and list(rows[0]) == ["artist", "title", "decision"]
    status, out, _ = main(capsys, *args, "--fresh", "--decisions", exported)
    assert status == 0 and "2 decided by decisions.csv" in out
    report = {r["artist"]: r["decision"] for r in read_csv(tmp_path / "w" / "releases_classified.csv")}
    assert {a: report[a] for a in picked} == picked
