"""Threads: every function called from 8 threads at once gives what it gives
alone, and the two classes shared between threads lose nothing."""

from __future__ import annotations

import random
import sys
import threading

import pytest

from shared import THREADS, run_threads
from surface_calls import valid_calls
from zemo_etl import import_utils, state
from zemo_etl.index import LibraryIndex


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_every_function_from_8_threads_gives_the_sequential_results(tmp_path, fast_switching):
    calls = valid_calls(tmp_path)
    expected = {name: fn(*args) for name, (fn, *args) in calls.items()}
    mismatches = []

    def work(k):
        names = list(calls) * 3
        random.Random(k).shuffle(names)
        for name in names:
            fn, *args = calls[name]
            if fn(*args) != expected[name]:
                mismatches.append(name)

    run_threads(work)
    assert mismatches == []


def test_shared_dedup_set_and_pipeline_state_lose_nothing(tmp_path, fast_switching):
    shared = import_utils.DedupSet()
    firsts = []
    steps = [f"step{i}" for i in range(THREADS * 50)]
    pipeline = state.PipelineState("db", "csv", steps)
    path = str(tmp_path / "state.json")

    def work(k):
        for i in range(3000):
            key = ("key", str(i % 1000), None if i % 2 else "x")  # overlapping across threads
            if shared.add(key):
                firsts.append(key)
        for i in range(k, len(steps), THREADS):
            if i % 3:
                pipeline.mark_completed(steps[i])
            else:
                pipeline.mark_failed(steps[i], f"error {i}")
            if i % 40 == 0:
                pipeline.save(path)

    run_threads(work)
    assert len(firsts) == len(set(firsts)) == 1000 == len(shared)
    pipeline.save(path)
    loaded = state.PipelineState.load(path)
    assert [(loaded.is_completed(s), loaded.step_error(s)) for s in steps] == [
        (bool(i % 3), None if i % 3 else f"error {i}") for i in range(len(steps))]


def test_other_threads_run_while_an_index_classifies():
    # The index classifies without the interpreter lock. With forced switches
    # off, the watcher can take the lock only where this thread gives it up:
    # inside classify, or at the join. It records which.
    rng = random.Random(7)
    words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyzé") for _ in range(rng.randint(3, 9)))
             for _ in range(500)]
    name = lambda k: " ".join(rng.choice(words) for _ in range(k))  # noqa: E731
    index = LibraryIndex([(name(2), name(3)) for _ in range(2000)])
    artists, titles = [name(2) for _ in range(3000)], [name(3) for _ in range(3000)]
    classifying, seen, go = [True], [], threading.Event()

    def watch():
        go.wait()
        seen.append(classifying[0])

    watcher = threading.Thread(target=watch)
    watcher.start()
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e6)
    try:
        go.set()
        for _ in range(500):  # each call is a chance; the watcher needs one
            index.classify(artists, titles)
            if seen:
                break
        classifying[0] = False
    finally:
        sys.setswitchinterval(old)
    watcher.join()
    assert seen == [True]
