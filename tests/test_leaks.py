"""A quick leak check: a few thousand calls over every function and error
path leave the resident memory flat and every argument's reference count
where it was."""

from __future__ import annotations

import gc
import os
import resource
import sys

import pytest

from surface_calls import error_calls, valid_calls

ROUNDS = 150  # x ~45 calls: about 7,000 calls


def rss_kb() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def arguments_of(calls):
    args = [a for _, *call_args in calls for a in call_args]
    return args + [x for a in args if isinstance(a, (list, tuple, set)) for x in a]


def test_calls_and_error_paths_leak_nothing(tmp_path):
    valid = list(valid_calls(tmp_path).values())
    errors = error_calls(tmp_path)
    # Static objects (None, small ints, one-character strings) are shared
    # with the whole interpreter: their counts move with everything else.
    # They are immortal from Python 3.12 on and widely shared before it.
    watched = [a for a in arguments_of(valid) + arguments_of([(fn, *args) for _, fn, *args in errors])
               if sys.getrefcount(a) < 500 and a is not None]

    def one_round():
        for fn, *args in valid:
            fn(*args)
        for exc, fn, *args in errors:
            with pytest.raises(exc):
                fn(*args)

    for _ in range(20):  # warm-up: caches, interned strings, the pool
        one_round()
    gc.collect()
    counts = [sys.getrefcount(a) for a in watched]
    before = rss_kb()
    for _ in range(ROUNDS):
        one_round()
    gc.collect()
    grown = rss_kb() - before
    assert [sys.getrefcount(a) for a in watched] == counts
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        return  # AddressSanitizer's quarantine holds freed memory: resident size tells nothing there
    # A leak of even one small object per call would be ~300 KB or more.
    assert grown < 256, f"resident memory grew by {grown} KB"
