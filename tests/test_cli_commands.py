"""The subcommands end to end, as a user runs them: in this process, or in a
subprocess where the process is under test (a pipe, a full disk, Ctrl-C)."""

import bz2
import gzip
import json
import lzma
import os
import pathlib
import signal
import sqlite3
import subprocess
import sys

import pytest

from cli_helpers import HOSTILE, SAMPLE_DUMP, SAMPLE_RELEASES, one_line_error, parse_csv, write, zemo
from cli_helpers import main  # noqa: F401  (the fixture)
from shared import zstd_compress
from zemo_etl import cli, fuzzy, job, parser, pg, schema, state, text

CLASSIFY = ["classify", "--library", SAMPLE_DUMP, "--releases"]


@pytest.mark.parametrize("command", [["demo"], ["run"], ["rows"], ["normalize"], ["classify"], ["resolve"],
                                     ["state"], ["state", "show"], ["state", "check"], ["load"], ["review"]])
def test_every_subcommand_has_help_with_examples(main, command):
    done = main(*command, "--help")
    assert done.returncode == 0
    assert done.stdout.startswith("usage: zemo-etl " + " ".join(command))
    _, found, examples = done.stdout.partition("\nexample")
    assert found and "  zemo-etl " + " ".join(command) in examples


def test_rows_writes_the_table_with_its_schema_header(main, tmp_path):
    expected = parser.load_table_rows(SAMPLE_DUMP, "library")
    table = parse_csv(main("rows", SAMPLE_DUMP, "library").stdout)
    assert (table[0], len(table)) == (schema.library_columns(), 1 + len(expected))
    assert table[1] == ["" if v is None else str(v) for v in expected[0]]
    out = tmp_path / "lib.jsonl"
    assert main("rows", SAMPLE_DUMP, "library", "--format", "jsonl", "-o", str(out)).returncode == 0
    first = json.loads(out.read_text(encoding="utf-8").splitlines()[0])
    assert first == dict(zip(schema.library_columns(), expected[0])) and first["alternate_artist_name"] is None

    # A table `schema` does not know: the names of the dump's CREATE TABLE.
    notes = parser.load_table_rows(SAMPLE_DUMP, "library_notes")
    assert "\n" in notes[1][1]  # an escaped newline survives both ways
    done = main("rows", SAMPLE_DUMP, "library_notes", "--format", "jsonl")
    assert [json.loads(line) for line in done.stdout.splitlines()] == [{"id": i, "note": n} for i, n in notes]
    header, first = parse_csv(main("rows", SAMPLE_DUMP, "library_notes").stdout)[:2]
    assert (header, first) == (["id", "note"], [str(notes[0][0]), notes[0][1]])
    # Without a CREATE TABLE, or with --columns none: no header, arrays.
    bare = write(tmp_path / "bare.sql", "INSERT INTO `library_notes` VALUES (1,'a'),(2,NULL);\n")
    assert main("rows", str(bare), "library_notes").stdout == "1,a\n2,\n"
    assert main("rows", str(bare), "library_notes", "--format", "jsonl").stdout == '[1, "a"]\n[2, null]\n'
    assert parse_csv(main("rows", SAMPLE_DUMP, "library", "--columns", "none").stdout)[0] == table[1]
    assert main("rows", SAMPLE_DUMP, "library_notes", "--columns", "none").stdout.startswith(f"{notes[0][0]},")


def test_rows_of_a_table_the_dump_does_not_hold(main, tmp_path):
    # A typo is an error naming what the dump holds; a table it creates empty is just empty.
    path = write(tmp_path / "d.sql", "CREATE TABLE `empty` (`a` int);\nCREATE TABLE `t` (`x` int);\n"
                                     "INSERT INTO `t` VALUES (1);\n")
    done = main("rows", str(path), "empty")
    assert (done.returncode, done.stdout) == (0, "a\n") and "no rows for table `empty`" in done.stderr
    one_line_error(main("rows", str(path), "tt"), "holds no table `tt` (tables: empty, t)")


@pytest.fixture(scope="module")
def odd_dumps(tmp_path_factory):
    d = tmp_path_factory.mktemp("dumps")
    data = pathlib.Path(SAMPLE_DUMP).read_bytes()
    (d / "cut.sql").write_bytes(data[:len(data) // 2])  # inside a tuple
    (d / "empty.sql").write_bytes(b"")
    (d / "other.sql").write_bytes(data.replace(b"INSERT INTO `library`", b"INSERT INTO `other`"))
    (d / "cased.sql").write_bytes(data.replace(b"`library`", b"`Library`"))
    # The INSERT names its columns in another order than the table's DDL.
    write(d / "named.sql", "INSERT INTO `library` (`title`,`artist`,`id`) VALUES ('Tides Turning','Alpha Band',1);\n")
    return d


DUMP_COMMANDS = {
    "rows": "rows {dump} library -o {out}/rows.csv",
    "load": "load {dump} library --into sqlite:///{out}/x.db --create",
    "classify": "classify --library {dump} --releases " + SAMPLE_RELEASES + " -o {out}/c.csv",
    "run": "run --dump {dump} --releases " + SAMPLE_RELEASES + " --workdir {out}/w --fresh",
}


# How a cut dump is worded is the dump reader's (test_dump.py); here each
# command's refusal, and its --allow-incomplete.
@pytest.mark.parametrize("command, name, words", [
    *[(c, "cut.sql", ["cut.sql: table `library`: an INSERT statement is cut short", "--allow-incomplete"])
      for c in DUMP_COMMANDS],
    ("rows", "empty.sql", ["empty.sql is empty"]),
    ("load", "empty.sql", ["empty.sql is empty"]),
    ("classify", "other.sql", ["other.sql: no rows for table `library`"]),
    *[(c, "cased.sql", ["cased.sql holds no table `library` (tables: ", "did you mean `Library`?"])
      for c in DUMP_COMMANDS],
])
def test_dumps_cut_short_or_empty_are_refused(main, odd_dumps, tmp_path, command, name, words):
    argv = DUMP_COMMANDS[command].format(dump=odd_dumps / name, out=tmp_path).split()
    one_line_error(main(*argv), *words)
    assert sorted(os.listdir(tmp_path)) == (["w"] if command == "run" else [])
    if name == "cut.sql":
        done = main(*argv, "--allow-incomplete")
        assert done.returncode == 0, done.stderr
        rows = len(parser.load_table_rows(str(odd_dumps / name), "library")) - 1
        assert f"warning: {odd_dumps / name}: table `library`" in done.stderr
        assert f" {rows:,} rows " in done.stderr or f" {rows} rows " in done.stderr, done.stderr


def test_library_columns_by_name_and_values_kept(main, odd_dumps, tmp_path):
    releases = write(tmp_path / "r.csv", "artist,title\nAlpha Band,Tides Turning\nZ,Q\n")
    done = main("classify", "--library", str(odd_dumps / "named.sql"), "--releases", str(releases))
    assert parse_csv(done.stdout)[1:] == [["Alpha Band", "Tides Turning", "keep"], ["Z", "Q", "prune"]]
    rows = main("rows", str(odd_dumps / "named.sql"), "library")
    assert parse_csv(rows.stdout) == [["title", "artist", "id"], ["Tides Turning", "Alpha Band", "1"]]
    no_title = write(tmp_path / "nt.sql", "INSERT INTO `library` (`id`,`artist`) VALUES (1,'A');\n")
    one_line_error(main("classify", "--library", str(no_title), "--releases", SAMPLE_RELEASES),
                   "table `library` has no column title")

    wide = "9" * 1500
    values = write(tmp_path / "v.sql", f"INSERT INTO `t` VALUES (1,-{wide},1.5),(2,{wide}0,1{'0' * 400}.0);\n")
    done = main("rows", str(values), "t", "--format", "jsonl")
    assert [json.loads(line) for line in done.stdout.splitlines()] == [[1, -int(wide), 1.5], [2, int(wide + "0"), None]]
    assert done.stderr.strip() == "zemo-etl rows: warning: 1 values JSON cannot hold (infinity, NaN) written as null"
    assert parse_csv(main("rows", str(values), "t").stdout)[1] == ["2", wide + "0", "inf"]


# Each form by name is its function (test_columns.py); here the command's reading and writing.
@pytest.mark.parametrize("form, batch", [("match", text.batch_to_match_form), ("pg", pg.batch_to_pg_text_form)])
def test_normalize_lines_and_a_csv_column(main, form, batch, tmp_path):
    names = ["  BjÃ¶rk ", "Beatles, The [Remastered]", "Кино", "AC/DC (Live)", "Night Owl /3", "", "a\tb"]
    done = main("normalize", "--form", form, input="\n".join(names) + "\n")
    assert done.stdout.split("\n")[:-1] == batch(names)
    src = write(tmp_path / "in.csv", 'id,artist\n1,"Sigur Rós, The"\n2,"Line\nbreak"\n')
    rows = parse_csv(main("normalize", "--form", form, "--column", "artist", str(src)).stdout)
    assert rows == [["id", "artist"], ["1", *batch(["Sigur Rós, The"])], ["2", *batch(["Line\nbreak"])]]


def test_classify_against_a_dump_or_a_csv_library(main, tmp_path):
    done = main(*CLASSIFY, SAMPLE_RELEASES)
    releases = parse_csv(pathlib.Path(SAMPLE_RELEASES).read_text(encoding="utf-8"))
    library = [(r[2] or "", r[1] or "") for r in parser.load_table_rows(SAMPLE_DUMP, "library")]
    direct = fuzzy.batch_classify_releases([r[0] for r in releases[1:]], [r[1] for r in releases[1:]], library)
    assert parse_csv(done.stdout) == [[*releases[0], "decision"], *([*r, d] for r, d in zip(releases[1:], direct))]
    assert done.stderr.startswith("classified 3,000 releases against 3,000 library entries")
    assert f"{direct.count('keep'):,} keep" in done.stderr

    lib_csv, out = tmp_path / "library.csv", tmp_path / "decided.csv"
    assert main("rows", SAMPLE_DUMP, "library", "-o", str(lib_csv)).returncode == 0
    assert main("classify", "--library", str(lib_csv), "--releases", SAMPLE_RELEASES, "-o", str(out)).returncode == 0
    assert out.read_text(encoding="utf-8") == done.stdout



def test_classify_duplicates_drops_and_lists_them_as_run_does(main, tmp_path):
    # The key is artist and title in match form of their stored forms (mojibake
    # mended, case and spacing aside), whatever the other columns say. The dump
    # has no CREATE TABLE: its columns are the library schema's, not
    # (artist, title) by position.
    releases = write(tmp_path / "r.csv", "artist;title;format\r\nAlpha Band;Tides Turning;LP\r\n"
                                         "alpha  band;TIDES TURNING;CD\r\nBjÃ¶rk;Debut;LP\r\nBjörk;Debut;CD\r\n"
                                         "Other;Thing;LP\r\nAlpha Band;Tides Turning;cassette\r\n")
    dump = write(tmp_path / "l.sql", "INSERT INTO `library` VALUES "
                                     "(1,'Tides Turning','Alpha Band',NULL,NULL,NULL,NULL,NULL,NULL);\n")
    listed, out = tmp_path / "dropped.csv", tmp_path / "decided.csv"
    done = main("classify", "--library", dump, "--releases", releases, "--duplicates", listed, "-o", out)
    assert done.returncode == 0 and f"3 duplicates dropped, listed in {listed}" in done.stderr
    assert out.read_bytes() == b"artist;title;format;decision\r\nAlpha Band;Tides Turning;LP;keep\r\n" \
                               b"Bj\xc3\x83\xc2\xb6rk;Debut;LP;prune\r\nOther;Thing;LP;prune\r\n"
    workdir = tmp_path / "w"
    assert main("run", "--dump", dump, "--releases", releases, "--workdir", workdir, "--no-review-page").returncode == 0
    assert listed.read_bytes() == (workdir / "duplicates.csv").read_bytes()
    assert parse_csv(listed.read_text(encoding="utf-8").replace(";", ",")) == [
        ["row", "artist", "title", "format", "duplicate_of_row"], ["2", "alpha  band", "TIDES TURNING", "CD", "1"],
        ["4", "Björk", "Debut", "CD", "3"], ["6", "Alpha Band", "Tides Turning", "cassette", "1"]]

    every = main("classify", "--library", dump, "--releases", releases)  # without the option nothing is dropped
    assert len(parse_csv(every.stdout)) == 7 and "duplicates" not in every.stderr
    for given, words in ((["--duplicates", "-"], ("--duplicates needs a file name",)),
                         (["--duplicates", out, "-o", out], ("given for two outputs",)),
                         (["--duplicates", releases], ("is also the input",))):
        one_line_error(main("classify", "--library", dump, "--releases", releases, *given), *words)
    assert out.read_bytes().startswith(b"artist;title;format;decision\r\n")  # a refusal touches nothing

def test_resolve_compares_match_forms_explains_and_fills_a_column(main, tmp_path):
    entries = ["Radiohead", "radiohead", "Radio Head", "Stereolab", "Stereolabs", "Björk"]
    catalog = write(tmp_path / "artists.txt", "\n".join(entries) + "\n")
    names = ["RADIOHEAD", "stereo lab", "stereolab x", "bjork", "portishead", ""]
    # What Catalogue.explain says is its own (test_index_explain.py); here its columns.
    def resolve(*args):
        return main("resolve", "--catalog", catalog, *args, input="\n".join(names) + "\n")

    done = resolve("--explain")
    rows = parse_csv(done.stdout)
    assert rows[0] == ["name", "match", "best", "best_score", "runner_up", "runner_up_score", "outcome", "reason"]
    # 'Radiohead' and 'radiohead' count once, so the exact name is not ambiguous.
    assert [(r[0], r[1], r[6]) for r in rows[1:]] == [
        ("RADIOHEAD", "Radiohead", "resolved"), ("stereo lab", "Stereolab", "resolved"),
        ("stereolab x", "", "ambiguous"), ("bjork", "Björk", "resolved"), ("portishead", "", "below_threshold"),
        ("", "", "below_threshold")]
    assert (rows[3][2], rows[3][4]) == ("Stereolab", "Stereolabs") and float(rows[3][5]) <= float(rows[3][3])
    assert all(r[7] and (r[2] == r[1] or not r[1]) for r in rows[1:])
    assert "resolved 3 of 6 names against 5 catalogue entries" in done.stderr
    assert parse_csv(resolve().stdout) == [["name", "match"], *(r[:2] for r in rows[1:])]
    exact = parse_csv(resolve("--compare", "exact").stdout)[1:]
    assert [r[1] or None for r in exact] == fuzzy.batch_fuzzy_resolve(names, entries, 0.85)

    releases = write(tmp_path / "rel.csv", "artist,title\nStereo-Lab,Dots\nNobody,Nothing\n")
    done = main("resolve", "--catalog", catalog, "--column", "artist", "--threshold", "0.8", releases)
    assert parse_csv(done.stdout) == [["artist", "title", "match"], ["Stereo-Lab", "Dots", "Stereolab"],
                                      ["Nobody", "Nothing", ""]]


def test_state_show_and_check(main, tmp_path, monkeypatch):
    path = tmp_path / "state.json"
    # As a file written before URLs were stored redacted, with hostile names.
    st = state.PipelineState("postgresql://etl:Sec?ret#1@/etldb?host=/tmp", f"/data/{HOSTILE}",
                             ["create_schema", "import_csv", HOSTILE])
    st.mark_completed("create_schema")
    st.mark_failed("import_csv", "connection reset")
    st.save(str(path))
    lines = main("state", "show", str(path)).stdout.splitlines()
    assert "postgresql://etl@/etldb?host=/tmp" in lines[1] and "/data/\\x1b]0;PWNED\\x07" in lines[2]
    assert [ln.split()[0] for ln in lines[3:5]] == ["create_schema", "import_csv"] and "\\x1b]0;PWNED" in lines[5]
    assert "failed: connection reset" in lines[4]
    assert lines[-1] == "1 of 3 steps completed; a resumed run starts at import_csv (failed: connection reset)"
    assert "Sec" not in "\n".join(lines) and not any(c in "\n".join(lines) for c in "\x1b\x07\r\u202e\u2028\x9b")

    check = ["state", "check", str(path), "--csv-dir", f"/data/{HOSTILE}", "--db-url"]
    ok = main(*check, "postgresql://etl:new@/etldb?host=/tmp")  # another password: the same database
    assert ok.returncode == 0 and ok.stdout.startswith("can resume: 1 of 3 steps completed")
    other = main(*check, "postgresql://etl@/other?host=/tmp")
    assert other.returncode == 1 and "database_url mismatch" in other.stderr
    assert "Sec" not in other.stderr and "\x1b" not in other.stderr

    # Paths are compared resolved: a folder written otherwise, a relative sqlite URL.
    (tmp_path / "csv").mkdir()
    state.PipelineState(f"sqlite:///{tmp_path}/x.db", str(tmp_path / "csv"), ["dedup"]).save(str(path))
    monkeypatch.chdir(tmp_path)
    for db_url, csv_dir, status in [("sqlite:///x.db", "csv/", 0), ("sqlite:///./x.db", "./csv", 0),
                                    (f"sqlite:///{tmp_path}/x.db", f"{tmp_path}/../{tmp_path.name}/csv", 0),
                                    ("sqlite:///x.db", ".", 1), ("sqlite:///csv/x.db", "csv", 1)]:
        assert main("state", "check", str(path), "--db-url", db_url, "--csv-dir", csv_dir).returncode == status

    # An older file: shown migrated, its steps in the pipeline's order.
    write(path, json.dumps({"version": 1, "database_url": "u", "csv_dir": "d",
                            "steps": {"create_schema": {"status": "completed"}}}))
    lines = main("state", "show", str(path)).stdout.splitlines()
    assert "(version 3)" in lines[0] and lines[3].split() == ["create_schema", "completed"]
    assert lines[-1].startswith("1 of 9 steps completed; a resumed run starts at import_csv")


@pytest.fixture
def bad_inputs(tmp_path):
    files = {
        "no_artist.csv": "name,title\nx,y\n",
        "ragged.csv": "artist,title\nx,y\nz\n",
        "quotes.csv": 'artist,title\n"x,y\n',
        "empty.csv": "",
        "broken_state.json": '{"version": 3, "database_url": ',
        "afile": "",
        "w3/releases_classified.csv": "artist,title\nx,y\n",
    }
    (tmp_path / "w3").mkdir()
    for name, content in files.items():
        (tmp_path / name).write_text(content, encoding="utf-8")
    (tmp_path / "dir.sql").mkdir()
    (tmp_path / "w1" / "state.json").mkdir(parents=True)
    (tmp_path / "fifo_state").mkdir()
    os.mkfifo(tmp_path / "fifo_state" / "state.json")
    return tmp_path


# A missing, special or unreadable input of each command: test_cli_safety.py.
RUN = "run --dump {dump} --releases {rel} --workdir"


# Arguments ({d} the folder of bad inputs) and the words of the one line.
@pytest.mark.parametrize("args, words", [
    ("rows {d}/missing.sql library", "missing.sql|no such file"),
    ("normalize --form upper", "invalid choice: 'upper'"),
    ("normalize --form match --column artist {d}/no_artist.csv", "no column 'artist'|name, title"),
    ("classify --library {dump} --releases {d}/ragged.csv", "line 3|1 fields|has 2"),
    ("classify --library {dump} --releases {d}/quotes.csv", "malformed CSV"),
    ("classify --library {dump} --releases {d}/empty.csv", "empty file"),
    ("classify --library {d}/no_artist.csv --releases {rel}", "no column 'artist'"),
    ("resolve --catalog {rel} --threshold 2", "--threshold must be a number in [0, 1], got 2.0"),
    ("resolve --catalog {rel}", "needs --catalog-column|columns: artist, title"),
    ("resolve --catalog {dump} --catalog-column band", "no column 'band'"),
    ("state show {d}/broken_state.json", "not a usable state file|parsing state JSON"),
    ("demo --scale 0 --workdir {d}/w", "--scale"),
    ("load {dump} library --into postgresql://u@[::1/db", "postgresql://u@[::1/db"),
    # `run` reads its releases as classify does, and refuses them before any step.
    (RUN.replace("{rel}", "{d}/no_artist.csv") + " {d}/w", "no_artist.csv|line 1|no column 'artist'"),
    (RUN.replace("{rel}", "{d}/ragged.csv") + " {d}/w", "ragged.csv|line 3|1 fields"),
    (RUN.replace("{rel}", "{d}/quotes.csv") + " {d}/w", "quotes.csv|line 2|never closed"),
    (RUN + " {d}/afile", "not a folder"),
    (RUN + " {d}/w1", "state.json|is a directory"),
    (RUN + " {d}/fifo_state", "state.json|is a FIFO"),
    ("classify --library {dump} --releases {rel} --save-index {d}/nodir/x.zix", "nodir|no such folder"),
    ("classify --library {dump} --releases {rel} --save-index {d}/dir.sql", "dir.sql|is a directory"),
    # An output that is an input, or two outputs in one file: refused before anything is written.
    ("classify --library {dump} --releases {rel} -o {rel}", "is also the input"),
    ("classify --library {dump} --releases {rel} -o {d}/x --save-index {d}/x", "two outputs"),
    ("rows {dump} library -o {dump}", "is also the input"),
    ("load {dump} library --into sqlite:///{dump}", "is also the input"),
    ("resolve --catalog {rel} --catalog-column artist -o {rel}", "is also the input"),
    ("run --dump {dump} --releases {d}/w3/releases_classified.csv --workdir {d}/w3", "is also the input|--workdir"),
], ids=lambda v: v[:60] if " " in v else None)
def test_user_errors_are_one_line_and_exit_2(main, bad_inputs, args, words):
    def files():  # a run's lock aside
        return {p: p.read_bytes() for p in bad_inputs.rglob("*") if p.is_file() and p.name != "run.lock"}

    before = files()
    argv = args.format(d=bad_inputs, dump=SAMPLE_DUMP, rel=SAMPLE_RELEASES).split()
    # A FIFO opened would wait for a writer: a subprocess, with its timeout.
    done = zemo(*argv, input="x\n") if "fifo" in args else main(*argv)
    one_line_error(done, *words.split("|"))
    assert not (bad_inputs / "w").exists() and not (bad_inputs / "x").exists()
    assert files() == before


@pytest.mark.parametrize("how", ["same path", "symlink to the input", "symlink as the output", "hard link",
                                 "standard input", "standard output", "a copy"])
@pytest.mark.parametrize("column", [None, "artist"])
def test_an_output_onto_its_input_is_refused_and_the_input_kept(tmp_path, how, column):
    names = write(tmp_path / "names.csv", "artist,title\nBjörk,Homogenic\n")
    other = tmp_path / "other"
    if how.startswith("symlink"):
        other.symlink_to(names)
    elif how == "hard link":
        os.link(names, other)
    elif how == "a copy":  # the same bytes in another file: not the input
        write(other, names.read_text(encoding="utf-8"))
    src, out = {"same path": (names, names), "symlink to the input": (other, names),
                "symlink as the output": (names, other), "hard link": (other, names), "a copy": (other, names),
                "standard input": ("-", names), "standard output": (names, None)}[how]
    args = ["normalize", "--form", "match", src, *(["--column", column] if column else [])]
    args += ["-o", out] if out else []
    with open(names, encoding="utf-8") as stdin, open(names, "a", encoding="utf-8") as appended:
        done = zemo(*args, stdin=stdin, stdout=appended if out is None else subprocess.PIPE, timeout=60)
    if how == "a copy":
        assert done.returncode == 0 and "bjork" in names.read_text(encoding="utf-8"), done.stderr
        return
    one_line_error(done, "is also the input")
    assert names.read_text(encoding="utf-8") == "artist,title\nBjörk,Homogenic\n"


@pytest.mark.parametrize("column", [None, "title"])
@pytest.mark.parametrize("stop", ["ctrl-c", "bad input"])
def test_a_command_stopped_while_writing_leaves_the_old_output(tmp_path, column, stop):
    # The input comes through a pipe this test holds open, so the command is
    # still writing, part of its output in the temporary file, whenever it stops.
    out = tmp_path / "out.txt"
    out.write_bytes(b"the previous output\r\n")
    args = ["normalize", "--form", "match", "-o", str(out)] + (["--column", column] if column else [])
    proc = subprocess.Popen([sys.executable, "-m", "zemo_etl", *args], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env={**os.environ, "ZEMO_ETL_PROGRESS": "off"})
    proc.stdin.write(b"artist,title\n" + b"Some Artist,Some Title\n" * 100_000)
    proc.stdin.flush()
    temp = []
    while not any(p.stat().st_size for p in temp):  # until a chunk of output is written
        assert proc.poll() is None, proc.stderr.read()
        temp = [p for p in tmp_path.iterdir() if p.name.startswith(".out.txt.")]
    if stop == "ctrl-c":
        proc.send_signal(signal.SIGINT)
    else:
        proc.stdin.write(b"\xff not UTF-8\n")
    proc.stdin.close()
    err = proc.stderr.read().decode()
    assert proc.wait(timeout=60) == (130 if stop == "ctrl-c" else 2)
    assert "Traceback" not in err and len(err.strip().splitlines()) == 1, err
    assert out.read_bytes() == b"the previous output\r\n"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["out.txt"]


PRINTING = {"rows": ["rows", SAMPLE_DUMP, "library"], "classify": [*CLASSIFY, SAMPLE_RELEASES],
            "normalize": ["normalize", "--form", "match", SAMPLE_RELEASES],
            "state show": ["state", "show", "{}/s.json"], "demo": ["demo", "--workdir", "{}"]}


# A reader gone before the first write (`| head -0`) stops the command quietly (141); a full disk is one line
# and exit 1. Only the printing failed: no step of a run is marked failed.
@pytest.mark.parametrize("sink, command", [
    *[pytest.param(sink, args, id=f"{name}, {sink}") for sink in ("closed pipe", "unbuffered closed pipe", "full disk")
      for name, args in PRINTING.items()],
    pytest.param("full disk", ["rows", SAMPLE_DUMP, "library", "-o", "/dev/full"], id="rows -o, full disk"),
])
def test_an_output_that_fails_stops_the_command(tmp_path, sink, command):
    state.PipelineState("u", "d", job.STEPS).save(str(tmp_path / "s.json"))
    read, closed = os.pipe()
    os.close(read)
    with open("/dev/full", "w") as full:
        done = zemo(*[a.format(tmp_path) for a in command], stdout=full if sink == "full disk" else closed,
                    env={"PYTHONUNBUFFERED": "1" if sink.startswith("unbuffered") else ""})
    os.close(closed)
    if sink == "full disk":
        assert done.returncode == 1 and "Traceback" not in done.stderr, done.stderr
        assert done.stderr.strip().endswith("No space left on device")
        assert len([ln for ln in done.stderr.splitlines() if "No space" in ln]) == 1, done.stderr
    else:
        assert (done.returncode, done.stderr) == (141, "")
    if command[0] == "demo":
        st = state.PipelineState.load(str(tmp_path / "state.json"))
        assert st.is_completed(job.STEPS[0]) and not any(st.step_status(s) == "failed" for s in job.STEPS)
        assert zemo("demo", "--workdir", tmp_path).returncode == 0


@pytest.mark.parametrize("command, added", [
    ("classify --library {dump} --releases {src}", "decision"),
    ("resolve --catalog {dump} --column artist {src}", "match"),
    ("run --dump {dump} --releases {src} --workdir {w} --fresh", "decision"),
], ids=lambda v: v.split()[0])
def test_a_column_the_command_adds_is_replaced_where_it_stands(main, tmp_path, command, added):
    # The input's other columns are kept as they are, and its line ends; a second
    # run on the output replaces the column again, to the same values.
    src = write(tmp_path / "in.csv", f"id,artist,{added},title\r\n7,golden armies,old,Scarlet Garden\r\n"
                                     "8,Nobody Known,old,Nothing Like It\r\n")
    argv = command.format(dump=SAMPLE_DUMP, src=src, w=tmp_path / "w").split()
    outputs = []
    for _ in range(2):
        done = main(*argv)
        assert f"in.csv has a column '{added}' already" in done.stderr
        report = tmp_path / "w" / "releases_classified.csv"
        outputs.append(report.read_bytes().decode() if command.startswith("run") else done.stdout)
        src.write_text(outputs[-1], encoding="utf-8")
    assert outputs[0] == outputs[1] and outputs[0].count("\r\n") == outputs[0].count("\n") == 3
    rows = parse_csv(outputs[0])
    assert [r[:4] for r in rows] == [["id", "artist", added, "title"],
                                     ["7", "golden armies", rows[1][2], "Scarlet Garden"],
                                     ["8", "Nobody Known", rows[2][2], "Nothing Like It"]]
    assert rows[1][2] not in ("old", "") and rows[2][2] != "old"
    if command.startswith("run"):  # the library's artist as the library stores it
        assert [r[rows[0].index("library_artist")] for r in rows[1:]] == ["The Golden Armies", ""]


def test_version_comes_from_the_package_metadata():
    from zemo_etl import __version__ as version
    assert version != "unknown" and zemo("--version").stdout == f"zemo-etl {version}\n"
    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    if pyproject.is_file():  # a checkout: the one source of the version
        assert f'\nversion = "{version}"\n' in pyproject.read_text(encoding="utf-8")


# --- CSV files as people make them ---------------------------------------------------------

CSV_COMMANDS = {
    "classify": "classify --library {dump} --releases {f} -o {out}",
    "normalize": "normalize --form match --column artist {f} -o {out}",
    "resolve": "resolve --catalog {f} --catalog-column artist --column title {f} -o {out}",
    "run": "run --dump {dump} --releases {f} --workdir {out}",
}


def command_output(command, path, extra, out):
    """The rows a command writes for a CSV, its header line aside, in one dialect whatever the input's."""
    argv = CSV_COMMANDS[command].format(dump=SAMPLE_DUMP, f=path, out=out).split()
    assert cli.main([*argv, *extra, "--output-dialect", "unix"]) == 0
    written = out / "releases_classified.csv" if command == "run" else out
    return written.read_text(encoding="utf-8").splitlines()[1:]


@pytest.fixture(scope="module")
def plain_releases(tmp_path_factory):
    """Releases any spreadsheet can hold (no separator or quote in a value, Latin-1 text), and what each
    command writes for them."""
    rows = parse_csv(pathlib.Path(SAMPLE_RELEASES).read_text(encoding="utf-8"))[1:]
    usable = [r for r in rows if not set(",;|\t\"") & set("".join(r)) and "".join(r).encode("latin-1", "ignore")
              .decode("latin-1") == "".join(r)][:60]
    assert any(not "".join(r).isascii() for r in usable)
    folder = tmp_path_factory.mktemp("plain")
    text = write(folder / "plain.csv", "artist,title\n" + "".join(f"{a},{t}\n" for a, t in usable)).read_text()
    return text, {c: command_output(c, folder / "plain.csv", [], folder / c) for c in CSV_COMMANDS}


@pytest.mark.parametrize("variant, extra", [
    (lambda s: b"\xef\xbb\xbf" + s.encode(), []),
    (lambda s: s.replace(",", ";").encode(), []),
    (lambda s: s.replace(",", "\t").encode(), []),
    (lambda s: s.replace(",", "|").encode(), []),
    (lambda s: s.replace(",", ";").encode("latin-1"), ["--encoding", "latin-1"]),
    (lambda s: s.replace(",", "\t").encode(), ["--delimiter", "tab"]),
    (lambda s: s.replace("artist,title", "Artist,TITLE").replace("\n", "\r\n").encode(), []),
], ids=["byte-order mark", "semicolons", "tabs", "bars", "latin-1", "--delimiter tab", "capitals, CRLF"])
@pytest.mark.parametrize("command", list(CSV_COMMANDS))
def test_csv_files_as_spreadsheets_write_them(plain_releases, tmp_path, command, variant, extra):
    text, expected = plain_releases
    path = tmp_path / "in.csv"
    path.write_bytes(variant(text))
    assert command_output(command, path, extra, tmp_path / "out") == expected[command]


@pytest.mark.parametrize("offset, quoted", [(20, False), ((1 << 16) - 1, False), (3 << 20, True)],
                         ids=["line 2", "across a read", "in a quoted field past 3 MiB"])
# Each reader once: CSV from a file, lines, CSV from standard input (`run` reads as classify does).
@pytest.mark.parametrize("command", ["classify", "normalize lines", "normalize from standard input"])
def test_undecodable_bytes_are_placed_exactly(tmp_path, command, offset, quoted):
    # The first undecodable byte at `offset`, in a field that starts on the line before when `quoted`.
    data = bytearray(b"artist,title\n")
    while len(data) < offset - 200:
        data += b"abc,def\n"
    lead = b'"q\n' if quoted else b""
    # A byte of 0x80-0x9F is most likely Windows-1252 (a euro sign), where
    # latin-1 would read a control character.
    bad, suggested = (b"\x80", "cp1252") if offset == 20 else (b"\xc3", "latin-1")
    data += lead + b"y" * (offset - len(data) - len(lead)) + bad + b"(" + (b'"' if quoted else b"") + b",t\n"
    data += b"z,w\n" * 9
    assert data.index(bad + b"(") == offset
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    args = {"classify": CSV_COMMANDS["classify"], "normalize lines": "normalize --form match {f}",
            "normalize from standard input": "normalize --form match --column title -"}[command]
    args = args.format(dump=SAMPLE_DUMP, f=path, out="-").split()
    done = zemo(*args, input=bytes(data), text=False)
    name = "standard input" if command.endswith("standard input") else str(path)
    line = data[:offset].count(b"\n") + 1
    assert done.returncode == 2 and done.stderr.decode() == (
        f"zemo-etl {args[0]}: {name} line {line}, byte offset {offset}: not UTF-8 text (byte 0x{bad.hex()}); "
        f"--encoding names the file's encoding, e.g. --encoding {suggested}\n")


def _non_utf8_index(d):
    """A library index whose text holds a byte that is not UTF-8, its checksum made right."""
    from shared import rewritten_index_file
    from zemo_etl.index import LibraryIndex

    def lie(sections, _):
        sections[0] = b"\xff" + sections[0][1:]

    path = d / "bad.zix"
    path.write_bytes(rewritten_index_file(LibraryIndex([("Björk", "Homogenic")]).to_bytes(), lie, 0))
    return path


def _nested_record(d):
    """A finished run's folder whose record of inputs nests past any recursion limit."""
    assert cli.main(["classify", "--library", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES, "-o", os.devnull]) == 0
    assert cli.main(RUN.format(dump=SAMPLE_DUMP, rel=SAMPLE_RELEASES).split() + [str(d / "w")]) == 0
    (d / "w" / "inputs.json").write_text("[" * 100_000)
    return d / "w"


# Inputs that once ended in a traceback; {x} is what the setup returns.
@pytest.mark.parametrize("setup, args, words", [
    (None, "normalize --form match --encoding rot13 {rel}", "'rot13' is not a text encoding"),
    (None, "normalize --form match --encoding base64 {rel}", "'base64' is not a text encoding"),
    (lambda d: write(d / "esc.txt", "a\x1bb\n"), "normalize --form match --encoding punycode {x}", "1b"),  # worded by the codec
    (_non_utf8_index, "classify --library {x} --releases {rel} --explain", "bad.zix|damaged"),
    (_nested_record, RUN + " {x}", "inputs.json|not a usable record|recursion"),
    (lambda d: os.fsdecode(bytes(d / "w") + b"\x9b"), RUN + " {x}", "not UTF-8 text|w\\udc9b"),
], ids=["rot13", "base64", "punycode", "index text", "nested record", "workdir name"])
def test_odd_inputs_end_in_one_line(main, tmp_path, setup, args, words):
    x = setup(tmp_path) if setup else None
    argv = [a.format(dump=SAMPLE_DUMP, rel=SAMPLE_RELEASES, x=x) for a in args.split()]
    done = main(*argv)
    one_line_error(done, *words.split("|"))
    assert "\x1b" not in done.stderr


COMPRESSORS = {"gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress, "zstd": zstd_compress}


@pytest.mark.parametrize("kind", sorted(COMPRESSORS))
def test_compressed_inputs_read_as_the_plain_ones(main, tmp_path, kind):
    # Known by their first bytes, whatever the name; the same output as the
    # plain files; a cut one refused in one line.
    compress = COMPRESSORS[kind]
    dumped = write(tmp_path / "library", "")
    dumped.write_bytes(compress(pathlib.Path(SAMPLE_DUMP).read_bytes()))
    releases = tmp_path / "releases.csv.x"
    releases.write_bytes(compress(pathlib.Path(SAMPLE_RELEASES).read_bytes()))
    plain = main("classify", "--library", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES)
    assert main("classify", "--library", str(dumped), "--releases", str(releases)).stdout == plain.stdout
    assert main("rows", str(dumped), "library").stdout == main("rows", SAMPLE_DUMP, "library").stdout
    piped = zemo("rows", "-", "library", input=dumped.read_bytes(), text=False)
    assert piped.stdout.decode() == main("rows", SAMPLE_DUMP, "library").stdout, piped.stderr
    one_line_error(main("rows", str(dumped), "Library"), "library holds no table `Library`", "did you mean")
    cut = tmp_path / "cut.csv"
    cut.write_bytes(releases.read_bytes()[:2000])
    one_line_error(main("classify", "--library", SAMPLE_DUMP, "--releases", str(cut)),
                   "cut.csv: the compressed data is cut short or damaged")
    cut.write_bytes(dumped.read_bytes()[:-10])
    one_line_error(main("rows", str(cut), "library"), f"cut.csv: table `library`: its {kind} data is cut short",
                   "--allow-incomplete")
    # Members one after another are one stream, as the decompressors read them.
    cut.write_bytes(dumped.read_bytes() * 2)
    assert main("rows", str(cut), "library", "--columns", "none").stdout == \
        main("rows", SAMPLE_DUMP, "library", "--columns", "none").stdout * 2


@pytest.mark.parametrize("head, kind", [(b"\x89PNG\r\n\x1a\n", "a PNG image"),
                                        (b"SQLite format 3\x00", "an SQLite database"),
                                        (b"\x00\x01garbage", "binary data")])
def test_a_binary_file_is_not_a_dump(main, tmp_path, head, kind):
    path = tmp_path / "x.sql"
    path.write_bytes(head + bytes(range(256)))
    for command in DUMP_COMMANDS.values():
        one_line_error(main(*command.format(dump=path, out=tmp_path).split()),
                       f"x.sql is not a dump (it looks like {kind})")


@pytest.mark.parametrize("dialect, start, separator, end", [
    ([], "\ufeff", ";", "\r\n"), (["--output-dialect", "unix"], "", ",", "\n"),
    (["--output-dialect", "excel"], "\ufeff", ",", "\r\n")])
def test_csv_outputs_are_written_as_the_input_unless_asked(main, tmp_path, dialect, start, separator, end):
    # A European spreadsheet's export: semicolons, a byte-order mark, CRLF;
    # classify, normalize and the main job's report and duplicates alike.
    path = tmp_path / "r.csv"
    path.write_bytes("\ufeffartist;title;price\r\nZ;Q;9,99 €\r\nz;q;1\r\n".encode())
    outputs = {
        "classify": main("classify", "--library", SAMPLE_DUMP, "--releases", str(path), *dialect).stdout,
        "normalize": main("normalize", "--form", "match", "--column", "artist", str(path), *dialect).stdout}
    assert main("run", "--dump", SAMPLE_DUMP, "--releases", str(path), "--workdir", str(tmp_path / "w"),
                "--no-review-page", *dialect).returncode == 0
    for name in ("releases_classified.csv", "duplicates.csv"):
        outputs[name] = (tmp_path / "w" / name).read_bytes().decode("utf-8")
    price = "9,99 €" if separator == ";" else '"9,99 €"'
    assert outputs["normalize"] == start + end.join([separator.join(["artist", "title", "price"]),
                                                     separator.join(["z", "Q", price]), separator.join("zq1")]) + end
    for name, text in outputs.items():
        assert text.startswith(start + separator.join(["artist", "title", "price"][:1])) or name == "duplicates.csv"
        lines = text[len(start):].split(end)
        assert lines[-1] == "" and all(separator in line and "\r" not in line and "\n" not in line
                                       for line in lines[:-1]), (name, text)


def test_the_library_where_the_dump_has_it(main, tmp_path):
    # Another table, other column names: found with --table and the column
    # options, and a table without ids numbered in its order.
    path = write(tmp_path / "albums.sql", "CREATE TABLE `albums` (`band` text, `album` text, `year` int);\n"
                                          "INSERT INTO `albums` VALUES ('Alpha Band','Tides Turning',1999);\n")
    releases = write(tmp_path / "r.csv", "artist,title\nAlpha Band,Tides Turning\nZ,Q\n")
    where = ["--table", "albums", "--library-artist-column", "band", "--library-title-column", "album"]
    one_line_error(main("classify", "--library", str(path), "--releases", str(releases)),
                   "albums.sql holds no table `library` (tables: albums)")
    one_line_error(main("classify", "--library", str(path), "--releases", str(releases), "--table", "albums"),
                   "table `albums` has no column artist, title (columns: band, album, year)")
    done = main("classify", "--library", str(path), "--releases", str(releases), *where)
    assert parse_csv(done.stdout)[1:] == [["Alpha Band", "Tides Turning", "keep"], ["Z", "Q", "prune"]]
    args = ["run", "--dump", str(path), "--releases", str(releases), "--workdir", str(tmp_path / "w"), *where]
    assert main(*args).returncode == 0
    library = sqlite3.connect(tmp_path / "w" / "library.db").execute("SELECT id, artist, title FROM library")
    assert library.fetchall() == [(1, "Alpha Band", "Tides Turning")]
    report = parse_csv((tmp_path / "w" / "releases_classified.csv").read_text(encoding="utf-8"))
    assert [r[report[0].index("decision")] for r in report[1:]] == ["keep", "prune"]
    assert main(*args[:-1], "title").stdout.startswith(  # another column: the library is loaded again
        "[redo] load_library and the steps after it: --library-title-column is 'title', was 'album'")
