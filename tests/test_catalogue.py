"""Prepared catalogues: the same matches as batch_fuzzy_resolve, built and
after a round trip through bytes, shared by threads, saved and loaded,
pickled across processes, and hostile files refused."""

import os
import pickle
import random
import subprocess
import sys
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zemo_etl import fuzzy
from zemo_etl.index import Catalogue

from test_fuzzy_classify import BENCH
from test_fuzzy_resolve import _near_ties

sys.path.insert(0, str(BENCH))
import fuzzy_names  # noqa: E402


@pytest.fixture(scope="module")
def generated():
    vocab = fuzzy_names.Vocabulary(size=300, seed=5)
    rng = random.Random(6)
    catalog = [vocab.phrase(rng, 1, 3).lower() for _ in range(3000)]
    catalog += catalog[:200]  # duplicates: ties between equal entries
    names = [fuzzy_names.typo(rng, rng.choice(catalog)) if rng.random() < 0.5 else vocab.phrase(rng, 1, 3).lower()
             for _ in range(400)]
    return catalog, names, fuzzy.batch_fuzzy_resolve(names, catalog, 0.85)


def _same_as_batch(catalogue, names, catalog, *args):
    try:
        expected = fuzzy.batch_fuzzy_resolve(names, catalog, *args)
    except ValueError as error:
        with pytest.raises(ValueError, match=f"^{error}$"):
            catalogue.resolve(names, *args)
        return
    assert catalogue.resolve(names, *args) == expected


@given(_near_ties(), st.lists(st.text(max_size=6), max_size=3))
def test_same_matches_as_batch_built_and_loaded(case, more_names):
    names, catalog, threshold, limit, ambiguity = case
    names = names + more_names
    built = Catalogue(catalog)
    loaded = Catalogue.from_bytes(built.to_bytes())
    for catalogue in (built, loaded):
        _same_as_batch(catalogue, names, catalog, threshold, limit, ambiguity)
    assert len(loaded) == len(catalog)


def test_defaults_and_edges():
    catalogue = Catalogue(iter(["radiohead", "radio head", "stereolab"]))
    assert catalogue.resolve(["radiohed", "stereo lab"]) == [None, "stereolab"]
    assert catalogue.resolve(["radiohed"], limit=1) == ["radiohead"]
    assert catalogue.resolve(["radiohed"], 0.97, ambiguity_threshold=0.01) == ["radiohead"]
    assert catalogue.resolve([]) == []
    with pytest.raises(ValueError, match="^limit must be at least 1$"):
        catalogue.resolve([], 0.5, 0)
    empty = Catalogue([])
    assert empty.resolve(["a", ""], 0.0, 0) == [None, None]
    assert len(Catalogue.from_bytes(empty.to_bytes())) == 0
    with pytest.raises(TypeError):
        Catalogue(["a", 1])


def test_chunks_threads_and_save_load(tmp_path, generated):
    catalog, names, expected = generated
    catalogue = Catalogue(catalog)
    assert sum((catalogue.resolve(names[i:i + 37]) for i in range(0, len(names), 37)), []) == expected

    results = [None] * 8

    def work(k):
        results[k] = catalogue.resolve(names)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 8

    path = tmp_path / "artists.zcat"
    catalogue.save(path)
    loaded = Catalogue.load(path)
    assert loaded.resolve(names) == expected
    assert loaded.memory_bytes == catalogue.memory_bytes > 0
    assert "3,200 entries" in repr(loaded) and "mapped" in repr(loaded)
    # Saving over the file a loaded catalogue maps replaces it; the loaded one keeps its own pages.
    Catalogue(catalog[:10]).save(path)
    assert loaded.resolve(names) == expected
    assert len(Catalogue.load(path)) == 10
    assert not [p for p in os.listdir(tmp_path) if p != "artists.zcat"]


def test_pickle_crosses_processes(generated):
    catalog, names, expected = generated
    code = ("import pickle, sys; catalogue, names = pickle.load(sys.stdin.buffer); "
            "print(type(catalogue).__name__, catalogue.resolve(names))")
    out = subprocess.run([sys.executable, "-c", code], input=pickle.dumps((Catalogue(catalog), names)),
                         capture_output=True, check=True).stdout.decode()
    assert out.strip() == f"Catalogue {expected}"


def test_hostile_files_are_refused(tmp_path, generated):
    good = Catalogue(generated[0][:300]).to_bytes()
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
            Catalogue.load(path)
        messages[name] = str(info.value)
        with pytest.raises(ValueError):
            Catalogue.from_bytes(data)
    assert "not a catalogue file" in messages["foreign"]
    assert "truncated" in messages["truncated"] and "truncated" in messages["extended"]
    assert "format version 99" in messages["version"]
    assert "checksum" in messages["flipped"]
    with pytest.raises(OSError):
        Catalogue.load(tmp_path)
    with pytest.raises(OSError, match="No such file"):
        Catalogue.load(tmp_path / "missing")
    with pytest.raises(TypeError):
        Catalogue.from_bytes("not bytes")
