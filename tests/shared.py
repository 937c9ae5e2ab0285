"""What several test modules share: strategies, dump values as a dump
writes them, threads started at once, an index file rewritten, a child
interpreter's memory, the README's examples. Test modules import from here, never from each other."""

from __future__ import annotations

import math
import pathlib
import re
import struct
import subprocess
import sys
import textwrap
import threading
from typing import Any, Callable, Union

from hypothesis import strategies as st

from reference.fuzzy import plain_jaro_winkler

# --- dump values ----------------------------------------------------------------

Value = Union[None, int, float, str]


def typed(rows: list[list[Any]]) -> list[list[tuple[str, Any]]]:
    # Each value tagged by its type, so that 0 and 0.0 or 1 and True differ.
    return [[(type(v).__name__, v) for v in row] for row in rows]


def render(v: Value) -> str:
    # A value as a dump writes it.
    if v is None:
        return "NULL"
    if isinstance(v, str):
        escaped = (v.replace("\\", "\\\\").replace("'", "\\'").replace('"', '\\"').replace("\n", "\\n")
                   .replace("\r", "\\r").replace("\x00", "\\0").replace("\x1a", "\\Z"))
        return f"'{escaped}'"
    return repr(v)


# --- a child interpreter's memory -------------------------------------------------

def grown_mb(body: str, *args: str) -> tuple[str, float]:
    # Runs `body` in a fresh interpreter, the package imported: what it prints,
    # and how far (MB) its peak memory grew meanwhile.
    script = ("import resource, sys\nfrom zemo_etl import dump, parser\n"
              "before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n" + textwrap.dedent(body)
              + "\nprint((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024)\n")
    done = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    out, grown = done.stdout.rsplit(None, 1)
    return out, float(grown)


# --- threads -------------------------------------------------------------------

THREADS = 8


def run_threads(work):
    errors = []

    def guarded(k):
        try:
            work(k)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=guarded, args=(k,)) for k in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


# --- strategies ----------------------------------------------------------------

# Words from a small alphabet so that tokens, characters and lengths collide
# often; "|||", empty names, wide characters and one word shared by every
# entry make the adversarial libraries.
_WORDS = ["the", "a", "ab", "ba", "abc", "|||", "é", "ėé", "中文", "ab|||", "aaaa", "abab", "bab"]
_word = st.one_of(st.sampled_from(_WORDS), st.text(alphabet="abcé ", min_size=0, max_size=6))
name_strategy = st.lists(_word, min_size=0, max_size=5).map(" ".join)


_letters = st.sampled_from(["a", "b", "c", " ", "\u00e9", "\u4e2d", "A"])
_short = st.text(_letters, max_size=8)
_long = st.text(_letters, min_size=58, max_size=70)  # across the 64-character word


@st.composite
def near_ties(draw):
    """A catalogue of few letters, duplicates and one-character variants (or
    a dense one with long runs of equal lengths), names close to its
    entries, and a threshold and gap set on or beside scores that occur."""
    if draw(st.booleans()):
        catalog = draw(st.lists(st.text("ab", min_size=5, max_size=7), min_size=40, max_size=120))
    else:
        bases = draw(st.lists(st.one_of(_short, _long), min_size=1, max_size=5))
        catalog = []
        for _ in range(draw(st.integers(0, 25))):
            s = draw(st.sampled_from(bases + catalog))
            i = draw(st.integers(0, len(s)))
            c = draw(_letters)
            edit = draw(st.sampled_from(["same", "replace", "drop", "insert"]))
            if edit == "replace":
                s = s[:i] + c + s[i + 1:]
            elif edit == "drop":
                s = s[:i] + s[i + 1:]
            elif edit == "insert":
                s = s[:i] + c + s[i:]
            catalog.append(s)
    names = draw(st.lists(st.one_of(st.sampled_from(catalog + ["ab"]), _short, _long), min_size=1, max_size=3))
    scores = sorted({plain_jaro_winkler(n, e) for n in names for e in catalog} | {0.5})

    def near(values):  # drawn as a strategy, so that shrinking replays it
        return st.sampled_from(values).flatmap(
            lambda x: st.sampled_from([x, math.nextafter(x, 2.0), math.nextafter(x, -2.0)]))

    top = scores[-3:]
    threshold = draw(st.one_of(near(top), st.sampled_from([0.0, 0.85, 1.0]), st.floats(0.0, 1.0)))
    gaps = [abs(x - y) for x in top for y in scores]
    ambiguity = draw(st.one_of(near(gaps), st.sampled_from([0.0, 0.02, -0.1, 0.5]), st.floats(0.0, 0.3)))
    limit = draw(st.sampled_from([0, 1, 2, 5]))
    return names, catalog, threshold, limit, ambiguity


# --- saved index files -----------------------------------------------------------

def _checksum64(data: bytes) -> int:
    mask, p1, p2 = (1 << 64) - 1, 0x9E3779B185EBCA87, 0xC2B2AE3D27D4EB4F

    def rotl(x, r):
        return (x << r | x >> (64 - r)) & mask

    lanes = [(p1 + p2) & mask, p2, 0, -p1 & mask]
    end = len(data) // 32 * 32
    for i in range(0, end, 8):
        k = i // 8 % 4
        lanes[k] = rotl((lanes[k] + int.from_bytes(data[i:i + 8], "little") * p2) & mask, 31) * p1 & mask
    h = (rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) + rotl(lanes[3], 18) + len(data)) & mask
    for c in data[end:]:
        h = rotl(h ^ (c * p1 & mask), 11) * p2 & mask
    h = (h ^ h >> 33) * p2 & mask
    return h ^ h >> 29


def rewritten_index_file(data: bytes, lie: Callable[[list, int], None], k: int) -> bytes:
    """The file with its sections changed by `lie` and laid out again, the checksum made right."""
    count = struct.unpack_from("<I", data, 16)[0]
    table = struct.unpack_from(f"<{2 * count}Q", data, 64)
    sections = [data[table[2 * i]:table[2 * i] + table[2 * i + 1]] for i in range(count)]
    lie(sections, k)
    out = bytearray(-(-(64 + 16 * count) // 64) * 64)
    for i, section in enumerate(sections):
        struct.pack_into("<2Q", out, 64 + 16 * i, len(out), len(section))
        out += section + bytes(-len(section) % 64)
    out[:64] = data[:64]
    struct.pack_into("<Q", out, 24, len(out))
    struct.pack_into("<Q", out, 32, _checksum64(bytes(out[64:])))
    return bytes(out)


# --- the README's examples -------------------------------------------------------

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^(<!-- skip-test: [^\n]* -->\n\s*)?```(\w*)[ \t]*\n(.*?)^```$", re.M | re.S)


def sections():
    """(title, [(language, code, first line)]) of each `## ` section with blocks to run."""
    text = README.read_text(encoding="utf-8")
    out = {}
    for m in BLOCK.finditer(text):
        skip, language, code = m.groups()
        titles = re.findall(r"^## (.*)", text[:m.start()], re.M)
        # A shell block runs only when it calls zemo-etl: not installing and the like.
        runs = language in ("python", "console") or (language == "sh" and "zemo-etl" in code)
        if titles and runs and not skip:
            out.setdefault(titles[-1], []).append((language, code, text.count("\n", 0, m.start(3)) + 1))
    return list(out.items())


# --- compression ---------------------------------------------------------------

def zstd_compress(data: bytes) -> bytes:
    """zstd data as the standard library (3.14) or the zstandard dependency writes it."""
    try:
        from compression import zstd  # type: ignore[import-not-found]
        return zstd.compress(data)  # type: ignore[no-any-return]
    except ImportError:
        import zstandard
        return zstandard.ZstdCompressor().compress(data)  # type: ignore[no-any-return]
