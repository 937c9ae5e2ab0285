"""Prepared library indexes and catalogues: the same answers as the batch
functions in chunks, shared by threads, saved and loaded and pickled across
processes; settings that travel with them; hostile files refused."""

import base64
import errno
import inspect
import os
import pickle
import random
import stat
import struct
import subprocess
import sys
import zlib
from dataclasses import dataclass
from typing import Any, Callable

import pytest

from zemo_etl import _ext, dask, fuzzy, text
from zemo_etl.index import Catalogue, LibraryIndex, check_resolve_options, check_thresholds

import fuzzy_names
from shared import THREADS, rewritten_index_file, run_threads


@dataclass
class Kind:
    """One prepared class, with generated data and the batch answer to compare with."""
    cls: type
    data: Any  # what the constructor takes
    query: Callable[[Any, slice], list]  # the answers for a slice of the queries
    queries: int
    expected: list
    file_kind: str  # as messages name it
    counted: str  # as repr counts the data
    file_name: str
    lie: Callable[[list, int], None]  # makes one-entry sections claim k of something, consistently


def _library_kind() -> Kind:
    vocab = fuzzy_names.Vocabulary(size=400, seed=7)
    library = fuzzy_names.library_pairs(vocab, 2000, seed=3)
    artists, titles = fuzzy_names.releases(vocab, library, 600, seed=4, near_share=0.4)
    return Kind(LibraryIndex, library, lambda index, s: index.classify(artists[s], titles[s]), len(artists),
                fuzzy.batch_classify_releases(artists, titles, library), "library index", "2,000 pairs",
                "library.zix", _k_artists)


def _catalogue_kind() -> Kind:
    vocab = fuzzy_names.Vocabulary(size=300, seed=5)
    rng = random.Random(6)
    catalog = [vocab.phrase(rng, 1, 3).lower() for _ in range(3000)]
    catalog += catalog[:200]  # duplicates: ties between equal entries
    names = [fuzzy_names.typo(rng, rng.choice(catalog)) if rng.random() < 0.5 else vocab.phrase(rng, 1, 3).lower()
             for _ in range(400)]
    return Kind(Catalogue, catalog, lambda catalogue, s: catalogue.resolve(names[s]), len(names),
                fuzzy.batch_fuzzy_resolve(names, catalog, 0.85), "catalogue", "3,200 entries", "artists.zcat",
                _k_rows)


def _u32(values) -> bytes:
    return struct.pack(f"<{len(values)}I", *values)


def _k_artists(sections: list, k: int) -> None:
    """K artist summaries, K empty artist rows after the first, artists 0..K-1 in the first token's postings."""
    sections[14] *= k
    sections[16] = _u32([0] + [1] * k)
    sections[12] = _u32([0] + [k] * (len(sections[12]) // 4 - 1))
    sections[13] = _u32(range(k))


def _k_rows(sections: list, k: int) -> None:
    """K by-length rows naming entries 0..K-1 under the one tree."""
    sections[10] *= k
    sections[11] = _u32(range(k))
    sections[12] = sections[12][:36] + _u32([k]) + sections[12][40:]


@pytest.fixture(scope="module", params=[_library_kind, _catalogue_kind], ids=["LibraryIndex", "Catalogue"])
def kind(request) -> Kind:
    return request.param()


@pytest.mark.parametrize("size", [700, 5000])
def test_long_candidate_lists_decide_as_the_plain_classifier(size):
    pytest.importorskip("rapidfuzz")
    from reference import fuzzy as reference
    # Every entry shares "the": the token-sort scan bounds by character
    # signatures, or (past 4,096 entries) by the counts kept beside the
    # list, and proves of thousands that none reaches a threshold.
    vocab = fuzzy_names.Vocabulary(size=300, seed=1)
    library = [(f"the {a}", t) for a, t in fuzzy_names.library_pairs(vocab, size)]
    artists, titles = fuzzy_names.releases(vocab, library, 120, near_share=0.5)
    # Short releases of common words only, and one longer than any entry.
    artists += ["the", "Love", "the the the", "remastered edition", "x" * 300]
    titles += ["the", "the of", "night", "the love live", "the"]
    expected = reference.classify_releases(artists, titles, reference.Library(library, text.to_match_form),
                                           text.to_match_form)
    assert LibraryIndex(library).classify(artists, titles) == expected


def test_counts_kept_beside_a_long_list_bound_from_above():
    pytest.importorskip("rapidfuzz")
    from reference import fuzzy as reference
    # Beside a list the counts are kept in four bits, 15 for 15 and more:
    # entries and releases with a letter that often, sharing only "the",
    # whose token-sort scores lie on both sides of 0.8 and 0.4.
    rng = random.Random(11)
    word = lambda: "".join(rng.choice("bdklmrst") + rng.choice("eiou") for _ in range(rng.randint(2, 4)))
    library = [(f"the {word()}", word()) for _ in range(4200)]
    library += [("the", "a" * k + " " + "x" * j) for k in (13, 15, 16, 20, 31) for j in (0, 2, 5)]
    releases = [("the", "a" * k + " " + "y" * j) for k in range(12, 34) for j in (0, 1, 3, 6, 9)]
    artists, titles = [a for a, _ in releases], [t for _, t in releases]
    expected = reference.classify_releases(artists, titles, reference.Library(library, text.to_match_form),
                                           text.to_match_form)
    assert {"keep", "review"} <= set(expected)
    index = LibraryIndex(library)
    assert index.classify(artists, titles) == expected
    assert [e["decision"] for e in index.explain(artists, titles, exact=False)] == expected


def test_token_sort_entries_at_the_edge_of_the_bound():
    pytest.importorskip("rapidfuzz")
    from reference import fuzzy as reference
    # With the other thresholds at 0.0, a release is kept exactly when its
    # best token-sort score reaches token_sort_keep. Entries "the ||| b...b"
    # against releases of another run of b's: their character counts bound
    # the LCS exactly, and some 14 of the lengths give a ratio of exactly
    # 0.75, 0.8 or 0.9. The 4,200 others share "the", so the scan reads the
    # counts beside the list (bucket counts of at most 15 and, from 16 b's,
    # above) and gives the LCS lanes those the counts let through.
    rng = random.Random(5)
    word = lambda: "".join(rng.choice("dklmrst") + rng.choice("eiou") for _ in range(rng.randint(1, 5)))
    # Of every length around the edge entries', so that runs of one length
    # reach them both four records at a time and one by one.
    library = [("the", word()) if k % 2 else (f"the {word()}", word()) for k in range(4200)]
    library += [("the", "b" * p) for p in (3, 4, 19)]
    rng.shuffle(library)
    releases = [("the", "b" * q + " " + "c" * j) for q in range(3, 40) for j in (0, 2, 5)]
    artists, titles = [a for a, _ in releases], [t for _, t in releases]
    plain = reference.Library(library, text.to_match_form)
    queries = [f"{text.to_match_form(a)} ||| {text.to_match_form(t)}" for a, t in releases]
    best = [max(reference.token_sort_ratio(q, c) for c in plain.combined) for q in queries]
    for keep in (0.75, 0.8, 0.9):
        expected = ["keep" if s >= keep else "review" for s in best]
        assert {"keep", "review"} <= set(expected)
        thresholds = dict(token_set_keep=0.0, token_sort_keep=keep, two_stage_keep=0.0, review_floor=0.0)
        index = LibraryIndex(library, **thresholds)
        assert index.classify(artists, titles) == expected
        assert [e["decision"] for e in index.explain(artists, titles, exact=False)] == expected


SET = dict(token_set_keep=0.3, token_sort_keep=0.3, two_stage_keep=0.3, review_floor=0.1)


def test_settings_travel_with_the_index(tmp_path):
    pairs = [("The Beatles", "Abbey Road"), ("Björk", "Homogenic"), ("The Band", "Live 1975")]
    releases = (["beatles", "bjork", "the band"], ["abbey", "homogenic live at", "live 1966"])
    index = LibraryIndex(pairs, distinct_numbers=True, **SET)
    index.save(tmp_path / "l.zix")
    copies = [LibraryIndex.load(tmp_path / "l.zix"), pickle.loads(pickle.dumps(index)),
              LibraryIndex.from_bytes(index.to_bytes())]
    for copy in copies:
        assert (copy.thresholds, copy.distinct_numbers) == ({**_ext.DEFAULT_THRESHOLDS, **SET}, True)
        assert copy.classify(*releases) == index.classify(*releases) != LibraryIndex(pairs).classify(*releases)
    # The guard is saved as the thresholds are, and turned off when loading as they are changed.
    assert not LibraryIndex.from_bytes(index.to_bytes(), distinct_numbers=False).distinct_numbers
    assert LibraryIndex.load(tmp_path / "l.zix", distinct_numbers=False).classify(*releases) == \
        LibraryIndex(pairs, **SET).classify(*releases)
    # Thresholds given when loading replace those named; the others stay as saved.
    assert LibraryIndex.load(tmp_path / "l.zix", review_floor=0.2).thresholds == {
        **_ext.DEFAULT_THRESHOLDS, **SET, "review_floor": 0.2}


# A file of the format before the number guard was saved: LibraryIndex([("The Band", "Live 1975"),
# ("Björk", "Homogenic")], review_floor=0.3).to_bytes(), compressed.
VERSION_2 = (
    "eNq9U81Kw0AQ3r/WCAra+lOKQo4evEgp6ilRKChY/DkVT1qttlUbKMVTD3kAX0Cfpu/gOwjefAPd3cy0m9VIU4sfTCdf5pvNdGb2"
    "vFI9PjqsEUYIEZzRVel9aaFDNHLVp1KtWDggCRjQyJ8B91nkTzAOvIAJHHSoB74APORx/QD4OuaLyO1gvojrQxE/fwB8DfMzcb2f"
    "icdD4HOYDzxEfTbyDuqzlt6Kk5k49y0eAr9AvWP1B/hGQv97zYZbv+xcu/1+371vPTbcrd3tsrLotX6lRDJebwfdOy1sBg/BbaPT"
    "uopeDakKklTYBO+Bz0OL8zAqaulXDO8YnJLJoL6zCGulzsqNRjweKJXfpgryl5uFMA5hpp2SQanaC6HiS6fLZSG3trK/J3zxwSf5"
    "DxR6pepmoysyFtSk1aD1IIdzVFOXQ09xjoivH5m35lUk1j008rD2WXhOU/+nBHoFAc9mLzBGjWcE9g+1WEs2Re/pLzzNDJlhPEXe"
    "X/Z/dABUbh1Ul9aWFkjrGvc1A6bXngw3+1tJPWlNaWqXXONcx9iViWu3evfXFvx37jTypw1qGBvz/iXdrZ/umv3u5Vnh3bP9jcab"
    "V9J49ZK+/wWxxLcg"
)


@pytest.mark.skipif(sys.byteorder != "little", reason="the saved file was written little-endian")
def test_files_of_the_version_before_the_number_guard_still_load(tmp_path):
    data = zlib.decompress(base64.b64decode(VERSION_2))
    (tmp_path / "old.zix").write_bytes(data)
    for old in (LibraryIndex.from_bytes(data), LibraryIndex.load(tmp_path / "old.zix")):
        assert (old.distinct_numbers, old.thresholds["review_floor"], len(old)) == (False, 0.3, 2)
        assert old.classify(["the band", "bjork"], ["live 1966", "homogenic"]) == ["keep", "keep"]
        assert LibraryIndex.from_bytes(old.to_bytes())._native.to_bytes()[8] == 3  # saved again: the new version
    guarded = LibraryIndex.from_bytes(data, distinct_numbers=True)
    assert guarded.classify(["the band"], ["live 1966"]) == ["review"]
    assert LibraryIndex.from_bytes(guarded.to_bytes()).distinct_numbers


@pytest.mark.parametrize("given, message", [
    (dict(review_floor=float("nan")), r"review_floor must be a number in \[0, 1\], got nan"),
    (dict(token_set_keep=2.0), r"token_set_keep must be a number in \[0, 1\], got 2\.0"),
    (dict(review_floor=-1), r"review_floor must be a number in \[0, 1\], got -1\.0"),
    (dict(artist_gate=float("inf")), r"artist_gate must be a number in \[0, 1\], got inf"),
    (dict(two_stage_keep=0.3), r"review_floor \(0\.4\) must not be above two_stage_keep \(0\.3\)"),
])
def test_invalid_thresholds_are_refused_everywhere(given, message):
    index = LibraryIndex([("a", "b")])
    for make in (lambda: LibraryIndex([], **given), lambda: LibraryIndex.from_bytes(index.to_bytes(), **given)):
        with pytest.raises(ValueError, match=f"^{message}$"):
            make()
    assert index.thresholds == dict(_ext.DEFAULT_THRESHOLDS)  # untouched by a refused change


@pytest.mark.parametrize("given, message", [
    (dict(threshold=1.5), r"threshold must be a number in \[0, 1\], got 1\.5"),
    (dict(threshold=float("nan")), r"threshold must be a number in \[0, 1\], got nan"),
    (dict(ambiguity_threshold=-0.01), r"ambiguity_threshold must be a number in \[0, 1\], got -0\.01"),
    (dict(limit=0), "limit must be at least 1"),
])
def test_invalid_resolve_options_are_refused_everywhere(given, message):
    # Catalogue, its explain, the Dask helper (before any partition runs) and the check the command line uses.
    catalogue = Catalogue(["a"])
    calls = [lambda: catalogue.resolve(["a"], **given), lambda: catalogue.explain(["a"], **given),
             lambda: Catalogue([]).resolve(["a"], **given),
             lambda: check_resolve_options(**given)]
    if _has("dask.dataframe"):
        import dask.dataframe as dd
        import pandas as pd
        calls.append(lambda: dask.resolve_names(dd.from_pandas(pd.Series(["a"]), npartitions=1), ["a"], **given))
    for call in calls:
        with pytest.raises(ValueError, match=f"^{message}$"):
            call()


def test_thresholds_are_named_as_the_caller_names_them():
    assert check_thresholds({"review_floor": 0.5}) == {**_ext.DEFAULT_THRESHOLDS, "review_floor": 0.5}
    with pytest.raises(ValueError, match=r"^--floor \(0\.9\) must not be above --keep \(0\.8\)$"):
        check_thresholds({"review_floor": 0.9}, {"review_floor": "--floor", "token_set_keep": "--keep"})
    with pytest.raises(ValueError, match=r"^--t must be a number in \[0, 1\], got -1\.0$"):
        check_resolve_options(-1.0, names={"threshold": "--t"})
    with pytest.raises(TypeError, match="'keep'"):
        check_thresholds({"keep": 0.5})


def _has(module):
    import importlib.util
    try:
        return importlib.util.find_spec(module) is not None
    except ImportError:
        return False


def test_defaults_restated_in_python_are_the_library_s():
    # The stubs' defaults are compared with these by stubtest (make stubtest).
    native = inspect.signature(fuzzy.batch_fuzzy_resolve).parameters
    source = {**_ext.DEFAULT_THRESHOLDS, "threshold": _ext.DEFAULT_RESOLVE_THRESHOLD,
              "limit": native["limit"].default, "ambiguity_threshold": native["ambiguity_threshold"].default}
    found = [(f.__qualname__, p.name, p.default)
             for f in (LibraryIndex.__init__, Catalogue.resolve, Catalogue.explain, dask.resolve_names)
             for p in inspect.signature(f).parameters.values() if p.name in source and p.default is not p.empty]
    assert {name for _, name, _ in found} == set(source)
    assert [c for c in found if c[2] != source[c[1]]] == []


def test_chunks_threads_pickle_and_save_load(tmp_path, kind):
    prepared = kind.cls(kind.data)
    assert len(prepared) == len(kind.data)
    code = ("import pickle, sys; prepared = pickle.load(sys.stdin.buffer); "
            "print(type(prepared).__name__, len(prepared), len(pickle.dumps(prepared)))")
    data = pickle.dumps(prepared)
    out = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, check=True).stdout.decode()
    assert out.split() == [kind.cls.__name__, str(len(kind.data)), str(len(data))]
    assert kind.query(pickle.loads(data), slice(None)) == kind.expected
    chunks = [kind.query(prepared, slice(i, i + 37)) for i in range(0, kind.queries, 37)]
    assert sum(chunks, []) == kind.expected

    results = [None] * THREADS
    run_threads(lambda k: results.__setitem__(k, kind.query(prepared, slice(None))))
    assert results == [kind.expected] * THREADS

    path = tmp_path / kind.file_name
    # A link planted at the temporary name a save once had is neither followed
    # nor reused, and the file is the owner's only.
    victim = tmp_path / "victim"
    victim.write_text("precious")
    planted = tmp_path / f"{kind.file_name}.tmp-{os.getpid()}"
    planted.symlink_to(victim)
    prepared.save(path)
    assert (victim.read_text(), stat.S_IMODE(path.stat().st_mode)) == ("precious", 0o600)
    loaded = kind.cls.load(path)
    assert kind.query(loaded, slice(None)) == kind.expected
    assert loaded.memory_bytes == prepared.memory_bytes > 0
    assert kind.counted in repr(loaded) and "loaded" in repr(loaded)
    # Saving over the file a loaded object maps replaces it; the loaded one keeps its own pages.
    kind.cls(kind.data[:10]).save(path)
    assert kind.query(loaded, slice(None)) == kind.expected
    assert len(kind.cls.load(path)) == 10
    assert sorted(os.listdir(tmp_path)) == sorted([kind.file_name, planted.name, "victim"])
    # A pipe (or, as root, /dev/null) at the target is refused, not replaced by a file.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(OSError, match="not a regular file"):
        prepared.save(fifo)
    assert stat.S_ISFIFO(fifo.lstat().st_mode)
    assert sorted(os.listdir(tmp_path)) == sorted([kind.file_name, planted.name, "victim", "fifo"])


def test_hostile_files_are_refused(tmp_path, kind):
    # Each check is the C++ runner's; here, that loading a file, taking bytes
    # and unpickling refuse alike, down to counts that agree with each other but
    # not with what they index (a scratch bitset sized by the entries once met
    # ids counted by the artists).
    good = kind.cls(kind.data[:300]).to_bytes()
    one = kind.cls(kind.data[:1])
    assert len(kind.cls.from_bytes(rewritten_index_file(one.to_bytes(), lambda sections, k: None, 0))) == 1
    path = tmp_path / kind.file_name
    function, args = one.__reduce__()
    flipped = good[:1000] + bytes([good[1000] ^ 1]) + good[1001:]
    # A format before (for an index: before thresholds were saved; the one before the number guard was still loads).
    version = int.from_bytes(good[8:12], sys.byteorder) - (2 if kind.cls is LibraryIndex else 1)
    old = good[:8] + version.to_bytes(4, sys.byteorder) + good[12:]
    for data, message in ((good + b"\0", "truncated"), (flipped, "checksum"), (old, f"version {version};"),
                          (rewritten_index_file(one.to_bytes(), kind.lie, 1000), "is damaged")):
        path.write_bytes(data)
        for load in (lambda: kind.cls.load(path), lambda: kind.cls.from_bytes(data), lambda: function(data, *args[1:])):
            with pytest.raises(ValueError, match=f"^{kind.file_kind} file .*{message}"):
                load()
    with pytest.raises(TypeError):
        kind.cls.from_bytes("not bytes")


def test_file_errors_are_the_os_error_subclasses(tmp_path):
    # The errno is the failing call's own: below a plain file is ENOTDIR, not a missing folder.
    prepared = Catalogue(["radiohead"])
    plain = tmp_path / "plain"
    plain.write_text("")
    cases = [(LibraryIndex.load, tmp_path / "missing", errno.ENOENT), (Catalogue.load, tmp_path, errno.EISDIR),
             (prepared.save, tmp_path / "no-folder" / "x", errno.ENOENT), (prepared.save, tmp_path, errno.EISDIR),
             (Catalogue.load, plain / "x", errno.ENOTDIR), (prepared.save, plain / "x", errno.ENOTDIR)]
    if os.geteuid() != 0:  # root reads and writes regardless of mode
        locked = tmp_path / "locked"
        LibraryIndex([("Radiohead", "Kid A")]).save(locked)
        locked.chmod(0)
        cases.append((LibraryIndex.load, locked, errno.EACCES))
    for call, path, code in cases:
        with pytest.raises(OSError) as info:
            call(path)
        assert (type(info.value), info.value.errno, info.value.filename) == (
            type(OSError(code, "")), code, str(path))
    # A NUL byte would cut the path short and name another file: refused as Python's own open refuses it.
    for call in (LibraryIndex.load, Catalogue.load, prepared.save):
        with pytest.raises(ValueError, match="NUL byte"):
            call(str(tmp_path / "x\0y"))


def test_python_values_in_and_out():
    index = LibraryIndex([["Radiohead", "Kid A"]])  # lists, as df.values.tolist() gives them
    catalogue = Catalogue(["radiohead"])
    assert repr(index).startswith("LibraryIndex(1 pair, 1 artist, ") and repr(catalogue).startswith("Catalogue(1 entry,")
    for data in (bytearray(index.to_bytes()), memoryview(index.to_bytes())):
        assert LibraryIndex.from_bytes(data).classify(["Radiohead"], ["Kid A"]) == ["keep"]
    assert len(Catalogue.from_bytes(bytearray(catalogue.to_bytes()))) == 1
    for call, message in [(lambda: LibraryIndex([("a", "b"), "ab"]), "pair, got str at position 1"),
                          (lambda: LibraryIndex([("a", 1)]), "expected a str, got int in the pair at position 0"),
                          (lambda: index.classify(["Radiohead"] * 2, ["Kid A", None]),
                           r"titles: expected a str, got None at position 1; .*columns\.apply"),
                          (lambda: catalogue.resolve([1.5]), "names: expected a str, got float at position 0"),
                          (lambda: Catalogue(["a", 1]), "entries: expected a str, got int at position 1")]:
        with pytest.raises(TypeError, match=message):
            call()
    # The defaults (0.85, 2, 0.02); what no score can be compared with is refused.
    assert Catalogue(iter(["radiohead", "radio head", "stereolab"])).resolve(["radiohed", "stereo lab"]) == [
        None, "stereolab"]
    assert Catalogue.from_bytes(Catalogue([]).to_bytes()).resolve(["a", ""], 0.0) == [None, None]
    pd = pytest.importorskip("pandas")
    artists = pd.Series(["Radiohead", None, "Radiohead"], index=[7, 3, 5], dtype="string")
    out = index.classify(artists, pd.Series(["Kid A", "Kid A", None], index=[7, 3, 5]))
    assert out.index.tolist() == [7, 3, 5] and out.isna().tolist() == [False, True, True] and out[7] == "keep"
    resolved = catalogue.resolve(pd.Series(["radiohed", None], index=[1, 0]), threshold=0.8)
    assert resolved.index.tolist() == [1, 0] and resolved.isna().tolist() == [False, True]


def _give_nobody_write_by_acl(path):
    """user:nobody:rw- in the file's access ACL (as setfacl -m u:nobody:rw), the mode bits as they were."""
    mode = stat.S_IMODE(path.stat().st_mode)
    entries = [(0x01, mode >> 6 & 7, 0xFFFFFFFF), (0x02, 6, 65534), (0x04, mode >> 3 & 7, 0xFFFFFFFF),
               (0x10, 6, 0xFFFFFFFF), (0x20, mode & 7, 0xFFFFFFFF)]
    os.setxattr(path, "system.posix_acl_access", struct.pack("<I", 2) + b"".join(
        struct.pack("<HHI", *e) for e in entries))


# Who can change the file in place: we, or others by its mode, as its owner, by an ACL.
@pytest.mark.parametrize("shared", ["ours", "mode 666", "owned by nobody", "ACL"])
def test_a_file_changed_while_in_use_changes_nothing(tmp_path, kind, shared):
    path = tmp_path / kind.file_name
    kind.cls(kind.data[:500]).save(path)
    if shared == "ours":
        path.chmod(0o600)
    elif shared == "mode 666":
        path.chmod(0o666)
    elif shared == "owned by nobody":
        if os.geteuid() != 0:
            pytest.skip("giving a file to another user needs root")
        os.chown(path, 65534, 65534)
    else:
        try:
            _give_nobody_write_by_acl(path)
        except OSError as e:
            pytest.skip(f"no ACLs here: {e}")
    # The writer rewrites the file in place while it is in use, then cuts it
    # short: read through a mapping, that is a wrong answer or SIGBUS.
    query = {"LibraryIndex": "x.classify(['radiohead'] * 50, ['kid a'] * 50)",
             "Catalogue": "x.resolve(['radiohed'] * 50)"}[kind.cls.__name__]
    code = (f"import sys; from zemo_etl.index import {kind.cls.__name__} as C; x = C.load(sys.argv[1]); "
            f"before = {query}; f = open(sys.argv[1], 'r+b'); f.write(b'\\xff' * 100_000); f.flush(); "
            f"f.truncate(64); f.close(); print(before == {query})")
    done = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout, done.stderr) == (0, "True\n", "")


def test_long_names_are_compared_on_their_first_4096_characters():
    # A release or name longer than the limit decides as its prefix does: a
    # library entry or catalogue entry equal to the prefix is its exact match.
    long = "ab " * 3000 + "tail"  # a match form already
    prefix = long[:4096]
    index = LibraryIndex([(prefix, "t"), ("x", "y")])
    assert index.classify([long, prefix, long[:5000]], ["t", "t", "t"]) == ["keep"] * 3
    assert index.explain([long], ["t"])[0]["decision"] == "keep"
    catalogue = Catalogue([prefix, "ab ab"])
    assert catalogue.resolve([long], threshold=0.95) == [prefix]
    assert fuzzy.batch_classify_releases([long], ["t"], [(prefix, "t")]) == ["keep"]
