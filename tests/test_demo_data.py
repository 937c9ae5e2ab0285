"""The generated sample data: written as mariadb-dump writes the same rows, and
as mixed as the demo needs."""

import csv
import subprocess
import sys

import pytest
from mariadb_fixture import mariadb  # noqa: F401
from reference import demo_data as reference

from zemo_etl import _demo_data, cli, job, parser, schema, text


def _table_block(dump: str, table: str) -> str:
    start = dump.index(f"--\n-- Table structure for table `{table}`")
    end = dump.index("UNLOCK TABLES;\n", start)
    return dump[start:end]


def test_the_dump_is_what_mariadb_dump_writes(mariadb, tmp_path):  # noqa: F811
    # Enough rows for two statements, names that need escapes, NULLs.
    library = _demo_data.library_rows(14_000, seed=5)
    library[3] = (4, "It's \\ \"q\"\n\r\0 \x1a end", "Björk", None, 1, 2, "Rock", 'LP 12"', None)
    ours = _demo_data.dump_text(library)
    statements = "".join(_demo_data.insert_statements("library", library))
    mariadb.sql("CREATE DATABASE library_db CHARACTER SET utf8mb4; USE library_db;\n"
                + _demo_data._LIBRARY_CREATE + ";\n" + statements)
    real = mariadb.dump("library_db", ["--skip-dump-date"], tmp_path / "real.sql").read_text(encoding="utf-8")
    assert _table_block(ours, "library") == _table_block(real, "library")
    assert real.count("INSERT INTO") == ours.count("INSERT INTO") > 1
    assert parser.load_table_rows(str(tmp_path / "real.sql"), "library") == library


def test_the_bundled_sample_is_reproducible_and_mixed(tmp_path):
    _demo_data.generate(str(tmp_path / "library.sql"), str(tmp_path / "releases.csv"), 3000, 3000)
    for name in ("library.sql", "releases.csv"):
        assert (tmp_path / name).read_bytes() == (job.SAMPLE_DATA / name).read_bytes(), \
            f"{name} differs from the generator: run tools/gen_sample_data.py"

    library = parser.load_table_rows(str(job.SAMPLE_DATA / "library.sql"), schema.LIBRARY_TABLE)
    artists = {r[2] for r in library}
    assert len(library) == 3000 and 700 < len(artists) < 1200
    assert any(a.endswith(", The") for a in artists) and any(text.is_compilation_artist(a) for a in artists)
    assert any(not a.isascii() for a in artists) and any("Ã" in a for a in artists)
    with open(job.SAMPLE_DATA / "releases.csv", newline="", encoding="utf-8") as f:
        releases = [(r["artist"], r["title"]) for r in csv.DictReader(f)]
    keys = [(text.to_match_form(a), text.to_match_form(t)) for a, t in releases]
    assert 300 < len(keys) - len(set(keys)) < 1000  # duplicates
    assert any("Remaster" in t for _, t in releases) and any(a.islower() for a, _ in releases)


def test_the_data_is_the_same_whether_the_dump_is_written_beside_or_first(tmp_path, monkeypatch):
    # A fresh interpreter has one thread: its dump is written by a forked copy. Here, with the
    # worker pool's threads about, it is written first; forced so, whatever the tests before did.
    script = "import sys; from zemo_etl import _demo_data; _demo_data.generate(sys.argv[1], sys.argv[2], 3000, 3000)"
    (tmp_path / "forked").mkdir()
    (tmp_path / "in_turn").mkdir()
    subprocess.run([sys.executable, "-c", script, str(tmp_path / "forked" / "library.sql"),
                    str(tmp_path / "forked" / "releases.csv")], check=True)
    monkeypatch.setattr(_demo_data, "_single_threaded", lambda: False)
    _demo_data.generate(str(tmp_path / "in_turn" / "library.sql"), str(tmp_path / "in_turn" / "releases.csv"),
                        3000, 3000)
    for folder in ("forked", "in_turn"):
        for name in ("library.sql", "releases.csv"):
            assert (tmp_path / folder / name).read_bytes() == (job.SAMPLE_DATA / name).read_bytes(), (folder, name)
    assert sorted(p.name for p in tmp_path.rglob("*") if p.is_file()) == ["library.sql"] * 2 + ["releases.csv"] * 2


def test_a_dump_that_cannot_be_written_fails_the_generation_either_way(tmp_path):
    script = ("import sys; from zemo_etl import _demo_data\n"
              "if sys.argv[3] == 'in_turn': _demo_data._single_threaded = lambda: False\n"
              "_demo_data.generate(sys.argv[1], sys.argv[2], 300, 300)")
    for way in ("forked", "in_turn"):
        done = subprocess.run([sys.executable, "-c", script, str(tmp_path / "missing" / "library.sql"),
                               str(tmp_path / f"{way}.csv"), way], capture_output=True, text=True)
        assert done.returncode == 1 and "library.sql" in done.stderr, (way, done.stderr)
        assert ("writing the demo data failed" in done.stderr) == (way == "forked")


@pytest.mark.parametrize("n, seed", [(1, 1), (2, 4), (3_000, 7), (20_000, 11)])
def test_the_rows_are_those_of_the_plain_generator(n, seed):
    # Each name is joined from pieces made once, with the draws inlined: the same
    # calls on the generator in the same order, or every row after the first slip differs.
    library = _demo_data.library_rows(n, seed)
    assert library == reference.library_rows(n, seed)
    assert _demo_data.release_rows(library, n, seed + 1) == reference.release_rows(library, n, seed + 1)


def test_releases_against_an_empty_library_are_those_of_the_plain_generator():
    assert _demo_data.release_rows([], 2_000, 3) == reference.release_rows([], 2_000, 3)


def test_a_library_past_what_the_words_make_is_refused_rather_than_drawn_for_ever(tmp_path, capsys):
    # Every name an artist can be: the pairs "A B and C D" are the only ones with " and ".
    first_last = [f"{f} {last}" for f in _demo_data._FIRST for last in _demo_data._LAST]
    cap, plural, nouns, adjectives = _demo_data._cap, _demo_data._plural, _demo_data._NOUNS, _demo_data._ADJECTIVES
    others = {*first_last, *_demo_data._JAPANESE,
              *("The " + cap([a, plural(w)]) for a in adjectives for w in nouns),
              *(cap([a, w]) for a in adjectives for w in nouns),
              *(f"{fl} & The {cap([plural(w)])}" for fl in first_last for w in nouns),
              *(cap([w]) + e for w in nouns for e in ["", " Collective", " Trio", " Quartet", " Orchestra"]),
              *(c + s for c in _demo_data._CYRILLIC for s in ["", *(f" {d}" for d in range(2, 10))]),
              *(cap([w, p]) for w in nouns for p in _demo_data._PLACES)}
    assert not any(" and " in name for name in others)
    assert len(others) + len(first_last) ** 2 == _demo_data._MOST_ARTISTS
    with pytest.raises(ValueError, match="^at most 11,558,999 library rows"):
        _demo_data.library_rows(_demo_data.MOST_LIBRARY_ROWS + 1)
    assert cli.main(["demo", "--workdir", str(tmp_path), "--scale", "11559000"]) == 2
    assert "--scale must be at most 11,558,999" in capsys.readouterr().err
    assert not (tmp_path / "input").exists()
