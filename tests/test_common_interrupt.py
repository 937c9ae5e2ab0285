"""Long calls stop on SIGINT, and the next call in the same process (the
worker pool included) still gives the right result.

Each case runs in a child that the parent sends SIGINT every few
milliseconds until the child has reported. A profiler in the child tells
which C function is under way, and its handler raises KeyboardInterrupt only
when it runs on the frame that made that call, that is from the call's own
check for signals. A signal that lands anywhere else (in the profiler, in the
handler itself, in Python code between calls, after the report) is dropped.
So wherever each lands, the call either stopped itself with
KeyboardInterrupt or ran to its end without seeing one (a call that does not
poll)."""

from __future__ import annotations

import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

# Each case: setup code, the long call (an expression), a quick check that
# must print True afterwards. (The other batch forms and iter_table_rows are
# the same code as batch_to_match_form and load_table_rows.)
PRELUDE = """
import random, sys
from zemo_etl import fuzzy, parser, text, _ext
from zemo_etl.index import Catalogue, LibraryIndex
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

TEXTS = "names = [long_text] * 40000\n"
# Millions of short names against a small catalogue: each range of names the
# pool hands out is light, so only a poll per range stops the call early (it
# would run for minutes otherwise).
SHORT_NAMES = ("entries = [name(1) for _ in range(25000)]\ncatalogue = Catalogue(entries)\n"
               "names = [name(1) for _ in range(20000)] * 400\n")
CASES = {
    "batch_classify_releases": (LIBRARY, "fuzzy.batch_classify_releases(artists, titles, library)",
                                "fuzzy.batch_classify_releases(['a b', 'x'], ['c d', 'y'], [('A B', 'C D')])"
                                " == ['keep', 'prune']"),
    "LibraryIndex.classify": (LIBRARY + "index = LibraryIndex(library)\n", "index.classify(artists, titles)",
                              "index.classify(artists[:50], titles[:50])"
                              " == fuzzy.batch_classify_releases(artists[:50], titles[:50], library)"),
    "batch_fuzzy_resolve": (SHORT_NAMES, "fuzzy.batch_fuzzy_resolve(names, entries, 0.5)",
                            "fuzzy.batch_fuzzy_resolve(['radiohed'], ['radiohead', 'stereolab'], 0.8)"
                            " == ['radiohead']"),
    "Catalogue.resolve": (SHORT_NAMES, "catalogue.resolve(names, 0.5)",
                          "catalogue.resolve(names[:20], 0.5) == fuzzy.batch_fuzzy_resolve(names[:20], entries, 0.5)"),
    "Catalogue.resolve: long names, a large catalogue": (
        "entries = [name(2) for _ in range(200000)]\ncatalogue = Catalogue(entries)\n"
        "names = [name(2) for _ in range(20000)]\n", "catalogue.resolve(names, 0.5)",
        "catalogue.resolve(names[:20], 0.5) == fuzzy.batch_fuzzy_resolve(names[:20], entries, 0.5)"),
    "Catalogue.explain": (SHORT_NAMES, "catalogue.explain(names, 0.5)",
                          "[e['match'] for e in catalogue.explain(names[:20], 0.5)]"
                          " == catalogue.resolve(names[:20], 0.5)"),
    "LibraryIndex.explain": (LIBRARY + "index = LibraryIndex(library)\n", "index.explain(artists, titles)",
                             "[e['decision'] for e in index.explain(artists[:50], titles[:50])]"
                             " == index.classify(artists[:50], titles[:50])"),
    "batch_text_form": (TEXTS, "_ext.batch_text_form('ascii', names)",
                        "_ext.batch_text_form('match', ['The ÉX', None]) == [text.to_match_form('The ÉX'), None]"),
    "batch_filter_artists": (TEXTS, "fuzzy.batch_filter_artists(names, {'x'})",
                             "fuzzy.batch_filter_artists(['The X', 'y'], {'the x'}) == [True, False]"),
    "batch_to_match_form": (TEXTS, "text.batch_to_match_form(names)",
                            "text.batch_to_match_form(['The ÉX']) == [text.to_match_form('The ÉX')]"),
    "parse_sql_values": ("values = \"(1,'abc',2.5,NULL),\" * 6000000\n", "parser.parse_sql_values(values)",
                         "parser.parse_sql_values(\"(1,'a'),(2,NULL)\") == [[1, 'a'], [2, None]]"),
    "parse_sql_values: one value of 300 MB": ("values = \"(1,'\" + \"ab\\\\'cd\" * 50000000 + \"')\"\n",
                                              "parser.parse_sql_values(values)",
                                              "parser.parse_sql_values(\"('a\\\\'b')\") == [[\"a'b\"]]"),
    "load_table_rows": ("", "parser.load_table_rows(dump, 't')", "parser.load_table_rows(dump, 'other') == []"),
    "TableRowChunks": ("", "next(_ext.TableRowChunks(dump, 't', chunk_rows=10**9))",
                       "sum(map(len, _ext.TableRowChunks(dump, 't', chunk_rows=500000))) == 3000000"),
    "table_column_types": ("", "_ext.table_column_types(dump, 't')", "_ext.table_column_types(dump, 'other') == []"),
}

# The handler and the profiler every child installs once its inputs are built.
WATCH = """
import signal, sys
running = None      # the C function under way
caller = None       # the frame that called it
last = ("none", "none")  # how the last C function ended, and which
handled = 0         # signals handled while a C function ran
done = False        # from here on every signal is dropped
def on_sigint(signum, frame):
    global handled
    # Inside a C call the handler runs on the frame that called it; on any
    # other frame it was called from Python code: the profiler, this handler.
    if done or running is None or frame is None or frame is not caller:
        return
    handled += 1
    if RAISE:
        raise KeyboardInterrupt
def profile(frame, event, arg):
    global running, caller, last
    if event == "c_call":
        running, caller = arg, frame
    elif event in ("c_return", "c_exception"):
        running, caller, last = None, None, (event, getattr(arg, "__qualname__", repr(arg)).split(".")[-1])
def finish():
    global done
    done = True  # first: removing the profiler ends the C call below without a c_return
    sys.setprofile(None)
signal.signal(signal.SIGINT, on_sigint)
print("ready", flush=True)
sys.setprofile(profile)
"""

CHILD = PRELUDE + """
{setup}
RAISE = {raise_}
""" + WATCH + """
try:
    result = {call}
except KeyboardInterrupt:
    finish()
    print("interrupted", *last, flush=True)
    print("again", {check}, flush=True)
else:
    finish()
    print("finished", handled > 0, {check}, flush=True)
signal.signal(signal.SIGINT, signal.SIG_IGN)  # signals still on their way
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


def run_under_signals(code: str, *args: str) -> str:
    """Run the child, sending SIGINT every few milliseconds from its "ready" until it has reported; its output."""
    child = subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE, text=True)
    lines: list[str] = []
    reported = threading.Event()

    def read() -> None:
        for line in child.stdout:
            lines.append(line)
            if line.startswith(("again", "finished")):
                reported.set()
        reported.set()  # end of output: the child is gone

    try:
        assert child.stdout.readline().strip() == "ready"
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        deadline = time.monotonic() + 120
        while not reported.is_set() and time.monotonic() < deadline:
            child.send_signal(signal.SIGINT)
            time.sleep(0.005)
        child.wait(timeout=60)
        reader.join(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
        child.wait()
    out = "".join(lines)
    assert child.returncode == 0, out
    return out


@pytest.mark.parametrize("case", sorted(CASES))
def test_sigint_stops_the_call_and_the_next_call_works(case, dump):
    setup, call, check = CASES[case]
    out = run_under_signals(CHILD.format(setup=setup, raise_=True, call=call, check=check), str(dump))
    # KeyboardInterrupt came out of the long call itself, not after its return.
    function = re.match(r"[\w.]+", call).group().split(".")[-1]
    assert out.split("\n")[:2] == [f"interrupted c_exception {function}", "again True"], out


def test_handler_that_does_not_raise_lets_the_call_finish(dump):
    # A handler that returns, run while the call is under way, lets the work
    # go on to the complete result.
    code = CHILD.format(setup="", raise_=False, call="parser.load_table_rows(dump, 't')",
                        check="len(result) == 3000000")
    assert run_under_signals(code, str(dump)).split() == ["finished", "True", "True"]
