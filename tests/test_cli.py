"""The command-line job on the bundled sample data, and its resumption."""

import csv
import shutil
import sqlite3

from zemo_etl import cli
from zemo_etl.state import PipelineState


def read_report(workdir):
    with open(workdir / "releases_classified.csv", newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def test_demo_classifies_the_sample(tmp_path, capsys):
    assert cli.main(["demo", "--workdir", str(tmp_path)]) == 0
    with sqlite3.connect(tmp_path / "library.db") as db:
        library = db.execute("SELECT id, artist FROM library ORDER BY id").fetchall()
    # The value in another table that spells out an INSERT for `library` is not a row.
    assert [r[0] for r in library] == list(range(1, 31))
    assert library[6][1] == "Björk"  # mojibake repaired on load
    rows = read_report(tmp_path)
    assert len(rows) == 28  # two duplicate releases dropped
    decisions = {(r["artist"], r["title"]): r["decision"] for r in rows}
    assert set(decisions.values()) <= {"keep", "prune", "review"}
    assert decisions[("The Beatles", "Abbey Road")] == "keep"
    assert decisions[("Unknown Band", "Unknown Album")] == "prune"
    assert all(r["ascii_artist"].isascii() and r["ascii_title"].isascii() for r in rows)

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

    releases.write_text("artist,title\nNirvana,Nevermind\n", encoding="utf-8")
    capsys.readouterr()
    assert cli.main(args) == 0
    out = capsys.readouterr().out
    assert "[skip] load_library" in out and "[done] dedupe_releases" in out
    assert [r["decision"] for r in read_report(tmp_path / "out")] == ["keep"]
