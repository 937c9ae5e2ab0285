"""The command-line job on the bundled sample data, and its resumption."""

import csv
import os
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

from zemo_etl import cli, fuzzy, parser, schema, text
from zemo_etl.state import PipelineState


def read_report(workdir):
    with open(workdir / "releases_classified.csv", newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def test_demo_classifies_the_sample(tmp_path, capsys):
    assert cli.main(["demo", "--workdir", str(tmp_path)]) == 0
    with sqlite3.connect(tmp_path / "library.db") as db:
        library = [dict(zip(("id", "artist", "title"), r))
                   for r in db.execute("SELECT id, artist, title FROM library ORDER BY id").fetchall()]
    # The value in the notes table that spells out an INSERT for `library` is not a row.
    assert [r["id"] for r in library] == list(range(1, 3001))
    raw = parser.load_table_rows(str(cli.SAMPLE_DATA / "library.sql"), "library")
    mojibake = [i for i, row in enumerate(raw) if "Ã" in (row[2] or "")]
    assert mojibake, "the sample carries double-encoded names"
    assert all("Ã" not in library[i]["artist"] for i in mojibake)  # repaired on load

    with open(cli.SAMPLE_DATA / "releases.csv", newline="", encoding="utf-8") as f:
        incoming = list(csv.DictReader(f))
    rows = read_report(tmp_path)
    keys = {(text.to_match_form(r["artist"]), text.to_match_form(r["title"])) for r in incoming}
    assert len(rows) == len(keys) < len(incoming)  # duplicates (by match form) dropped
    decisions = [r["decision"] for r in rows]
    assert {"keep", "prune", "review"} == set(decisions)
    # Releases that are library pairs in match form are kept.
    pairs = {(text.to_match_form(r["artist"] or ""), text.to_match_form(r["title"] or "")) for r in library}
    exact = [r for r in rows if (text.to_match_form(r["artist"]), text.to_match_form(r["title"])) in pairs]
    assert len(exact) > 300 and all(r["decision"] == "keep" for r in exact)
    # The report agrees with one direct call of the classifier.
    direct = fuzzy.batch_classify_releases([r["artist"] for r in rows], [r["title"] for r in rows],
                                           [(r["artist"] or "", r["title"] or "") for r in library])
    assert decisions == direct
    assert all(r["ascii_artist"].isascii() and r["ascii_title"].isascii() for r in rows)

    capsys.readouterr()
    assert cli.main(["demo", "--workdir", str(tmp_path)]) == 0
    assert capsys.readouterr().out.count("[skip]") == len(cli.STEPS)


def test_failed_step_resumes_where_it_stopped(tmp_path, capsys):
    dump = tmp_path / "library.sql"
    shutil.copy(cli.SAMPLE_DATA / "library.sql", dump)
    releases = tmp_path / "in" / "releases.csv"
    releases.parent.mkdir()
    args = ["run", "--dump", str(dump), "--releases", str(releases), "--workdir", str(tmp_path / "out")]

    assert cli.main(args) == 1  # the releases file is missing
    state = PipelineState.load(str(tmp_path / "out" / "state.json"))
    assert state.step_status("load_library") == "completed"
    assert state.step_status("dedupe_releases") == "failed"
    assert "FileNotFoundError" in state.step_error("dedupe_releases")

    releases.write_text("artist,title\nSigur Rós,Ágætis byrjun\nMaría Öztürk,Birds\n", encoding="utf-8")
    capsys.readouterr()
    assert cli.main(args) == 0
    out = capsys.readouterr().out
    assert "[skip] load_library" in out and "[done] dedupe_releases" in out
    assert [r["decision"] for r in read_report(tmp_path / "out")] == ["prune", "keep"]


def test_demo_scale_generates_and_times_each_step(tmp_path, capsys):
    assert cli.main(["demo", "--workdir", str(tmp_path), "--scale", "400"]) == 0
    out = capsys.readouterr().out
    assert len(parser.load_table_rows(str(tmp_path / "input" / "library.sql"), schema.LIBRARY_TABLE)) == 400
    timings = out[out.index("timings for 400 library rows and 400 releases"):]
    for step in ["generate data", *cli.STEPS]:
        assert f"    {step} " in timings
    assert len(read_report(tmp_path)) <= 400


def test_ctrl_c_exits_130_and_the_run_resumes(tmp_path):
    # SIGINT, as the terminal sends it, once releases are deduplicated: the
    # steps after that take about a second at this scale.
    env = {**os.environ, "ZEMO_ETL_PROGRESS": "off"}
    cmd = [sys.executable, "-m", "zemo_etl", "demo", "--workdir", str(tmp_path), "--scale", "12000"]
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    state_file = tmp_path / "state.json"
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and proc.poll() is None:
        if state_file.exists() and PipelineState.load(str(state_file)).is_completed("dedupe_releases"):
            break
        time.sleep(0.01)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 130, (out, err)
    assert "Traceback" not in err and err.strip().splitlines()[-1] == "zemo-etl: interrupted"
    state = PipelineState.load(str(state_file))
    done = [step for step in cli.STEPS if state.is_completed(step)]
    stopped = cli.STEPS[len(done)]
    assert done == cli.STEPS[:len(done)] and "dedupe_releases" in done
    assert state.step_error(stopped) == "interrupted"

    resumed = subprocess.run([sys.executable, "-m", "zemo_etl", "run", "--workdir", str(tmp_path),
                              "--dump", str(tmp_path / "input" / "library.sql"),
                              "--releases", str(tmp_path / "input" / "releases.csv")],
                             capture_output=True, text=True, env=env, timeout=120)
    assert resumed.returncode == 0, resumed.stderr
    assert "[skip] dedupe_releases" in resumed.stdout and f"[done] {stopped}" in resumed.stdout
