"""The command-line job on the bundled sample data, and its resumption."""

import json
import os
import re
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

import pytest

from cli_helpers import parse_csv, read_csv
from zemo_etl import _demo_data, cli, fuzzy, job, parser, schema, text
from zemo_etl.cli.errors import UserError
from zemo_etl.state import PipelineState


def test_demo_classifies_the_sample(tmp_path):
    assert cli.main(["demo", "--workdir", str(tmp_path)]) == 0
    with sqlite3.connect(tmp_path / "library.db") as db:
        ids, artists, titles = zip(*db.execute("SELECT id, artist, title FROM library ORDER BY id"))
    # The value in the notes table that spells out an INSERT for `library` is not a row.
    assert ids == tuple(range(1, 3001))
    raw = parser.load_table_rows(str(job.SAMPLE_DATA / "library.sql"), "library")
    mojibake = [i for i, row in enumerate(raw) if "Ã" in (row[2] or "")]
    assert mojibake and all("Ã" not in artists[i] for i in mojibake)  # the sample's double-encoded names, repaired

    incoming = read_csv(job.SAMPLE_DATA / "releases.csv")
    keys = {(text.to_match_form(r["artist"]), text.to_match_form(r["title"])) for r in incoming}
    rows = read_csv(tmp_path / "releases_classified.csv")
    decisions = [r["decision"] for r in rows]
    assert len(rows) == len(keys) < len(incoming)  # duplicates (by match form) dropped
    assert set(decisions) == {"keep", "prune", "review"}
    # The report agrees with one direct call of the classifier on the loaded library.
    assert decisions == fuzzy.batch_classify_releases([r["artist"] for r in rows], [r["title"] for r in rows],
                                                      [(a or "", t or "") for a, t in zip(artists, titles)])
    assert all(r["ascii_artist"].isascii() and r["ascii_title"].isascii() for r in rows)


def test_demo_scale_generates_and_times_each_step(tmp_path, capsys, monkeypatch):
    # Interrupted in its third step, the demo takes its data again and resumes there.
    def interrupt(self):
        raise KeyboardInterrupt

    def demo(scale):
        capsys.readouterr()
        status = cli.main(["demo", "--workdir", str(tmp_path), "--scale", str(scale)])
        rows = parser.load_table_rows(str(tmp_path / "input" / "library.sql"), schema.LIBRARY_TABLE)
        return status, capsys.readouterr().out, len(rows)

    monkeypatch.setattr(job.Pipeline, "classify", interrupt)
    assert demo(400)[0] == 130
    monkeypatch.undo()
    status, out, rows = demo(400)
    assert (status, rows) == (0, 400) and "[skip] dedupe_releases" in out and "[done] classify" in out
    timings = out[out.index("timings for 400 library rows and 400 releases"):]
    assert "    generate data      reused" in timings
    assert all(f"    {step} " in timings for step in job.STEPS[2:])
    assert len(read_csv(tmp_path / "releases_classified.csv")) <= 400
    # Another scale is new data, and a new run.
    status, out, rows = demo(300)
    assert (status, rows) == (0, 300) and "[skip]" not in out


@pytest.fixture(scope="module")
def small_job(tmp_path_factory):
    """Arguments for a small run, and the report of an uninterrupted run on them."""
    d = tmp_path_factory.mktemp("job")
    _demo_data.generate(str(d / "library.sql"), str(d / "releases.csv"), 300, 300)
    inputs = ["--dump", str(d / "library.sql"), "--releases", str(d / "releases.csv")]
    assert cli.main(["run", *inputs, "--workdir", str(d / "whole")]) == 0
    return inputs, (d / "whole" / "releases_classified.csv").read_text(encoding="utf-8")


@pytest.mark.parametrize("error, status", [(OSError("disk on fire"), 1), (UserError("x.csv line 3: bad input"), 2)])
def test_a_failed_step_exits_by_its_kind_and_is_saved(small_job, tmp_path, capsys, monkeypatch, error, status):
    # The next run resumes from it as from an interrupted one (below).
    def fail(self):
        raise error

    monkeypatch.setattr(job.Pipeline, "classify", fail)
    assert (cli.main(["run", *small_job[0], "--workdir", str(tmp_path)]), capsys.readouterr().err) == (
        status, f"[fail] classify: {error}\n")
    state = PipelineState.load(str(tmp_path / "state.json"))
    assert [(state.step_status(s), state.step_error(s)) for s in job.STEPS[1:3]] == [
        ("completed", None), ("failed", f"{type(error).__name__}: {error}")]


def check_interrupted_then_resumed(workdir, inputs, report, capsys):
    """The state of a run stopped by Ctrl-C says where and why, and the next run
    completes it with the report of an uninterrupted one."""
    state_file = str(workdir / "state.json")
    st = PipelineState.load(state_file)
    done = [step for step in job.STEPS if st.is_completed(step)]
    rest = job.STEPS[len(done):]
    assert [(st.step_status(s), st.step_error(s)) for s in job.STEPS] == [("completed", None)] * len(done) + (
        [("failed", "interrupted")] + [("pending", None)] * len(rest))[:len(rest)]
    capsys.readouterr()
    assert cli.main(["state", "show", state_file]) == 0
    shown, n = capsys.readouterr().out.splitlines()[-1], len(job.STEPS)
    assert shown == (f"{len(done)} of {n} steps completed; a resumed run starts at {rest[0]} (failed: interrupted)"
                     if rest else f"all {n} steps completed")
    assert cli.main(["run", *inputs, "--workdir", str(workdir)]) == 0
    out = capsys.readouterr().out
    assert all(f"[skip] {s}:" in out for s in done) and all(f"[done] {s}:" in out for s in rest)
    assert (workdir / "releases_classified.csv").read_text(encoding="utf-8") == report
    return done


@pytest.mark.parametrize("point", ["in the step", "before its save", "after its save", "in a failed step's save"])
@pytest.mark.parametrize("k", range(len(job.STEPS)))
def test_ctrl_c_anywhere_in_the_step_loop(small_job, tmp_path, capsys, monkeypatch, k, point):
    # The KeyboardInterrupt a Ctrl-C raises, raised at each point of the loop around step k.
    inputs, report = small_job
    step = job.STEPS[k]
    real_save = job.Pipeline._save
    raised = []

    def interrupt(*args):
        raised.append(True)
        raise KeyboardInterrupt

    def save(self, st):
        if not raised and st.step_status(step) in ("completed", "failed"):
            if point == "after its save":
                real_save(self, st)
            interrupt()
        real_save(self, st)

    if point == "in the step":
        monkeypatch.setattr(job.Pipeline, step, interrupt)
    else:
        monkeypatch.setattr(job.Pipeline, "_save", save)
        if point == "in a failed step's save":
            monkeypatch.setattr(job.Pipeline, step, lambda self: 1 / 0)
    assert cli.main(["run", *inputs, "--workdir", str(tmp_path)]) == 130
    assert raised and capsys.readouterr().err.splitlines()[-1] == "zemo-etl: interrupted"
    if point == "in a failed step's save":
        # The step's own failure is what the state keeps.
        st = PipelineState.load(str(tmp_path / "state.json"))
        assert st.step_error(step) == "ZeroDivisionError: division by zero"
        assert [s for s in job.STEPS if st.is_completed(s)] == job.STEPS[:k]
        return
    monkeypatch.undo()
    done = check_interrupted_then_resumed(tmp_path, inputs, report, capsys)
    assert len(done) == (k if point == "in the step" else k + 1)


def test_ctrl_c_from_the_terminal_exits_130_and_the_run_resumes(small_job, tmp_path, capsys):
    # SIGINT, as the terminal sends it, once the first step is saved; wherever
    # it lands, the run either finished (0) or stopped in a state the next run
    # completes.
    inputs, report = small_job
    env = {**os.environ, "ZEMO_ETL_PROGRESS": "off"}
    proc = subprocess.Popen([sys.executable, "-m", "zemo_etl", "run", *inputs, "--workdir", str(tmp_path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    state_file = tmp_path / "state.json"
    while proc.poll() is None and not state_file.exists():
        time.sleep(0.001)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode in (0, 130), (out, err)
    assert "Traceback" not in err
    if proc.returncode == 130:
        assert err.splitlines()[-1] == "zemo-etl: interrupted"
    check_interrupted_then_resumed(tmp_path, inputs, report, capsys)


def _same_size_and_time(path):
    st = path.stat()
    data = path.read_bytes()
    k = data.index(b"a", data.index(b"\n"))
    path.write_bytes(data[:k] + b"e" + data[k + 1:])
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))


# Which change re-does which steps: the first step that reads the changed
# input, and every step after it; None: every step is skipped.
@pytest.mark.parametrize("change, redone, reason", [
    (lambda d, args: _same_size_and_time(d / "releases.csv"), "dedupe_releases",
     "--releases .*releases.csv changed \\(same size, other content\\)"),
    (lambda d, args: (d / "library.sql").write_bytes((d / "library.sql").read_bytes().replace(
        b"-- Dump completed", b"\n-- Dump completed")), "load_library",
     "--dump .*library.sql changed \\(\\d+ bytes, was \\d+\\)"),
    (lambda d, args: args.extend(["--encoding", "latin-1"]), "dedupe_releases",
     "--encoding is 'iso8859-1', was 'utf-8'"),
    (lambda d, args: args.extend(["--review-floor", "0.5"]), "classify", "--review-floor is 0.5, was 0.4"),
    (lambda d, args: args.append("--csv-safe"), "dedupe_releases", "--csv-safe is given, was not given"),
    # The same inputs: a file touched, moved or copied with its content, a
    # path written another way, the delimiter named as it was found.
    (lambda d, args: os.utime(d / "releases.csv", (1, 1)), None, None),
    (lambda d, args: args.__setitem__(3, str(shutil.copy(d / "releases.csv", d / "elsewhere" / "copy.csv"))),
     None, None),
    (lambda d, args: args.__setitem__(3, str(d / "elsewhere" / ".." / "releases.csv")), None, None),
    (lambda d, args: args.extend(["--delimiter", ",", "--encoding", "UTF8"]), None, None),
], ids=["content", "size", "encoding", "threshold", "output option", "touched", "copied", "path spelt otherwise",
        "same options"])
def test_a_run_redoes_the_steps_whose_inputs_changed(small_job, tmp_path, capsys, monkeypatch, change, redone,
                                                      reason):
    inputs, report = small_job
    for path in inputs[1::2]:
        shutil.copy(path, tmp_path)
    (tmp_path / "elsewhere").mkdir()
    monkeypatch.chdir(tmp_path)  # relative paths and a relative sqlite URL, resolved as they are stored
    assert cli.main(["run", "--dump", "library.sql", "--releases", "releases.csv", "--workdir", "w",
                     "--db-url", "sqlite:///lib.db"]) == 0
    monkeypatch.chdir(tmp_path / "elsewhere")
    args = ["--dump", str(tmp_path / "library.sql"), "--releases", str(tmp_path / "releases.csv"),
            "--workdir", str(tmp_path / "w"), "--db-url", f"sqlite:///{tmp_path}/lib.db"]
    change(tmp_path, args)
    capsys.readouterr()
    assert cli.main(["run", *args]) == 0
    out, err = capsys.readouterr()
    skipped = job.STEPS.index(redone) if redone is not None else len(job.STEPS)
    assert [line.split(":")[0] for line in out.splitlines() if line.startswith("[")] == [
        *(["[redo] " + redone + (" and the steps after it" if redone != job.STEPS[-1] else "")] if redone else []),
        *(f"[skip] {step}" for step in job.STEPS[:skipped]), *(f"[done] {step}" for step in job.STEPS[skipped:])]
    if redone is not None:
        assert re.search(f": {reason}$", out.splitlines()[0]), out
    assert err == ""
    # Run again unchanged: nothing to do.
    assert cli.main(["run", *args]) == 0
    assert capsys.readouterr().out.count("[skip]") == len(job.STEPS)


def test_a_record_of_the_version_before_is_migrated(small_job, tmp_path, capsys):
    # Version 1 kept the inputs of the whole run, which could only resume on
    # exactly those: its completed steps ran on them.
    inputs, report = small_job
    workdir = tmp_path / "w"
    assert cli.main(["run", *inputs, "--workdir", str(workdir)]) == 0
    record = json.loads((workdir / "inputs.json").read_text(encoding="utf-8"))
    del record["steps"]
    (workdir / "inputs.json").write_text(json.dumps(dict(record, version=1)), encoding="utf-8")
    capsys.readouterr()
    assert cli.main(["run", *inputs, "--workdir", str(workdir), "--review-floor", "0.5"]) == 0
    assert capsys.readouterr().out.startswith(
        "[redo] classify and the steps after it: --review-floor is 0.5, was 0.4\n"
        + "".join(f"[skip] {step}: completed in an earlier run\n" for step in job.STEPS[:2]))
    assert json.loads((workdir / "inputs.json").read_text(encoding="utf-8"))["version"] == 2


def test_one_run_at_a_time_and_a_killed_one_frees_the_folder(small_job, tmp_path, capsys, monkeypatch):
    inputs, report = small_job
    workdir = tmp_path / "w"
    workdir.mkdir()
    holder = subprocess.Popen([sys.executable, "-c", "import sys, time; from zemo_etl.job import workdir\n"
                               "with workdir.locked(sys.argv[1]):\n print('locked', flush=True); time.sleep(600)",
                               str(workdir)], stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "locked\n"
        assert cli.main(["run", *inputs, "--workdir", str(workdir)]) == 2
        assert capsys.readouterr().err == (f"zemo-etl run: {workdir}: another run (pid {holder.pid}) is using this "
                                           "work folder; wait for it to end or give another --workdir\n")
        assert sorted(os.listdir(workdir)) == ["run.lock"]
    finally:
        holder.kill()  # SIGKILL: no code of the holder runs, the kernel drops its lock
        holder.wait()
    real_classify = job.Pipeline.classify
    refusals = []

    def classify(self):  # another run while this one is in a step
        refusals.append(cli.main(["run", *inputs, "--workdir", str(workdir)]))
        real_classify(self)

    monkeypatch.setattr(job.Pipeline, "classify", classify)
    assert cli.main(["run", *inputs, "--workdir", str(workdir)]) == 0
    assert refusals == [2] and f"(pid {os.getpid()})" in capsys.readouterr().err
    assert (workdir / "releases_classified.csv").read_text(encoding="utf-8") == report


def test_dropped_duplicates_are_listed(tmp_path, capsys):
    # Duplicates by artist and title in match form, whatever the other
    # columns say: each dropped row beside the number of the row kept.
    releases = tmp_path / "r.csv"
    releases.write_text("artist,title,format\nAlpha Band,Tides Turning,LP\nalpha  band,TIDES TURNING,CD\n"
                        "Other,Thing,LP\nAlpha Band,Tides Turning,cassette\n", encoding="utf-8")
    dump = tmp_path / "l.sql"
    dump.write_text("INSERT INTO `library` VALUES (1,'Tides Turning','Alpha Band',NULL,NULL,NULL,NULL,NULL,NULL);\n",
                    encoding="utf-8")
    assert cli.main(["run", "--dump", str(dump), "--releases", str(releases), "--workdir", str(tmp_path / "w"),
                     "--no-review-page"]) == 0
    assert "[done] dedupe_releases: 2 releases, 2 duplicates dropped (listed in " in capsys.readouterr().out
    assert parse_csv((tmp_path / "w" / "duplicates.csv").read_text(encoding="utf-8")) == [
        ["row", "artist", "title", "format", "duplicate_of_row"],
        ["2", "alpha  band", "TIDES TURNING", "CD", "1"], ["4", "Alpha Band", "Tides Turning", "cassette", "1"]]
    releases.write_text("artist,title\nA,B\n", encoding="utf-8")  # none: an earlier list is not left behind
    assert cli.main(["run", "--dump", str(dump), "--releases", str(releases), "--workdir", str(tmp_path / "w"),
                     "--no-review-page"]) == 0
    assert parse_csv((tmp_path / "w" / "duplicates.csv").read_text(encoding="utf-8")) == [
        ["row", "artist", "title", "duplicate_of_row"]]
