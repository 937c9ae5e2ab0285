"""The pipeline's job from Python (`zemo_etl.job`), without the command line,
and the layering that keeps it there."""

import ast
import dataclasses
import gc
import itertools
import json
import math
import pathlib
import re
import signal
import subprocess
import threading
import time
import sys

import pytest

from cli_helpers import read_csv
from zemo_etl import _demo_data, cli, job, stores, text
from zemo_etl.cli.options import ArgumentParser, job_options
from zemo_etl.errors import Error, describe
from zemo_etl.index import DEFAULT_RESOLVE_THRESHOLD, DEFAULT_THRESHOLDS, Catalogue, LibraryIndex
from zemo_etl.job.ahead import made_beside, read_ahead
from zemo_etl.job.decisions import (EXPLAIN_COLUMNS, MEASURES, Evidence, Overrides, decide, decide_all, decided_chunks,
                                    stored_evidence_text)
from zemo_etl.job.duplicates import Duplicates, stored_names
from zemo_etl.job.library import library_records
from zemo_etl.job.options import option_name
from zemo_etl.reading import CsvInput, open_text

PACKAGE = pathlib.Path(job.__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    d = tmp_path_factory.mktemp("inputs")
    _demo_data.generate(str(d / "library.sql"), str(d / "releases.csv"), 200, 200)
    return d / "library.sql", d / "releases.csv"


def test_run_from_python_matches_the_command_line(inputs, tmp_path, capsys):
    # The same job, the same report; its options are keywords, and a second run resumes.
    dump, releases = inputs
    assert cli.main(["run", "--dump", str(dump), "--releases", str(releases), "--workdir", str(tmp_path / "cli"),
                     "--review-floor", "0.5", "--no-review-page"]) == 0
    done = job.run(dump, releases, tmp_path / "py", thresholds={"review_floor": 0.5}, review_page=False)
    assert list(done.timings) == job.STEPS
    assert read_csv(tmp_path / "py" / "releases_classified.csv") == read_csv(tmp_path / "cli" / "releases_classified.csv")
    capsys.readouterr()
    assert job.run(dump, releases, tmp_path / "py", thresholds={"review_floor": 0.5}, review_page=False).timings == {}
    assert capsys.readouterr().out.count("[skip]") == len(job.STEPS)


@pytest.mark.parametrize("options, words", [
    ({"thresholds": {"review_floor": 2.0}}, "review_floor"),
    ({"thresholds": {"token_set_keep": 0.3, "review_floor": 0.5}}, "review_floor"),
    ({"artist_column": "band"}, "no column 'band'"),
    ({"decisions": "missing.csv"}, "missing.csv: no such file"),
])
def test_unusable_options_are_input_errors_before_any_step(inputs, tmp_path, options, words):
    with pytest.raises(job.InputError, match=words):
        job.run(*inputs, tmp_path, **options)
    assert not (tmp_path / "state.json").exists()


def test_a_failed_step_raises_with_its_cause_and_is_recorded(inputs, tmp_path, monkeypatch):
    collecting = []

    def fail(self):
        collecting.append(gc.isenabled())
        raise OSError("disk on fire")

    monkeypatch.setattr(job.Pipeline, "resolve_artists", fail)
    with pytest.raises(job.StepFailed) as failed:
        job.run(*inputs, tmp_path, review_page=False)
    assert (failed.value.step, failed.value.error, type(failed.value.__cause__)) == (
        "resolve_artists", "disk on fire", OSError)
    # The collector is held off in a step and back once it failed; a caller's choice to turn it off stays.
    assert collecting == [False] and gc.isenabled()
    monkeypatch.undo()
    gc.disable()
    try:
        assert list(job.run(*inputs, tmp_path, review_page=False).timings) == job.STEPS[3:]
        assert not gc.isenabled()
    finally:
        gc.enable()


def _parser():
    ap = ArgumentParser(prog="zemo-etl")
    sub = ap.add_subparsers(dest="command")
    for module in cli._COMMAND_MODULES:
        module.add_parsers(sub)
    return ap


def test_the_command_lines_defaults_are_the_jobs():
    args = _parser().parse_args(["run", "--dump", "d.sql", "--releases", "r.csv", "--workdir", "w"])
    assert job_options(args) == dataclasses.replace(job.DEFAULTS, thresholds=dict(DEFAULT_THRESHOLDS))
    demo = _parser().parse_args(["demo"])
    assert job_options(demo) == dataclasses.replace(job.DEFAULTS, thresholds=dict(DEFAULT_THRESHOLDS))


def test_decisions_in_chunks_agree_with_and_without_evidence(monkeypatch):
    # Chunks of 3 over 10 releases, in windows of 7 classified in the order of their artists; a decisions
    # file overrides one, and its evidence says so.
    monkeypatch.setattr("zemo_etl.job.decisions.CLASSIFY_CHUNK", 3)
    monkeypatch.setattr("zemo_etl.job.decisions.CLASSIFY_WINDOW", 7)
    index = LibraryIndex([("Radiohead", "OK Computer"), ("Björk", "Homogenic"), ("Can", "Tago Mago")])
    artists = ["radiohead", "Bjork", "Can", "Nobody", "Radiohed", "björk", "CAN", "x", "Radiohead", "Bjork"]
    titles = ["OK Computer", "Homogenic", "Tago Mago", "Nothing", "OK Computr", "homogenic", "tago mago", "y",
              "Kid A", "Debut"]
    plain, none = decide_all(index, artists, titles)
    assert (plain, none) == (index.classify(artists, titles), [])
    overrides = Overrides({("nobody", "nothing"): "keep"}, "d.csv")
    decided, evidence = decide_all(index, artists, titles, explain=True, overrides=overrides)
    assert decided == plain[:3] + ["keep"] + plain[4:]
    # The native calls made ahead in a thread, the evidence on this one: the same chunks.
    ahead = decided_chunks(index, artists, titles, True, Overrides(overrides.chosen, "d.csv"), ahead=True)
    assert [c for chunk in ahead for c in zip(*chunk)] == list(zip(decided, evidence))
    assert [e.decided_by == "decisions" for e in evidence] == [k == 3 for k in range(10)]
    assert evidence[3].reason == "keep, chosen in d.csv" and overrides.summary() == "1 decided by d.csv, 1 of them changed"
    first = index.explain(artists[:1], titles[:1])[0]
    assert dict(zip(EXPLAIN_COLUMNS, evidence[0].as_list()))["library_title"] == "ok computer"
    assert Evidence.from_list(evidence[0].as_list()) == evidence[0] == decide(index, artists[:1], titles[:1], True)[1][0]
    assert evidence[0].csv_fields()[:2] == ["true" if first["exact"] else "false", repr(round(first["token_set"], 4))]


def _stored(explained, chosen=None):
    evidence = Evidence.of(explained)
    return json.dumps((evidence if chosen is None else evidence.chosen(*chosen)).as_list(), ensure_ascii=False)


@pytest.mark.parametrize("rules", ["standard", "careful"])
def test_stored_evidence_is_the_evidence_s_json(monkeypatch, rules):
    # The job stores each release's evidence as JSON text written without an Evidence: the same text, an
    # override's included, and other entries named where a measure's best is another entry.
    monkeypatch.setattr("zemo_etl.job.decisions.CLASSIFY_CHUNK", 4)
    index = LibraryIndex([("Radiohead", "OK Computer"), ("Radiohead", "OK Computer (Live)"), ("Björk", "Homogenic"),
                          ("Björk", "Homogenics"), ("Can", "Tago Mago")], rules=rules)
    artists = ["radiohead", "Radiohead", "Bjork", "björk", "Can", "Nobody", "Radiohed", "CAN", "x"]
    titles = ["OK Computer", "OK Computer Live", "Homogenic", "homogenics (remastered)", "Tago", "Nothing", "OK Computr",
              "tago mago", "y"]
    chosen = {("nobody", "nothing"): "keep", ("can", "tago"): "prune"}
    _, evidence = decide_all(index, artists, titles, explain=True, overrides=Overrides(chosen, "d.csv"))
    stored = decided_chunks(index, artists, titles, True, Overrides(chosen, "d.csv"), ahead=True, stored=True)
    texts = [e for _, chunk in stored for e in chunk]
    assert texts == [json.dumps(e.as_list(), ensure_ascii=False) for e in evidence]
    assert [e.decided_by == "decisions" for e in evidence] == [k in (4, 5) for k in range(len(artists))]
    if rules == "standard":
        assert any(e.other_entries for e in evidence)


@pytest.mark.parametrize("name", ['a "quoted" \\ name', "tab\tnew\nline\x00\x1f\x7f", "\u2028 é 😀 \ud800", ""])
@pytest.mark.parametrize("scores", [(0.0, 1.0, 0.1 + 0.2), (1e-07, 0.5, 1 / 3)])
@pytest.mark.parametrize("bounds", [(None, None, None), (math.inf, 0.8, None), (float("nan"), -math.inf, 1.0)])
def test_stored_evidence_text_is_json_s(name, scores, bounds):
    entry = (0, name, name + "!")
    explained = {"decision": "review", "exact": False, **dict(zip(MEASURES, scores)), "entry": entry,
                 "token_set_entries": [entry], "token_sort_entries": [(1, "other", name)],
                 "two_stage_entries": [(2, name, "")], "decided_by": "all", "reason": name,
                 **{m + "_below": b for m, b in zip(MEASURES, bounds)}}
    assert stored_evidence_text(explained) == _stored(explained)
    assert stored_evidence_text(explained, "keep, chosen in d.csv") == _stored(explained, ("keep", "d.csv"))
    del explained["token_set_below"]  # the careful rules give no bounds
    explained["entry"] = None  # no candidate
    assert stored_evidence_text(explained) == _stored(explained)


def _imports(path):
    tree = ast.parse(path.read_text(encoding="utf-8"))
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and node.module:
            yield node.module
            yield from (f"{node.module}.{alias.name}" for alias in node.names)
        elif isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)


def test_layers_the_command_line_is_on_top_and_its_commands_stand_alone():
    commands = {p.stem for p in (PACKAGE / "cli").glob("*.py")} - {"__init__", "errors", "options", "outputs"}
    for path in PACKAGE.rglob("*.py"):
        found = set(_imports(path))
        if path.parent.name != "cli" and path.name != "__main__.py":
            assert not any(name.startswith("zemo_etl.cli") for name in found), path
        elif path.stem in commands:
            assert not {f"zemo_etl.cli.{c}" for c in commands} & found, path


def _flag_words(path):
    """String constants of a module that name a command-line flag inside a
    message (a string that is just a flag is a key of the run's record)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    docstrings = {id(node.body[0].value) for node in ast.walk(tree)
                  if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and node.body
                  and isinstance(node.body[0], ast.Expr) and isinstance(node.body[0].value, ast.Constant)}
    for node in ast.walk(tree):
        if isinstance(node, ast.Constant) and isinstance(node.value, str) and id(node) not in docstrings:
            if re.search(r"(^|[^-\w])--[a-z]", node.value) and not re.fullmatch(r"--[a-z-]+", node.value):
                yield node.value


def test_no_command_line_words_below_the_command_line():
    below = [p for p in PACKAGE.rglob("*.py") if p.parent.name != "cli" and p.name != "_demo_data.py"]
    assert {str(p.relative_to(PACKAGE)): list(_flag_words(p)) for p in below if any(_flag_words(p))} == {}


@pytest.mark.parametrize("make, keyword, flag", [
    (lambda tmp: stores.load_dump_table(stores.open_store(f"sqlite:///{tmp}/x.db"), job.SAMPLE_DATA / "library.sql",
                                        "library", batch_rows=0), "batch_rows must be at least 1",
     "--batch-rows must be at least 1"),
    (lambda tmp: stores.load_dump_table(stores.open_store(f"sqlite:///{tmp}/x.db"), job.SAMPLE_DATA / "library.sql",
                                        "library"), "(create makes it)", "(--create makes it)"),
    (lambda tmp: job.run(job.SAMPLE_DATA / "library.sql", job.SAMPLE_DATA / "releases.csv", tmp / "state.json"),
     "not a folder (workdir)", "not a folder (--workdir)"),
    (lambda tmp: CsvInput(open_text(str(_write(tmp / "l1.csv", b"artist,title\n\xe9,x\n"))), ["artist"]).rows().__next__(),
     "; encoding names the file's encoding, e.g. encoding latin-1", "; --encoding names the file's encoding, e.g. --encoding latin-1"),
    (lambda tmp: CsvInput(open_text(str(_write(tmp / "semi.csv", b"artist:title\n"))), ["artist"]),
     "; delimiter sets the field separator", "; --delimiter sets the field separator"),
])
def test_package_errors_name_the_keyword_and_the_command_line_its_flag(tmp_path, make, keyword, flag):
    (tmp_path / "state.json").write_text("{}")
    with pytest.raises(Error) as raised:
        make(tmp_path)
    assert keyword in str(raised.value) and "--" not in str(raised.value)
    assert flag in describe(raised.value, option_name)


def _write(path, data):
    path.write_bytes(data)
    return path


def test_library_names_in_binary_columns_are_text(tmp_path):
    # A dump may keep names in VARBINARY or BLOB columns: they are read as
    # text (UTF-8, repaired), not as the bytes a load keeps.
    path = tmp_path / "library.sql"
    path.write_bytes(b"CREATE TABLE `albums` (`id` int, `who` varbinary(50), `what` blob, `price` decimal(5,2));\n"
                     b"INSERT INTO `albums` VALUES (1,'Bj\xc3\xb6rk',0x486F6D6F67656E6963,9.99),(2,'Caf\xe9','X',1.00);\n")
    rows = [row for chunk in library_records(str(path), ["artist", "title"], ["artist", "title"], table="albums",
                                             names={"artist": "who", "title": "what"}) for row in chunk]
    assert rows == [("Björk", "Homogenic"), ("Caf\ufffd", "X")]


def test_the_job_in_small_chunks_writes_what_it_writes_in_one(inputs, tmp_path, monkeypatch):
    # Every chunk boundary crossed: the releases CSV, the job's tables, the
    # classifier and the resolver fed a few rows at a time, the page's rows
    # read back the same way.
    job.run(*inputs, tmp_path / "whole")
    monkeypatch.setattr("zemo_etl.job.pipeline.ROW_CHUNK", 7)
    monkeypatch.setattr("zemo_etl.job.decisions.CLASSIFY_CHUNK", 5)
    monkeypatch.setattr("zemo_etl.job.library.RESOLVE_CHUNK", 3)
    job.run(*inputs, tmp_path / "chunked")
    for name in ("releases_classified.csv", "duplicates.csv", "review.html"):
        assert (tmp_path / "chunked" / name).read_bytes() == (tmp_path / "whole" / name).read_bytes(), name
    # Each release's artist resolved as it is on its own against the library's first stored form of each name.
    with stores.open_store(f"sqlite:///{tmp_path / 'chunked' / 'library.db'}") as store:
        stored = {}
        for (artist,) in store.query("SELECT artist FROM library ORDER BY id"):
            if artist:
                stored.setdefault(text.to_identity_match_form(artist), artist)
        names = [a for (a,) in store.query("SELECT artist FROM incoming_releases ORDER BY seq")]
        matched = [m for (m,) in store.query("SELECT library_artist FROM artist_matches ORDER BY seq")]
    catalogue = Catalogue(sorted(stored))
    assert len(set(names)) < len(names)
    assert matched == [None if r is None else stored[r] for name in names
                       for r in catalogue.resolve([text.to_identity_match_form(name)], DEFAULT_RESOLVE_THRESHOLD)]
    assert any(matched)


def test_duplicates_across_chunks_are_those_of_one():
    # Stored forms first (mojibake mended, the NUL TEXT cannot hold dropped), then match forms.
    rows = [["Alpha Band", "Tides Turning"], ["alpha  band", "TIDES TURNING"], ["BjÃ¶rk", "Debut"], ["Björk", "Debut"],
            ["Other", "Thing"], ["Alpha Band", "Tides\x00 Turning"], ["Other", "Things"]]

    def keeps(duplicates, start, chunk):
        return duplicates.keeps(start + 1, chunk, stored_names([r[0] for r in chunk]),
                                stored_names([r[1] for r in chunk]))

    whole, chunked = Duplicates(), Duplicates()
    assert keeps(whole, 0, rows) == [True, False, True, False, True, False, True]
    assert [k for start in range(0, len(rows), 3) for k in keeps(chunked, start, rows[start:start + 3])] == \
        keeps(Duplicates(), 0, rows)
    assert chunked.dropped == whole.dropped == [[2, *rows[1], 1], [4, *rows[3], 3], [6, *rows[5], 1]]


@pytest.mark.parametrize("values, wanted", [
    # Every row as wide as the schema: the columns picked at once.
    ("(1,'T1','A1','TA1',5,1,'Rock','LP','Alias'),(2,'T2','A2',NULL,NULL,NULL,NULL,NULL,NULL)",
     [(1, "T1", "A1", "Alias"), (2, "T2", "A2", None)]),
    # A short row: its last columns are absent.
    ("(1,'T1','A1','TA1',5,1,'Rock','LP','Alias'),(2,'T2','A2')", [(1, "T1", "A1", "Alias"), (2, "T2", "A2", None)]),
])
def test_library_records_picks_the_wanted_columns(tmp_path, values, wanted):
    path = tmp_path / "l.sql"
    path.write_text(f"INSERT INTO `library` VALUES {values};\n", encoding="utf-8")
    rows = [row for chunk in library_records(str(path), ["id", "title", "artist", "alternate_artist_name"],
                                             ["artist", "title"]) for row in chunk]
    assert [tuple(map(str, r[:1])) + r[1:] for r in rows] == [(str(w[0]), *w[1:]) for w in wanted]


def test_read_ahead_gives_the_items_in_order_and_an_error_in_its_place():
    def items():
        yield from range(5)
        raise job.InputError("cut after 5")

    got = []
    with pytest.raises(job.InputError, match="cut after 5"):
        for item in read_ahead(items()):
            got.append(item)
    assert got == list(range(5))


def test_read_ahead_leaves_at_ctrl_c_without_waiting_for_the_item_being_made():
    main, release, finished = threading.get_ident(), threading.Event(), threading.Event()

    def waiting_for_an_item() -> bool:
        frame = sys._current_frames().get(main)
        while frame is not None and not (frame.f_code.co_name == "get" and frame.f_code.co_filename.endswith("queue.py")):
            frame = frame.f_back
        return frame is not None

    def items():
        # Ctrl-C while the caller waits for this item, which then takes long.
        while not waiting_for_an_item():
            time.sleep(0.001)
        signal.pthread_kill(main, signal.SIGINT)
        release.wait(30)
        finished.set()
        yield 1

    with pytest.raises(KeyboardInterrupt):
        list(read_ahead(items()))
    assert not finished.is_set()  # waiting for the thread would have run it to the end
    release.set()
    for thread in threading.enumerate():
        if thread.name == "zemo-etl read-ahead":
            thread.join()


def test_made_beside_gives_the_value_or_raises_what_making_it_raised():
    def fail():
        raise job.InputError("no library")

    assert made_beside(lambda: 42)() == 42
    with pytest.raises(job.InputError, match="no library"):
        made_beside(fail)()


def test_ctrl_c_while_a_thread_starts_leaves_it_started_and_waited_for_at_exit(monkeypatch):
    # Thread.start() waits for the new thread: a SIGINT in that wait must not leave a running thread that
    # the exit does not wait for (a native call it is in would abort the process at exit).
    from zemo_etl.job import ahead
    start, release = threading.Thread.start, threading.Event()

    def interrupted_start(thread):
        signal.raise_signal(signal.SIGINT)
        start(thread)

    monkeypatch.setattr(threading.Thread, "start", interrupted_start)
    with pytest.raises(KeyboardInterrupt):
        made_beside(release.wait)
    monkeypatch.undo()
    [(thread, _, _)] = [entry for entry in ahead._running if entry[0].name == "zemo-etl made-beside"]
    assert thread.is_alive()
    release.set()
    thread.join(30)
    assert not thread.is_alive() and not ahead._running


def test_read_ahead_stops_making_items_once_the_caller_stops():
    made = []

    def items():
        for k in itertools.count():
            made.append(k)
            yield k

    threads = threading.active_count()
    ahead = read_ahead(items())
    assert next(ahead) == 0
    ahead.close()  # as a Ctrl-C in the caller's loop does
    # The one given, the one waiting to be taken, the one being made at most; the thread is gone.
    assert len(made) <= 3 and threading.active_count() == threads


_EXIT_DURING_NATIVE_CALLS = """
import sys
from zemo_etl import _demo_data
from zemo_etl.index import LibraryIndex
from zemo_etl.job.ahead import made_beside, read_ahead
library = _demo_data.library_rows(20000)
index = LibraryIndex([(r[2], r[1]) for r in library])
artists, titles = zip(*_demo_data.release_rows(library, 5000))

def calls():
    while True:
        yield index.explain(artists, titles, exact=False)

next(read_ahead(calls()))
made_beside(lambda: index.explain(artists, titles))
sys.exit(3)
"""


def test_exit_while_threads_are_in_native_calls_keeps_its_status():
    # As after a Ctrl-C: the caller leaves while both kinds of thread are in a native call (a tenth of a second
    # each); the interpreter waits for them rather than ending them in a way that aborts the process.
    done = subprocess.run([sys.executable, "-c", _EXIT_DURING_NATIVE_CALLS], capture_output=True, text=True,
                          timeout=120)
    assert (done.returncode, done.stderr) == (3, "")
