"""The subcommands end to end, as a user runs them: a subprocess each."""

import csv
import io
import json
import os
import pathlib
import signal
import sqlite3
import subprocess
import sys

import pytest

from zemo_etl import cli, fuzzy, parser, pg, schema, state, text

SAMPLE_DUMP = str(cli.SAMPLE_DATA / "library.sql")
SAMPLE_RELEASES = str(cli.SAMPLE_DATA / "releases.csv")


def zemo(*args, input=None, cwd=None):
    env = {**os.environ, "ZEMO_ETL_PROGRESS": "off"}
    return subprocess.run([sys.executable, "-m", "zemo_etl", *args], input=input, capture_output=True,
                          text=True, encoding="utf-8", env=env, cwd=cwd, timeout=120)


def one_line_error(done, *words):
    assert done.returncode == 2, (done.stdout, done.stderr)
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in done.stderr, done.stderr
    assert all(w in lines[0] for w in words), lines[0]


def parse_csv(s):
    return list(csv.reader(io.StringIO(s)))


@pytest.mark.parametrize("command", [["demo"], ["run"], ["rows"], ["normalize"], ["classify"], ["resolve"],
                                     ["state"], ["state", "show"], ["state", "check"], ["load"], ["review"]])
def test_every_subcommand_has_help_with_examples(command):
    done = zemo(*command, "--help")
    assert done.returncode == 0
    assert done.stdout.startswith("usage: zemo-etl " + " ".join(command))
    assert "zemo-etl " + " ".join(command) in done.stdout.split("example")[-1]


def test_rows_writes_the_table_with_its_schema_header(tmp_path):
    done = zemo("rows", SAMPLE_DUMP, "library")
    assert done.returncode == 0, done.stderr
    table = parse_csv(done.stdout)
    expected = parser.load_table_rows(SAMPLE_DUMP, "library")
    assert table[0] == schema.library_columns()
    assert len(table) == 1 + len(expected) == 3001
    assert table[1] == ["" if v is None else str(v) for v in expected[0]]

    out = tmp_path / "lib.jsonl"
    assert zemo("rows", SAMPLE_DUMP, "library", "--format", "jsonl", "-o", str(out)).returncode == 0
    objects = [json.loads(line) for line in out.read_text(encoding="utf-8").splitlines()]
    assert objects[0] == dict(zip(schema.library_columns(), expected[0]))
    assert objects[0]["alternate_artist_name"] is None

    # A table `schema` does not know: the names of the dump's CREATE TABLE.
    notes = parser.load_table_rows(SAMPLE_DUMP, "library_notes")
    done = zemo("rows", SAMPLE_DUMP, "library_notes", "--format", "jsonl")
    assert [json.loads(line) for line in done.stdout.splitlines()] == [{"id": i, "note": n} for i, n in notes]
    assert "\n" in notes[1][1]  # an escaped newline survives both ways
    header, first = parse_csv(zemo("rows", SAMPLE_DUMP, "library_notes").stdout)[:2]
    assert (header, first) == (["id", "note"], [str(notes[0][0]), notes[0][1]])
    # Without a CREATE TABLE, or with --columns none: no header, arrays.
    bare = tmp_path / "bare.sql"
    bare.write_text("INSERT INTO `library_notes` VALUES (1,'a'),(2,NULL);\n", encoding="utf-8")
    assert zemo("rows", str(bare), "library_notes").stdout == "1,a\n2,\n"
    assert zemo("rows", str(bare), "library_notes", "--format", "jsonl").stdout == '[1, "a"]\n[2, null]\n'
    assert parse_csv(zemo("rows", SAMPLE_DUMP, "library", "--columns", "none").stdout)[0] == table[1]
    assert zemo("rows", SAMPLE_DUMP, "library_notes", "--columns", "none").stdout.startswith(f"{notes[0][0]},")


def test_rows_of_a_table_the_dump_does_not_hold(tmp_path):
    # A typo is an error naming what the dump holds; a table it creates empty is just empty.
    done = zemo("rows", SAMPLE_DUMP, "labels")
    assert done.returncode == 2 and done.stdout == ""
    one_line_error(done, "holds no table `labels` (tables: library, library_notes")
    path = tmp_path / "d.sql"
    path.write_text("CREATE TABLE `empty` (`a` int);\nCREATE TABLE `t` (`x` int);\nINSERT INTO `t` VALUES (1);\n")
    done = zemo("rows", str(path), "empty")
    assert done.returncode == 0 and done.stdout == "a\n" and "no rows for table `empty`" in done.stderr
    one_line_error(zemo("rows", str(path), "tt"), "holds no table `tt` (tables: empty, t)")


@pytest.fixture(scope="module")
def odd_dumps(tmp_path_factory):
    d = tmp_path_factory.mktemp("dumps")
    data = open(SAMPLE_DUMP, "rb").read()
    (d / "cut.sql").write_bytes(data[:len(data) // 2])  # inside a tuple
    (d / "notrailer.sql").write_bytes(data[:data.rindex(b"-- Dump completed")])
    (d / "empty.sql").write_bytes(b"")
    (d / "other.sql").write_bytes(data.replace(b"INSERT INTO `library`", b"INSERT INTO `other`"))
    # The INSERT names its columns in another order than the table's DDL.
    (d / "named.sql").write_text(
        "INSERT INTO `library` (`title`,`artist`,`id`) VALUES ('Tides Turning','Alpha Band',1);\n", encoding="utf-8")
    return d


def _dump_commands(d, dump, tmp):
    return {
        "rows": ["rows", str(dump), "library", "-o", str(tmp / "rows.csv")],
        "load": ["load", str(dump), "library", "--into", f"sqlite:///{tmp / 'x.db'}", "--create"],
        "classify": ["classify", "--library", str(dump), "--releases", SAMPLE_RELEASES, "-o", str(tmp / "c.csv")],
        "run": ["run", "--dump", str(dump), "--releases", SAMPLE_RELEASES, "--workdir", str(tmp / "w"), "--fresh"],
    }


@pytest.mark.parametrize("command", ["rows", "load", "classify", "run"])
@pytest.mark.parametrize("name, words", [
    ("cut.sql", ["cut.sql: table `library`: an INSERT statement is cut short after row", "--allow-incomplete"]),
    ("notrailer.sql", ["notrailer.sql: table `library`: the dump ends at byte", "'-- Dump completed'", "3000 rows"]),
    ("empty.sql", ["empty.sql is empty"]),
    ("other.sql", ["other.sql: no rows for table `library`"]),
])
def test_dumps_cut_short_or_empty_are_refused(odd_dumps, tmp_path, command, name, words):
    if name == "other.sql" and command in ("rows", "load"):
        return  # another table's dump: no rows of `library` is no error there
    done = zemo(*_dump_commands(odd_dumps, odd_dumps / name, tmp_path)[command])
    if command == "run":  # one line after the steps' progress
        assert done.returncode == 2 and "Traceback" not in done.stderr, done.stderr
        assert all(w in done.stderr.strip().splitlines()[-1] for w in words), done.stderr
    else:
        one_line_error(done, *words)
    assert not (tmp_path / "rows.csv").exists() and not (tmp_path / "x.db").exists()
    if name in ("cut.sql", "notrailer.sql"):
        done = zemo(*_dump_commands(odd_dumps, odd_dumps / name, tmp_path)[command], "--allow-incomplete")
        assert done.returncode == 0, done.stderr
        rows = 3000 if name == "notrailer.sql" else len(parser.load_table_rows(str(odd_dumps / name), "library")) - 1
        assert f"warning: {odd_dumps / name}: table `library`" in done.stderr
        assert f" {rows:,} rows " in done.stderr or f" {rows} rows " in done.stderr, done.stderr


def test_library_columns_by_name_and_values_kept(odd_dumps, tmp_path):
    releases = _write(tmp_path / "r.csv", "artist,title\nAlpha Band,Tides Turning\nZ,Q\n")
    done = zemo("classify", "--library", str(odd_dumps / "named.sql"), "--releases", str(releases))
    assert done.returncode == 0, done.stderr
    assert parse_csv(done.stdout)[1:] == [["Alpha Band", "Tides Turning", "keep"], ["Z", "Q", "prune"]]
    rows = zemo("rows", str(odd_dumps / "named.sql"), "library")
    assert parse_csv(rows.stdout) == [["title", "artist", "id"], ["Tides Turning", "Alpha Band", "1"]]
    no_title = _write(tmp_path / "nt.sql", "INSERT INTO `library` (`id`,`artist`) VALUES (1,'A');\n")
    one_line_error(zemo("classify", "--library", str(no_title), "--releases", SAMPLE_RELEASES),
                   "table `library` has no column title")

    wide = "9" * 1500
    values = _write(tmp_path / "v.sql", f"INSERT INTO `t` VALUES (1,-{wide},1.5),(2,{wide}0,1{'0' * 400}.0);\n")
    done = zemo("rows", str(values), "t", "--format", "jsonl")
    assert done.returncode == 0, done.stderr
    assert [json.loads(line) for line in done.stdout.splitlines()] == [[1, -int(wide), 1.5], [2, int(wide + "0"), None]]
    assert done.stderr.strip() == "zemo-etl rows: warning: 1 values JSON cannot hold (infinity, NaN) written as null"
    assert parse_csv(zemo("rows", str(values), "t").stdout)[1] == ["2", wide + "0", "inf"]
    assert zemo("load", str(values), "t", "--into", f"sqlite:///{tmp_path / 'v.db'}", "--create").returncode == 0
    with sqlite3.connect(tmp_path / "v.db") as db:
        assert [str(v) for (v,) in db.execute("SELECT c2 FROM t ORDER BY c1")] == ["-" + wide, wide + "0"]


def _write(path, content):
    path.write_text(content, encoding="utf-8")
    return path


@pytest.mark.parametrize("form, batch", [
    ("storage", text.batch_to_storage_form), ("match", text.batch_to_match_form),
    ("ascii", text.batch_to_ascii_form), ("pg", pg.batch_to_pg_text_form),
    ("identity", lambda v: [text.to_identity_match_form(x) for x in v]),
    ("identity-title", lambda v: [text.to_identity_match_form_title(x) for x in v]),
    ("identity-punctuation", lambda v: [text.to_identity_match_form_with_punctuation(x) for x in v]),
    ("identity-disambiguator", lambda v: [text.to_identity_match_form_with_disambiguator_strip(x) for x in v]),
])
def test_normalize_lines_and_a_csv_column(form, batch, tmp_path):
    names = ["  BjÃ¶rk ", "Beatles, The [Remastered]", "Кино", "AC/DC (Live)", "Night Owl /3", "", "a\tb"]
    done = zemo("normalize", "--form", form, input="\n".join(names) + "\n")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:-1] == batch(names)

    src = tmp_path / "in.csv"
    src.write_text('id,artist\n1,"Sigur Rós, The"\n2,"Line\nbreak"\n', encoding="utf-8")
    rows = parse_csv(zemo("normalize", "--form", form, "--column", "artist", str(src)).stdout)
    assert rows == [["id", "artist"], ["1", *batch(["Sigur Rós, The"])], ["2", *batch(["Line\nbreak"])]]


def test_classify_against_a_dump_or_a_csv_library(tmp_path):
    done = zemo("classify", "--library", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES)
    assert done.returncode == 0, done.stderr
    rows = parse_csv(done.stdout)
    with open(SAMPLE_RELEASES, newline="", encoding="utf-8") as f:
        releases = list(csv.reader(f))
    assert rows[0] == ["artist", "title", "decision"]
    assert [r[:2] for r in rows] == releases
    library = parser.load_table_rows(SAMPLE_DUMP, "library")
    pairs = [(r[2] or "", r[1] or "") for r in library]
    direct = fuzzy.batch_classify_releases([r[0] for r in releases[1:]], [r[1] for r in releases[1:]], pairs)
    assert [r[2] for r in rows[1:]] == direct
    summary = done.stderr.strip()
    assert summary.startswith("classified 3,000 releases against 3,000 library entries")
    assert f"{direct.count('keep'):,} keep" in summary

    lib_csv = tmp_path / "library.csv"
    assert zemo("rows", SAMPLE_DUMP, "library", "-o", str(lib_csv)).returncode == 0
    out = tmp_path / "decided.csv"
    assert zemo("classify", "--library", str(lib_csv), "--releases", SAMPLE_RELEASES, "-o", str(out)).returncode == 0
    assert out.read_text(encoding="utf-8") == done.stdout


def test_resolve_compares_match_forms_unless_told_otherwise(tmp_path):
    catalog = tmp_path / "artists.txt"
    catalog.write_text("Radiohead\nradiohead\nRadio Head\nStereolab\nBjörk\n", encoding="utf-8")
    names = "RADIOHEAD\nstereo lab\nbjork\nportishead\n"
    done = zemo("resolve", "--catalog", str(catalog), input=names)
    assert done.returncode == 0, done.stderr
    # 'Radiohead' and 'radiohead' count once, so the exact name is not ambiguous.
    assert parse_csv(done.stdout) == [["name", "match"], ["RADIOHEAD", "Radiohead"], ["stereo lab", "Stereolab"],
                                      ["bjork", "Björk"], ["portishead", ""]]
    assert "resolved 3 of 4 names against 4 catalogue entries" in done.stderr

    exact = zemo("resolve", "--catalog", str(catalog), "--compare", "exact", input=names)
    entries = list(dict.fromkeys(catalog.read_text(encoding="utf-8").split()))
    expected = fuzzy.batch_fuzzy_resolve(names.split("\n")[:-1], ["Radiohead", "radiohead", "Radio Head", "Stereolab", "Björk"], 0.85)
    assert [r[1] or None for r in parse_csv(exact.stdout)[1:]] == expected
    assert entries  # the catalogue was read line by line

    releases = tmp_path / "rel.csv"
    releases.write_text("artist,title\nStereo-Lab,Dots\nNobody,Nothing\n", encoding="utf-8")
    done = zemo("resolve", "--catalog", str(catalog), "--column", "artist", "--threshold", "0.8", str(releases))
    assert parse_csv(done.stdout) == [["artist", "title", "match"], ["Stereo-Lab", "Dots", "Stereolab"],
                                      ["Nobody", "Nothing", ""]]


def test_state_show_and_check(tmp_path, monkeypatch):
    path = tmp_path / "state.json"
    st = state.PipelineState("postgresql:///etl", "/data/csv", ["create_schema", "import_csv", "dedup"])
    st.mark_completed("create_schema")
    st.mark_failed("import_csv", "connection reset")
    st.save(str(path))

    done = zemo("state", "show", str(path))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert "postgresql:///etl" in lines[1] and "/data/csv" in lines[2]
    assert [ln.split()[0] for ln in lines[3:6]] == ["create_schema", "import_csv", "dedup"]
    assert "failed: connection reset" in lines[4]
    assert lines[-1] == "1 of 3 steps completed; a resumed run starts at import_csv (failed: connection reset)"

    ok = zemo("state", "check", str(path), "--db-url", "postgresql:///etl", "--csv-dir", "/data/csv")
    assert ok.returncode == 0 and ok.stdout.startswith("can resume: 1 of 3 steps completed")
    other = zemo("state", "check", str(path), "--db-url", "postgresql:///other", "--csv-dir", "/data/csv")
    assert other.returncode == 1 and "database_url mismatch" in other.stderr

    # Paths are compared resolved: a folder written otherwise, a relative sqlite URL.
    (tmp_path / "csv").mkdir()
    state.PipelineState(f"sqlite:///{tmp_path}/x.db", str(tmp_path / "csv"), ["dedup"]).save(str(path))
    monkeypatch.chdir(tmp_path)
    for db_url, csv_dir, status in [("sqlite:///x.db", "csv/", 0), ("sqlite:///./x.db", "./csv", 0),
                                    (f"sqlite:///{tmp_path}/x.db", f"{tmp_path}/../{tmp_path.name}/csv", 0),
                                    ("sqlite:///x.db", ".", 1), ("sqlite:///csv/x.db", "csv", 1)]:
        assert cli.main(["state", "check", str(path), "--db-url", db_url, "--csv-dir", csv_dir]) == status


def test_state_show_migrates_an_old_file(tmp_path):
    path = tmp_path / "v1.json"
    path.write_text(json.dumps({"version": 1, "database_url": "u", "csv_dir": "d",
                                "steps": {"create_schema": {"status": "completed"}}}), encoding="utf-8")
    lines = zemo("state", "show", str(path)).stdout.splitlines()
    assert "(version 3)" in lines[0]
    assert lines[3].split() == ["create_schema", "completed"]
    assert lines[-1].startswith("1 of 9 steps completed; a resumed run starts at import_csv")


@pytest.fixture
def bad_inputs(tmp_path):
    files = {
        "no_artist.csv": "name,title\nx,y\n",
        "ragged.csv": "artist,title\nx,y\nz\n",
        "quotes.csv": 'artist,title\n"x,y\n',
        "empty.csv": "",
        "latin1.csv": "artist,title\nBj\xf6rk,x\n",
        "broken_state.json": '{"version": 3, "database_url": ',
        "v9_state.json": '{"version": 9, "database_url": "u", "csv_dir": "d", "steps": {}}',
    }
    for name, content in files.items():
        encoding = "latin-1" if name == "latin1.csv" else "utf-8"
        (tmp_path / name).write_text(content, encoding=encoding)
    (tmp_path / "dir.sql").mkdir()
    return tmp_path


def test_user_errors_are_one_line_and_exit_2(bad_inputs):
    d = bad_inputs
    lib = ["--library", SAMPLE_DUMP]
    one_line_error(zemo("rows", str(d / "missing.sql"), "library"), "missing.sql", "no such file")
    one_line_error(zemo("rows", str(d / "dir.sql"), "library"), "is a directory")
    one_line_error(zemo("rows", SAMPLE_DUMP, "library", "--format", "xml"), "invalid choice: 'xml'")
    one_line_error(zemo("normalize", "--form", "upper", input="x\n"), "invalid choice: 'upper'")
    one_line_error(zemo("normalize", "--form", "match", str(d / "missing.txt")), "no such file")
    one_line_error(zemo("normalize", "--form", "match", "--column", "artist", str(d / "no_artist.csv")),
                   "no column 'artist'", "name, title")
    one_line_error(zemo("normalize", "--form", "match", str(d / "latin1.csv")), "not UTF-8")
    one_line_error(zemo("classify", *lib, "--releases", str(d / "ragged.csv")), "line 3", "1 fields", "has 2")
    one_line_error(zemo("classify", *lib, "--releases", str(d / "quotes.csv")), "malformed CSV")
    one_line_error(zemo("classify", *lib, "--releases", str(d / "empty.csv")), "empty file")
    one_line_error(zemo("classify", *lib, "--releases", str(d / "latin1.csv")), "not UTF-8")
    one_line_error(zemo("classify", "--library", str(d / "no_artist.csv"), "--releases", SAMPLE_RELEASES),
                   "no column 'artist'")
    one_line_error(zemo("classify", "--library", str(d / "nope.sql"), "--releases", SAMPLE_RELEASES), "no such file")
    one_line_error(zemo("classify", *lib), "--releases")  # a required option
    one_line_error(zemo("resolve", "--catalog", str(d / "missing.txt"), input="x\n"), "no such file")
    one_line_error(zemo("resolve", "--catalog", SAMPLE_RELEASES, "--threshold", "2", input="x\n"), "between 0 and 1")
    one_line_error(zemo("state", "show", str(d / "broken_state.json")), "not a usable state file", "parsing state JSON")
    one_line_error(zemo("state", "show", str(d / "v9_state.json")), "Unsupported state file version 9")
    one_line_error(zemo("state", "check", str(d / "missing.json"), "--db-url", "u", "--csv-dir", "d"), "no such file")
    one_line_error(zemo("frobnicate"), "invalid choice: 'frobnicate'")
    one_line_error(zemo("demo", "--scale", "0", "--workdir", str(d / "w")), "--scale")
    # `run` reads its releases as classify does, and refuses them before any step.
    for name, words in [("missing.csv", ["no such file"]), ("no_artist.csv", ["line 1", "no column 'artist'"]),
                        ("ragged.csv", ["line 3", "1 fields"]), ("quotes.csv", ["line 2", "never closed"]),
                        ("latin1.csv", ["line 2", "not UTF-8"])]:
        one_line_error(zemo("run", "--dump", SAMPLE_DUMP, "--releases", str(d / name), "--workdir", str(d / "w")),
                       name, *words)
        assert not (d / "w").exists()
    (d / "afile").touch()
    one_line_error(zemo("run", "--dump", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES, "--workdir", str(d / "afile")),
                   "not a folder")
    # Failures that were tracebacks.
    classify = ["classify", *lib, "--releases", SAMPLE_RELEASES]
    one_line_error(zemo(*classify, "--save-index", str(d / "nodir" / "x.zix")), "nodir", "no such folder")
    one_line_error(zemo(*classify, "--save-index", str(d / "dir.sql")), "dir.sql", "is a directory")
    run = ["run", "--dump", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES, "--workdir"]
    one_line_error(zemo(*run, str(d / "empty.csv")), "empty.csv")  # a file, not a folder
    (d / "w1" / "state.json").mkdir(parents=True)
    one_line_error(zemo(*run, str(d / "w1")), "state.json", "is a directory")
    (d / "w2").mkdir()
    os.mkfifo(d / "w2" / "state.json")
    one_line_error(zemo(*run, str(d / "w2")), "state.json", "is a FIFO")
    one_line_error(zemo("load", SAMPLE_DUMP, "library", "--into", "postgresql://u@[::1/db"), "postgresql://u@[::1/db")
    one_line_error(zemo("resolve", "--catalog", SAMPLE_RELEASES, input="x\n"), "needs --catalog-column",
                   "columns: artist, title")
    one_line_error(zemo("resolve", "--catalog", SAMPLE_DUMP, "--catalog-column", "band", input="x\n"),
                   "no column 'band'")
    # An output that is an input, or two outputs in one file: refused before anything is written.
    one_line_error(zemo(*classify, "-o", SAMPLE_RELEASES), "is also the input")
    one_line_error(zemo(*classify, "-o", str(d / "x"), "--save-index", str(d / "x")), "two outputs")
    one_line_error(zemo("rows", SAMPLE_DUMP, "library", "-o", SAMPLE_DUMP), "is also the input")
    one_line_error(zemo("load", SAMPLE_DUMP, "library", "--into", "sqlite:///" + SAMPLE_DUMP), "is also the input")
    one_line_error(zemo("resolve", "--catalog", SAMPLE_RELEASES, "--catalog-column", "artist", "-o", SAMPLE_RELEASES,
                        input="x\n"), "is also the input")
    report = d / "w3" / "releases_classified.csv"
    report.parent.mkdir()
    report.write_text("artist,title\nx,y\n")
    one_line_error(zemo(*run[:4], str(report), "--workdir", str(d / "w3")), "is also the input", "--workdir")
    assert report.read_text() == "artist,title\nx,y\n"


@pytest.mark.parametrize("how", ["same path", "symlink to the input", "symlink as the output", "hard link",
                                 "standard input", "standard output"])
@pytest.mark.parametrize("column", [None, "artist"])
def test_an_output_onto_its_input_is_refused_and_the_input_kept(tmp_path, how, column):
    names = tmp_path / "names.csv"
    content = "artist,title\nBjörk,Homogenic\n"
    names.write_text(content, encoding="utf-8")
    other = tmp_path / "other"
    if how.startswith("symlink"):
        other.symlink_to(names)
    elif how == "hard link":
        os.link(names, other)
    src, out = {"same path": (names, names), "symlink to the input": (other, names),
                "symlink as the output": (names, other), "hard link": (other, names),
                "standard input": ("-", names), "standard output": (names, None)}[how]
    args = [sys.executable, "-m", "zemo_etl", "normalize", "--form", "match", str(src)]
    args += ["--column", column] if column else []
    args += ["-o", str(out)] if out else []
    with open(names, encoding="utf-8") as stdin, open(names, "a", encoding="utf-8") as appended:
        done = subprocess.run(args, stdin=stdin, stdout=appended if out is None else subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, timeout=60)
    one_line_error(done, "is also the input")
    assert names.read_text(encoding="utf-8") == content


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


@pytest.mark.parametrize("unbuffered", [False, True])
@pytest.mark.parametrize("command", [["rows", SAMPLE_DUMP, "library"],
                                     ["classify", "--library", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES],
                                     ["demo", "--workdir", "{}"]], ids=lambda c: c[0])
def test_output_to_a_closed_pipe_stops_quietly(tmp_path, command, unbuffered):
    # `zemo-etl ... | head -0`: the reader is gone before the first write.
    read, write = os.pipe()
    os.close(read)
    env = {**os.environ, "ZEMO_ETL_PROGRESS": "off", "PYTHONUNBUFFERED": "1" if unbuffered else ""}
    done = subprocess.run([sys.executable, "-m", "zemo_etl", *[a.format(tmp_path) for a in command]],
                          stdout=write, stderr=subprocess.PIPE, text=True, env=env, timeout=120)
    os.close(write)
    assert (done.returncode, done.stderr) == (141, "")
    if command[0] == "demo":
        # Only the printing failed: no step is marked failed, and the run resumes.
        st = state.PipelineState.load(str(tmp_path / "state.json"))
        assert st.is_completed(cli.STEPS[0]) and not any(st.step_status(s) == "failed" for s in cli.STEPS)
        assert zemo("demo", "--workdir", str(tmp_path)).returncode == 0


@pytest.mark.parametrize("command", [["rows", SAMPLE_DUMP, "library"],
                                     ["rows", SAMPLE_DUMP, "library", "-o", "/dev/full"],
                                     ["classify", "--library", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES],
                                     ["normalize", "--form", "match", SAMPLE_RELEASES],
                                     ["state", "show", "{}/s/state.json"],
                                     ["demo", "--workdir", "{}"]],
                         ids=["rows", "rows -o", "classify", "normalize", "state show", "demo"])
def test_a_full_disk_is_one_line_and_exit_1(tmp_path, command):
    (tmp_path / "s").mkdir()
    state.PipelineState("u", "d", cli.STEPS).save(str(tmp_path / "s" / "state.json"))
    with open("/dev/full", "w") as full:
        done = subprocess.run([sys.executable, "-m", "zemo_etl", *[a.format(tmp_path) for a in command]],
                              stdout=full, stderr=subprocess.PIPE, text=True, timeout=120,
                              env={**os.environ, "ZEMO_ETL_PROGRESS": "off"})
    assert done.returncode == 1 and "Traceback" not in done.stderr, done.stderr
    assert done.stderr.strip().endswith("No space left on device")
    assert len([ln for ln in done.stderr.splitlines() if "No space" in ln]) == 1, done.stderr
    if command[0] == "demo":
        st = state.PipelineState.load(str(tmp_path / "state.json"))
        assert not any(st.step_status(s) == "failed" for s in cli.STEPS)


@pytest.mark.parametrize("command, added", [
    (["classify", "--library", SAMPLE_DUMP, "--releases", "{}"], "decision"),
    (["resolve", "--catalog", SAMPLE_DUMP, "--column", "artist", "{}"], "match"),
])
def test_a_column_the_command_adds_is_replaced_where_it_stands(tmp_path, command, added):
    src = tmp_path / "in.csv"
    src.write_text(f"artist,{added},title\nThe Golden Armies,old,Scarlet Garden\n", encoding="utf-8")
    first = zemo(*[a.format(src) for a in command])
    assert first.returncode == 0, first.stderr
    rows = parse_csv(first.stdout)
    assert rows[0] == ["artist", added, "title"] and rows[1][1] not in ("old", "")
    assert f"has a column '{added}' already" in first.stderr
    src.write_text(first.stdout, encoding="utf-8")
    assert parse_csv(zemo(*[a.format(src) for a in command]).stdout) == rows


def test_the_report_keeps_the_input_columns_and_names_the_stored_artist(tmp_path):
    releases = tmp_path / "releases.csv"
    releases.write_text("id,title,artist,label,decision\r\n7,Scarlet Garden,golden armies,GOL,old\r\n"
                        "8,Nothing Like It,Nobody Known,,old\r\n", encoding="utf-8")
    done = zemo("run", "--dump", SAMPLE_DUMP, "--releases", str(releases), "--workdir", str(tmp_path / "w"))
    assert done.returncode == 0, done.stderr
    assert "releases.csv has a column 'decision' already" in done.stderr
    data = (tmp_path / "w" / "releases_classified.csv").read_bytes()
    assert b"\r" not in data
    rows = parse_csv(data.decode("utf-8"))
    assert rows[0] == ["id", "title", "artist", "label", "decision", "ascii_artist", "ascii_title", "library_artist"]
    assert [r[:4] for r in rows[1:]] == [["7", "Scarlet Garden", "golden armies", "GOL"],
                                         ["8", "Nothing Like It", "Nobody Known", ""]]
    assert [r[7] for r in rows[1:]] == ["The Golden Armies", ""]  # as the library stores it
    assert "old" not in [r[4] for r in rows]


def test_version_comes_from_the_package_metadata():
    import zemo_etl
    done = zemo("--version")
    assert (done.returncode, done.stdout) == (0, f"zemo-etl {zemo_etl.__version__}\n")
    pyproject = pathlib.Path(__file__).resolve().parent.parent / "pyproject.toml"
    if pyproject.is_file():  # a checkout: the one source of the version
        assert f'\nversion = "{zemo_etl.__version__}"\n' in pyproject.read_text(encoding="utf-8")
    assert zemo_etl.__version__ != "unknown"


# --- CSV files as people make them ---------------------------------------------------------

CSV_COMMANDS = {
    "classify": lambda f, out: ["classify", "--library", SAMPLE_DUMP, "--releases", f, "-o", out],
    "normalize": lambda f, out: ["normalize", "--form", "match", "--column", "artist", f, "-o", out],
    "resolve": lambda f, out: ["resolve", "--catalog", f, "--catalog-column", "artist", "--column", "title", f,
                               "-o", out],
    "run": lambda f, out: ["run", "--dump", SAMPLE_DUMP, "--releases", f, "--workdir", out],
}


def command_output(command, path, extra, out):
    """The rows a command writes for a CSV, its header line aside."""
    assert cli.main([*CSV_COMMANDS[command](str(path), str(out)), *extra]) == 0
    written = out / "releases_classified.csv" if command == "run" else out
    return written.read_text(encoding="utf-8").splitlines()[1:]


@pytest.fixture(scope="module")
def plain_releases(tmp_path_factory):
    with open(SAMPLE_RELEASES, newline="", encoding="utf-8") as f:
        rows = [r for r in csv.reader(f)][1:]
    usable = [r for r in rows if not set(",;|\t\"") & set("".join(r)) and "".join(r).encode("latin-1", "ignore")
              .decode("latin-1") == "".join(r)][:60]
    assert any(not "".join(r).isascii() for r in usable)
    return "artist,title\n" + "".join(f"{a},{t}\n" for a, t in usable), tmp_path_factory.mktemp("plain")


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
    text, folder = plain_releases
    reference = folder / f"{command}.out"
    if not reference.exists():
        (folder / "plain.csv").write_text(text, encoding="utf-8")
        reference.write_text("\n".join(command_output(command, folder / "plain.csv", [], folder / command)))
    path = tmp_path / "in.csv"
    path.write_bytes(variant(text))
    assert command_output(command, path, extra, tmp_path / "out") == reference.read_text().split("\n")


def with_bad_byte(offset, quoted):
    """A CSV whose first undecodable byte is at `offset`, in a field that
    starts on the line before when `quoted`."""
    data = bytearray(b"artist,title\n")
    while len(data) < offset - 200:
        data += b"abc,def\n"
    lead = b'"q\n' if quoted else b""
    data += lead + b"y" * (offset - len(data) - len(lead)) + b"\xc3(" + (b'"' if quoted else b"") + b",t\n" + b"z,w\n" * 9
    assert data.index(b"\xc3(") == offset
    return bytes(data)


@pytest.mark.parametrize("offset, quoted", [(20, False), ((1 << 16) - 1, False), (3 << 20, True)],
                         ids=["line 2", "across a read", "in a quoted field past 3 MiB"])
@pytest.mark.parametrize("command", ["classify", "normalize lines", "normalize from standard input", "run"])
def test_undecodable_bytes_are_placed_exactly(tmp_path, command, offset, quoted):
    data = with_bad_byte(offset, quoted)
    path = tmp_path / "in.csv"
    path.write_bytes(data)
    args = {"classify": CSV_COMMANDS["classify"](str(path), "-"),
            "normalize lines": ["normalize", "--form", "match", str(path)],
            "normalize from standard input": ["normalize", "--form", "match", "--column", "title", "-"],
            "run": CSV_COMMANDS["run"](str(path), str(tmp_path / "w"))}[command]
    done = subprocess.run([sys.executable, "-m", "zemo_etl", *args], input=data, capture_output=True, timeout=120)
    name = "standard input" if command.endswith("standard input") else str(path)
    line = data[:offset].count(b"\n") + 1
    assert done.returncode == 2 and done.stderr.decode() == (
        f"zemo-etl {args[0]}: {name} line {line}, byte offset {offset}: not UTF-8 text (byte 0xc3); "
        "--encoding names the file's encoding, e.g. --encoding latin-1\n")
