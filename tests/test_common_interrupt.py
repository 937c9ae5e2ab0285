"""Long calls stop on SIGINT: KeyboardInterrupt soon after the signal, and the
next call in the same process (the worker pool included) still gives the
right result.

Each case runs in a child process that builds its inputs, announces the
call, runs it and reports when KeyboardInterrupt reached Python, on the
system-wide monotonic clock the parent also reads when it sends the signal.
"""

from __future__ import annotations

import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time
from typing import Optional

import pytest

# The library stops within a few milliseconds of work; the rest is the
# scheduling of a loaded machine (CI shares two cores with other jobs).
LATENCY_LIMIT = float(os.environ.get("ZEMO_INTERRUPT_LIMIT", "0.25"))

# Each case: setup code, the long call (an expression), a quick check that
# must print True afterwards. `names`, `long_text` and `dump` are prepared by
# the common prelude.
PRELUDE = """
import random, sys
from zemo_etl import fuzzy, parser, text, _ext
from zemo_etl.index import LibraryIndex
rng = random.Random(5)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyzéøß") for _ in range(rng.randint(3, 9))) for _ in range(3000)]
def name(k):
    return " ".join(rng.choice(words) for _ in range(k))
long_text = " ".join(words) * 2
dump = sys.argv[1]
"""

LIBRARY = """
library = [(name(2), name(3)) for _ in range(20000)]
artists = [name(2) for _ in range(400000)]
titles = [name(3) for _ in range(400000)]
"""

CASES = {
    "batch_classify_releases": (
        LIBRARY,
        "fuzzy.batch_classify_releases(artists, titles, library)",
        "fuzzy.batch_classify_releases(['a b', 'x'], ['c d', 'y'], [('A B', 'C D')]) == ['keep', 'prune']",
    ),
    "LibraryIndex.classify": (
        LIBRARY + "index = LibraryIndex(library)\n",
        "index.classify(artists, titles)",
        "index.classify(artists[:50], titles[:50]) == fuzzy.batch_classify_releases(artists[:50], titles[:50], library)",
    ),
    "batch_fuzzy_resolve": (
        "catalog = [name(2) for _ in range(200000)]\nnames = [name(2) for _ in range(20000)]\n",
        "fuzzy.batch_fuzzy_resolve(names, catalog, 0.5)",
        "fuzzy.batch_fuzzy_resolve(['radiohed'], ['radiohead', 'stereolab'], 0.8) == ['radiohead']",
    ),
    "batch_filter_artists": (
        "names = [long_text] * 40000\n",
        "fuzzy.batch_filter_artists(names, {'x'})",
        "fuzzy.batch_filter_artists(['The X', 'y'], {'the x'}) == [True, False]",
    ),
    "batch_to_storage_form": (
        "names = [long_text] * 40000\n",
        "text.batch_to_storage_form(names)",
        "text.batch_to_storage_form([' A\\u0301 ', '']) == ['\\u00c1', '']",
    ),
    "batch_to_match_form": (
        "names = [long_text] * 40000\n",
        "text.batch_to_match_form(names)",
        "text.batch_to_match_form(['The ÉX']) == [text.to_match_form('The ÉX')]",
    ),
    "batch_to_ascii_form": (
        "names = [long_text] * 40000\n",
        "text.batch_to_ascii_form(names)",
        "text.batch_to_ascii_form(['Ærø']) == [text.to_ascii_form('Ærø')]",
    ),
    "parse_sql_values": (
        "values = \"(1,'abc',2.5,NULL),\" * 6000000\n",
        "parser.parse_sql_values(values)",
        "parser.parse_sql_values(\"(1,'a'),(2,NULL)\") == [[1, 'a'], [2, None]]",
    ),
    "parse_sql_values: one value of 300 MB": (
        "values = \"(1,'\" + \"ab\\\\'cd\" * 50000000 + \"')\"\n",
        "parser.parse_sql_values(values)",
        "parser.parse_sql_values(\"('a\\\\'b')\") == [[\"a'b\"]]",
    ),
    "load_table_rows": (
        "",
        "parser.load_table_rows(dump, 't')",
        "parser.load_table_rows(dump, 'other') == []",
    ),
    "iter_table_rows": (
        "",
        "parser.iter_table_rows(dump, 't')",
        "parser.iter_table_rows(dump, 'other') == []",
    ),
    "TableRowChunks": (
        "",
        "next(_ext.TableRowChunks(dump, 't', chunk_rows=10**9))",
        "sum(map(len, _ext.TableRowChunks(dump, 't', chunk_rows=500000))) == 3000000",
    ),
    "table_column_types": (
        "",
        "_ext.table_column_types(dump, 't')",
        "_ext.table_column_types(dump, 'other') == []",
    ),
}

CHILD = """
{prelude}
{setup}
import time
print("ready", flush=True)
try:
    result = {call}
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
    print("again", {check}, flush=True)
else:
    print("finished", flush=True)
"""


@pytest.fixture(scope="module")
def dump(tmp_path_factory) -> pathlib.Path:
    # 3,000,000 small rows (about 90 MB): seconds of parsing and conversion.
    path = tmp_path_factory.mktemp("interrupt") / "big.sql"
    line = "INSERT INTO `t` VALUES " + ",".join("(%d,'artist name',2.5,NULL,'LP')" % k for k in range(1000)) + ";\n"
    with open(path, "w") as f:
        f.write(line * 3000)
    yield path
    path.unlink()


def interrupt(case: str, dump: pathlib.Path, delay: float = 0.4) -> Optional[float]:
    setup, call, check = CASES[case]
    code = CHILD.format(prelude=PRELUDE, setup=setup, call=call, check=check)
    child = subprocess.Popen([sys.executable, "-c", code, str(dump)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(delay)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    lines = out.split("\n")
    if lines[0] == "finished":
        return None  # the call ended before the signal
    assert lines[0].startswith("interrupted"), f"{case}: {out!r}"
    assert lines[1] == "again True", out
    assert child.returncode == 0
    return float(lines[0].split()[1]) - sent


@pytest.mark.parametrize("case", sorted(CASES))
def test_sigint_stops_the_call_and_the_next_call_works(case, dump):
    # A quiet machine may finish the shorter calls before a late signal.
    for delay in (0.4, 0.1, 0.02):
        latency = interrupt(case, dump, delay)
        if latency is not None:
            break
    assert latency is not None, f"{case}: the call ended before every signal"
    if latency > LATENCY_LIMIT:
        retried = interrupt(case, dump, 0.02)  # one retry: a busy machine may deschedule the child
        latency = min(latency, retried if retried is not None else latency)
    print(f"{case}: {latency * 1000:.1f} ms")
    assert latency < LATENCY_LIMIT, (case, latency)


def test_handler_that_does_not_raise_lets_the_call_finish(dump):
    # A handler that returns lets the work go on to the complete result.
    code = textwrap.dedent("""
        import signal, sys, time, threading, os
        from zemo_etl import parser
        seen = []
        signal.signal(signal.SIGINT, lambda *a: seen.append(1))
        threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        rows = parser.load_table_rows(sys.argv[1], 't')
        print(len(rows), len(seen))
    """)
    done = subprocess.run([sys.executable, "-c", code, str(dump)], capture_output=True, text=True, timeout=120)
    assert done.stdout.split() == ["3000000", "1"], done.stderr
