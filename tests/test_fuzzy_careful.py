"""The careful rule set: the releases it exists to decide, an index that
keeps its rules through save, load and pickle, and the rows and files it
refuses."""

import pickle

import pytest

from zemo_etl import _ext
from zemo_etl.index import LibraryIndex

from cli_helpers import parse_csv, read_csv, write
from cli_helpers import main  # noqa: F401  (the fixture)

LIBRARY = [
    ("Iron Maiden", "From Here to Eternity"), ("R.E.M.", "Out of Time"), ("Tim Maia", "Primavera"),
    ("The Doors", "The Doors"), ("Led Zeppelin", "Led Zeppelin II"), ("Beatles", "Abbey Road"),
    ("Eagles", "Hotel California"), ("Queen", "Flash"), ("Metallica", "Helpless"), ("Prince", "Purple Rain"),
    ("Кино", "Группа крови", "Kino"), ("コーネリアス", "ファンタズマ", ["Cornelius", "Keigo Oyamada"]),
    ("Simon & Garfunkel", "Bookends", None),
    ("English Concert", "Royal Fireworks (Original Version 1749)"),
]

# (artist, title, careful decision, standard decision): each a case the issue
# names, where the standard rules decide otherwise.
CASES = [
    # One entry decides: the standard rules keep on scores of different entries.
    ("Tim Maia", "Prowler", "prune", "keep"),
    # Numbers name other records.
    ("The Doors", "The Doors, Vol. 3", "prune", "keep"),
    ("Led Zeppelin", "Led Zeppelin III", "prune", "keep"),
    # A number in brackets beside an edition word still names the record.
    ("English Concert", "Royal Fireworks (Original Version 1750)", "prune", "keep"),
    # Edition notes, a moved article, "&".
    ("Beatles, The", "Abbey Road (Remastered)", "keep", "review"),
    ("The Eagles", "Hotel California - 40th Anniversary Deluxe Edition", "keep", "review"),
    ("Simon and Garfunkel", "Bookends (2001 Remaster)", "keep", "review"),
    # Typos in every token: found through trigrams.
    ("Qoueen", "Flash", "keep", "review"),
    ("Metalica", "Heltpless", "keep", "prune"),
    # Another script, through the alias and the ASCII form.
    ("Kino", "Gruppa Krovi", "keep", "prune"),
    ("Cornelius", "Fantasma", "keep", "prune"),
    ("Keigo Oyamada", "Fantasma", "keep", "prune"),
]


@pytest.fixture(scope="module")
def careful():
    return LibraryIndex(LIBRARY, rules="careful")


def test_the_issue_s_releases_are_decided(careful):
    artists, titles = [c[0] for c in CASES], [c[1] for c in CASES]
    assert careful.classify(artists, titles) == [c[2] for c in CASES]
    standard = LibraryIndex([row[:2] for row in LIBRARY])
    assert standard.classify(artists, titles) == [c[3] for c in CASES]


def test_explain_names_the_entry_that_decided(careful):
    explained = careful.explain(["Metalica", "Kino", "Tim Maia", "Qxzv"],
                                ["Heltpless", "Gruppa Krovi", "Prowler", "Wxyjj"])
    assert [e["decision"] for e in explained] == careful.classify(
        ["Metalica", "Kino", "Tim Maia", "Qxzv"], ["Heltpless", "Gruppa Krovi", "Prowler", "Wxyjj"])
    typo, script, other, nothing = explained
    assert typo["entry"] == (8, "Metallica", "Helpless") and typo["decided_by"] == "all"
    assert min(typo["token_set"], typo["token_sort"], typo["two_stage"]) >= 0.8
    assert script["entry"] == (10, "Кино", "Группа крови") and script["exact"]
    # Pruned: the closest entry is named, with scores that do not keep.
    assert other["entry"][0] == 2 and other["decided_by"] == "none"
    assert nothing["entry"] is None and nothing["token_set_entries"] == [] and nothing["candidates"] == 0
    # The best entry of each measure, beside the one that decided.
    for e in (typo, script):
        assert all(e[k] for k in ("token_set_entries", "token_sort_entries", "two_stage_entries"))


def test_rules_thresholds_and_aliases_survive_save_load_and_pickle(tmp_path, careful):
    index = LibraryIndex(LIBRARY, rules="careful", token_set_keep=0.9, review_floor=0.3)
    index.save(tmp_path / "c.zix")
    artists, titles = [c[0] for c in CASES], [c[1] for c in CASES]
    for copy in (LibraryIndex.load(tmp_path / "c.zix"), pickle.loads(pickle.dumps(index)),
                 LibraryIndex.from_bytes(bytearray(index.to_bytes()))):
        assert (copy.rules, copy.distinct_numbers, len(copy)) == ("careful", True, len(LIBRARY))
        assert copy.thresholds == index.thresholds and copy.thresholds["token_set_keep"] == 0.9
        assert copy.classify(artists, titles) == index.classify(artists, titles)
        assert copy.explain(artists, titles) == index.explain(artists, titles)
    # Thresholds given when loading replace the saved ones.
    assert LibraryIndex.load(tmp_path / "c.zix", token_set_keep=0.5).thresholds["token_set_keep"] == 0.5


def test_damaged_files_are_refused(careful):
    data = careful.to_bytes()
    for bad in (data[:-8], data[:64], data[:30] + bytes([data[30] ^ 1]) + data[31:],
                data[:-1] + bytes([data[-1] ^ 0x40])):
        with pytest.raises(ValueError, match="careful library index file"):
            LibraryIndex.from_bytes(bad)


@pytest.mark.parametrize("rows, kwargs, error, message", [
    (LIBRARY, dict(rules="fuzzy"), ValueError, "rules must be 'standard' or 'careful'"),
    (LIBRARY, dict(), ValueError, "aliases are compared by the careful rules only"),
    ([("a", "b")], dict(rules="careful", distinct_numbers=False), ValueError, "always compare title numbers"),
    ([("a", "b", "c", "d")], dict(rules="careful"), ValueError, "got 4 values at position 0"),
    ([("a", "b", [1])], dict(rules="careful"), TypeError, "aliases of str, got int in the row at position 0"),
    ([("a", None)], dict(rules="careful"), TypeError, "got NoneType in the pair at position 0"),
])
def test_rows_that_cannot_be_indexed(rows, kwargs, error, message):
    with pytest.raises(error, match=message):
        LibraryIndex(rows, **kwargs)


def test_each_step_can_be_turned_off_alone():
    # What the benchmark measures each step by: the index without one step decides otherwise.
    pairs = [(r[0], r[1]) for r in LIBRARY]
    aliases = ["\x1f".join([r[2]] if isinstance(r[2], str) else r[2] or []) if len(r) > 2 else "" for r in LIBRARY]
    without = {step: LibraryIndex._wrap(_ext.CarefulIndex(pairs, aliases, _ext.CAREFUL_STEPS & ~step), "built")
               for step in (1, 2, 4, 8, 16, 32)}
    release = {1: ("Tim Maia", "Prowler"), 2: ("Metalica", "Heltpless"),
               4: ("The Eagles", "Hotel California (Remastered)"), 8: ("Kino", "Gruppa Krovi"),
               16: ("Cornelius", "Fantasma"), 32: ("The Doors", "The Doors, Vol. 3")}
    everything = LibraryIndex(LIBRARY, rules="careful")
    for step, (artist, title) in release.items():
        assert everything.classify([artist], [title]) != without[step].classify([artist], [title]), step
        assert without[step]._native.steps() == _ext.CAREFUL_STEPS & ~step


def test_classify_reads_the_alias_column_and_keeps_the_rules_of_a_saved_index(tmp_path, main):
    library = write(tmp_path / "lib.csv", "artist,title,alternate_artist_name\nКино,Группа крови,Kino\n"
                                          "Queen,Flash,\n")
    releases = write(tmp_path / "rel.csv", "artist,title\nKino,Gruppa Krovi\nQoueen,Flash\n")
    done = main("classify", "--library", library, "--releases", releases, "--rules", "careful",
                "--save-index", tmp_path / "c.zix", "-o", tmp_path / "out.csv")
    assert done.returncode == 0 and "careful rules" in done.stderr
    assert [r["decision"] for r in read_csv(tmp_path / "out.csv")] == ["keep", "keep"]
    # The saved index classifies with its own rules; other rules need the library itself.
    done = main("classify", "--library", tmp_path / "c.zix", "--releases", releases, "-o", tmp_path / "again.csv")
    assert done.returncode == 0 and read_csv(tmp_path / "again.csv") == read_csv(tmp_path / "out.csv")
    done = main("classify", "--library", tmp_path / "c.zix", "--releases", releases, "--rules", "standard")
    assert done.returncode == 2 and "index of the careful rules" in done.stderr
    # The standard rules read no alias: the cross-script release is pruned.
    done = main("classify", "--library", library, "--releases", releases)
    assert [r[2] for r in parse_csv(done.stdout)][1:] == ["prune", "review"]


DUMP = """CREATE TABLE `library` (
  `id` int(11) NOT NULL, `title` text, `artist` text, `alternate_artist_name` text
);
INSERT INTO `library` VALUES (1,'ファンタズマ','コーネリアス','Cornelius'),(2,'Flash','Queen',NULL);
"""


@pytest.mark.parametrize("command", ["classify", "run"])
def test_a_dump_s_alias_column_is_read(tmp_path, main, command):
    dump = write(tmp_path / "lib.sql", DUMP)
    releases = write(tmp_path / "rel.csv", "artist,title\nCornelius,Fantasma\nQueen,Flash\n")
    if command == "classify":
        done = main("classify", "--library", dump, "--releases", releases, "--rules", "careful")
        decided = [r[2] for r in parse_csv(done.stdout)][1:]
    else:
        done = main("run", "--dump", dump, "--releases", releases, "--workdir", tmp_path / "w", "--rules", "careful")
        decided = [r["decision"] for r in read_csv(tmp_path / "w" / "releases_classified.csv")]
    assert done.returncode == 0, done.stderr
    assert decided == ["keep", "keep"]


def test_odd_inputs():
    empty = LibraryIndex([], rules="careful")
    assert empty.classify(["Queen", ""], ["Flash", ""]) == ["prune", "prune"]
    index = LibraryIndex([("Queen", "Flash"), ("", "Untitled"), ("A" * 5000, "B" * 5000 + "x")], rules="careful")
    assert index.classify(["", "queen", ""], ["", "FLASH", "untitled"]) == ["prune", "keep", "keep"]
    # Names are compared on their first 4,096 characters, as the standard rules compare theirs.
    assert index.explain(["a" * 6000], ["b" * 4096 + "y"])[0]["exact"]
    with pytest.raises(ValueError, match="artists and titles must have the same length"):
        index.classify(["a"], [])
    with pytest.raises(TypeError):
        index.classify(["a"], [None])
