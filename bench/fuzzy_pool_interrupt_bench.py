"""How soon Ctrl-C stops each call on the worker pool (goal: 100 ms).

In a child per call: 2,000,000 one-word names against a 25,000-entry
catalogue (the shape where every range of names the pool hands out is
light), or 400,000 releases against a 20,000-pair library; SIGINT from
another process once the call runs. Reported: from the signal to its
handler (run by the call's own check), and from there to KeyboardInterrupt
leaving the call (unwinding, freeing the call's inputs and partial
results); the default pool. Wall time on a shared machine: medians of a few rounds.
"""

from __future__ import annotations

import statistics
import subprocess
import sys

CHILD = """
import os, random, signal, subprocess, sys, time
from zemo_etl import fuzzy
from zemo_etl.index import Catalogue, LibraryIndex
rng = random.Random(5)
words = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(3, 9))) for _ in range(3000)]
def name(k):
    return " ".join(rng.choice(words) for _ in range(k))
entries = [name(1) for _ in range(25000)]
names = [name(1) for _ in range(2000000)]
catalogue = Catalogue(entries)
library = [(name(2), name(3)) for _ in range(20000)]
index = LibraryIndex(library)
artists, titles = [name(2) for _ in range(400000)], [name(3) for _ in range(400000)]
calls = {
    "Catalogue.resolve": lambda: catalogue.resolve(names, 0.5),
    "Catalogue.explain": lambda: catalogue.explain(names, 0.5),
    "batch_fuzzy_resolve": lambda: fuzzy.batch_fuzzy_resolve(names, entries, 0.5),
    "LibraryIndex.classify": lambda: index.classify(artists, titles),
    "LibraryIndex.explain": lambda: index.explain(artists, titles),
}
handled = [0.0]
def on_sigint(signum, frame):
    handled[0] = time.monotonic()
    raise KeyboardInterrupt
signal.signal(signal.SIGINT, on_sigint)
# The sender notes when it sends (the monotonic clock is the machine's, not the process's).
sender = subprocess.Popen([sys.executable, "-c", "import os, signal, sys, time; time.sleep(1); "
                           "print(time.monotonic(), flush=True); os.kill(int(sys.argv[1]), signal.SIGINT)",
                           str(os.getpid())], stdout=subprocess.PIPE, text=True)
try:
    calls[sys.argv[1]]()
    print("finished")
except KeyboardInterrupt:
    left = time.monotonic()
    sent = float(sender.stdout.readline())
    print((handled[0] - sent) * 1000, (left - handled[0]) * 1000)
"""

CALLS = ["Catalogue.resolve", "Catalogue.explain", "batch_fuzzy_resolve", "LibraryIndex.classify",
         "LibraryIndex.explain"]


def run(quick: bool) -> None:
    print("\n== Ctrl-C on the worker pool (wall ms, medians): signal to handler, handler to out ==", flush=True)
    for call in CALLS[:2] if quick else CALLS:
        rounds = [subprocess.run([sys.executable, "-c", CHILD, call], capture_output=True, text=True,
                                 check=True).stdout.split() for _ in range(1 if quick else 3)]
        stopped = [[float(x) for x in r] for r in rounds if r != ["finished"]]
        if len(stopped) < len(rounds):
            print(f"  {call:<24} finished before the signal in {len(rounds) - len(stopped)} rounds", flush=True)
        if stopped:
            to_handler, to_out = (statistics.median(r[k] for r in stopped) for k in (0, 1))
            print(f"  {call:<24} {to_handler:7.1f} ms to the handler, {to_out:7.1f} ms out of the call",
                  flush=True)


if __name__ == "__main__":
    run("--quick" in sys.argv)
