"""batch_classify_releases and batch_filter_artists: decisions on small
libraries, agreement with the plain Python classifier, independence from the
thread count, a pool that survives fork, and argument errors."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

from zemo_etl import fuzzy, text

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench"
sys.path.insert(0, str(BENCH))

LIBRARY = [
    ("The Beatles", "Abbey Road"),
    ("the beatles", "Let It Be"),
    ("Radiohead", "OK Computer"),
    ("Radiohead", "Kid A"),
    ("Stereolab", "Dots and Loops"),
]


@pytest.mark.parametrize(
    "artist, title, expected",
    [
        ("radiohead", "kid a", "keep"),
        ("RADIOHEAD", "Kid  A", "keep"),  # match forms of the release are compared
        ("beatles", "abbey road", "keep"),
        ("the beatles", "abbey road remastered", "keep"),
        ("stereolab", "dots & loops", "keep"),
        ("radiohed", "ok computer", "review"),
        ("the beatles", "revolver", "review"),
        ("kid gloves", "carpal tunnel syndrome", "review"),
        ("lunar mice", "quiet hours", "prune"),
        ("", "", "prune"),
    ],
)
def test_worked_example(artist, title, expected):
    assert fuzzy.batch_classify_releases([artist], [title], LIBRARY) == [expected]


def test_edge_libraries():
    assert fuzzy.batch_classify_releases([], [], LIBRARY) == []
    assert fuzzy.batch_classify_releases(["the beatles", "x"], ["abbey road", "y"], []) == ["prune", "prune"]
    # A pair of empty match forms makes the empty release an exact match.
    assert fuzzy.batch_classify_releases([""], [" "], [(" ", ""), ("x", "y")]) == ["keep"]
    # A shared "|||" is not a blocking key.
    assert fuzzy.batch_classify_releases(["|||"], ["abc"], [("|||", "xyz")]) == ["prune"]


def test_agrees_with_plain_classifier():
    reference = pytest.importorskip("fuzzy_reference")
    names = pytest.importorskip("fuzzy_names")
    vocab = names.Vocabulary(size=400, seed=5)
    for seed in range(3):
        library = names.library_pairs(vocab, 300, seed=seed)
        artists, titles = names.releases(vocab, library, 300, seed=seed + 10, near_share=0.4)
        # Releases sharing few or no words with the library.
        artists += [f"qz{i} {a}" if i % 2 else f"qz{i}" for i, a in enumerate(artists[:30])]
        titles += [f"xq{i}" for i in range(30)]
        lib = reference.Library(library, text.to_match_form)
        expected = reference.classify_releases(artists, titles, lib, text.to_match_form)
        assert fuzzy.batch_classify_releases(artists, titles, library) == expected
        assert {"keep", "prune", "review"} <= set(expected)


def _run(code, threads=None, timeout=60):
    env = dict(os.environ)
    if threads is not None:
        env["ZEMO_ETL_NUM_THREADS"] = str(threads)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=timeout, check=True).stdout


_BATCH = f"""
    import sys
    sys.path.insert(0, {str(BENCH)!r})
    import fuzzy_names as names
    from zemo_etl import fuzzy
    vocab = names.Vocabulary(size=300, seed=1)
    library = names.library_pairs(vocab, 400)
    artists, titles = names.releases(vocab, library, 2000, near_share=0.4)
    print(fuzzy.batch_classify_releases(artists, titles, library))
"""


def test_result_does_not_depend_on_thread_count():
    # "0" and "many" are not positive counts: the pool falls back to the CPUs.
    results = {threads: _run(_BATCH, threads) for threads in (1, 2, 7, "0", "many")}
    assert len(set(results.values())) == 1
    assert "keep" in results[1] and "review" in results[1]


def test_pool_survives_fork():
    out = _run("""
        import os
        from zemo_etl import fuzzy
        lib = [("the beatles", "abbey road")]
        args = (["The Beatles"] * 500, ["Abbey Road"] * 500, lib)
        assert fuzzy.batch_classify_releases(*args) == ["keep"] * 500
        pid = os.fork()
        if pid == 0:
            ok = fuzzy.batch_classify_releases(*args) == ["keep"] * 500
            os._exit(0 if ok else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """, threads=2, timeout=30)
    assert out.strip() == "0"


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((["a"], ["b", "c"], []), ValueError, "artists and titles must have the same length"),
        ((["a"], ["b"], [["x", "y"]]), TypeError,
         "argument 'library_pairs': 'list' object cannot be converted to 'PyTuple'"),
        ((["a"], ["b"], [("x", "y", "z")]), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ((["a"], ["b"], [("x", 1)]), TypeError, "argument 'library_pairs': 'int' object cannot be converted to 'PyString'"),
        # library_pairs is extracted before the lengths are compared.
        ((["a"], [], [["x", "y"]]), TypeError, "argument 'library_pairs': "),
        (("a", ["b"], []), TypeError, "argument 'artists': Can't extract `str` to `Vec`"),
    ],
)
def test_classify_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        fuzzy.batch_classify_releases(*args)
    assert str(info.value).startswith(message)
    assert type(info.value) is error


class _Set(set):
    pass


@pytest.mark.parametrize("make", [set, frozenset, _Set])
def test_filter_artists(make):
    library = make({"the beatles", "bjork", "The Beatles"})
    names = ["The Beatles", "  THE   beatles ", "Björk", "beatles", ""]
    assert fuzzy.batch_filter_artists(names, library) == [True, True, True, False, False]
    assert fuzzy.batch_filter_artists([], library) == []


@pytest.mark.parametrize(
    "library, message",
    [
        (["the beatles"], "argument 'library_set': 'list' object cannot be converted to 'PySet'"),
        ({"a": 1}, "argument 'library_set': 'dict' object cannot be converted to 'PySet'"),
        ({"a", 1}, "argument 'library_set': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_filter_artists_argument_errors(library, message):
    with pytest.raises(TypeError, match=f"^{message}$"):
        fuzzy.batch_filter_artists(["a"], library)
