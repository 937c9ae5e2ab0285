"""Prepared library indexes: the same decisions as the batch function,
shared by threads, saved and loaded, pickled across processes, and hostile
files refused."""

import os
import pickle
import subprocess
import sys
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zemo_etl import fuzzy
from zemo_etl.index import LibraryIndex

from test_fuzzy_classify import BENCH, _name

sys.path.insert(0, str(BENCH))
import fuzzy_names  # noqa: E402


@pytest.fixture(scope="module")
def generated():
    vocab = fuzzy_names.Vocabulary(size=400, seed=7)
    library = fuzzy_names.library_pairs(vocab, 2000, seed=3)
    artists, titles = fuzzy_names.releases(vocab, library, 600, seed=4, near_share=0.4)
    return library, artists, titles, fuzzy.batch_classify_releases(artists, titles, library)


@given(library=st.lists(st.tuples(_name, _name), max_size=30),
       releases=st.lists(st.tuples(_name, _name), min_size=1, max_size=10))
def test_same_decisions_as_batch_built_and_loaded(library, releases):
    artists, titles = [a for a, _ in releases] + [a for a, _ in library], [t for _, t in releases] + [
        t + " x" for _, t in library]
    expected = fuzzy.batch_classify_releases(artists, titles, library)
    index = LibraryIndex(library)
    assert index.classify(artists, titles) == expected
    assert LibraryIndex.from_bytes(index.to_bytes()).classify(artists, titles) == expected


def test_chunks_threads_and_save_load(tmp_path, generated):
    library, artists, titles, expected = generated
    index = LibraryIndex(library)
    assert len(index) == len(library)
    assert sum((index.classify(artists[i:i + 50], titles[i:i + 50]) for i in range(0, len(artists), 50)), []) == expected

    results = [None] * 8

    def work(k):
        results[k] = index.classify(artists, titles)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 8

    path = tmp_path / "library.zix"
    index.save(path)
    loaded = LibraryIndex.load(path)
    assert loaded.classify(artists, titles) == expected
    assert loaded.memory_bytes == index.memory_bytes > 0
    assert "2,000 pairs" in repr(loaded) and "mapped" in repr(loaded)
    # Saving over the file a loaded index maps replaces it; the loaded one keeps its own pages.
    LibraryIndex(library[:10]).save(path)
    assert loaded.classify(artists, titles) == expected
    assert len(LibraryIndex.load(path)) == 10
    assert not [p for p in os.listdir(tmp_path) if p != "library.zix"]


def test_pickle_crosses_processes(generated):
    library, artists, titles, expected = generated
    index = LibraryIndex(library, review_floor=0.3)
    code = ("import pickle, sys; index, a, t = pickle.load(sys.stdin.buffer); "
            "print(index.thresholds['review_floor'], index.classify(a, t))")
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps((index, artists, titles)),
                         capture_output=True, check=True).stdout.decode()
    assert out.startswith("0.3 ")
    assert out.split(" ", 1)[1].strip() == str(index.classify(artists, titles))


def test_hostile_files_are_refused(tmp_path, generated):
    good = LibraryIndex(generated[0][:300]).to_bytes()
    cases = {
        "empty": b"",
        "foreign": b"PK\x03\x04" + b"\0" * 200,
        "truncated": good[: len(good) // 2],
        "extended": good + b"\0",
        "version": good[:8] + (99).to_bytes(4, "little") + good[12:],
        "flipped": good[:1000] + bytes([good[1000] ^ 1]) + good[1001:],
    }
    messages = {}
    for name, data in cases.items():
        path = tmp_path / name
        path.write_bytes(data)
        with pytest.raises(ValueError) as info:
            LibraryIndex.load(path)
        messages[name] = str(info.value)
        with pytest.raises(ValueError):
            LibraryIndex.from_bytes(data)
    assert "not a library index file" in messages["foreign"]
    assert "truncated" in messages["truncated"] and "truncated" in messages["extended"]
    assert "format version 99" in messages["version"]
    assert "checksum" in messages["flipped"]
    with pytest.raises(OSError):
        LibraryIndex.load(tmp_path)
    with pytest.raises(OSError, match="No such file"):
        LibraryIndex.load(tmp_path / "missing")
    with pytest.raises(TypeError):
        LibraryIndex.from_bytes("not bytes")
    with pytest.raises(ValueError, match="NaN"):
        LibraryIndex([], review_floor=float("nan"))
