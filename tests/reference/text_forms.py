"""Plain Python versions of the storage, match and ASCII forms, written for
clarity: the tests compare the native forms with them, the benchmarks time
them. Categories come from ``unicodedata`` (the interpreter's Unicode), so
they agree only where a character's category is as in Unicode 8.0.0. The
ASCII form reads the Debian package the native table is generated from.
"""

from __future__ import annotations

import functools
import glob
import os
import unicodedata
from typing import Optional

TRIGGERS = frozenset("\u00c2\u00c3\u00c4\u00c5\u00ce\u00cf\u00d0\u00d1\u00d8\u00d9\u00da\u00db\u00e2")
LATIN_GREEK = (
    (0x0000, 0x024F), (0x0370, 0x03FF), (0x1E00, 0x1EFF), (0x1F00, 0x1FFF),
    (0x2C60, 0x2C7F), (0xA720, 0xA7FF), (0xAB30, 0xAB6F),
)
FOLDS = {"\u00e6": "ae", "\u0153": "oe", "\u03c2": "\u03c3"}
ZWJ = "\u200d"


def fix_mojibake(s: str) -> str:
    if not any(c in TRIGGERS for c in s):
        return s
    try:
        return s.encode("cp1252").decode("utf-8")
    except (UnicodeEncodeError, UnicodeDecodeError):
        return s


def to_storage_form(s: str) -> str:
    return unicodedata.normalize("NFC", fix_mojibake(s)).strip(" ")


def collapse_and_trim_ascii_space(s: str) -> str:
    return " ".join(part for part in s.split(" ") if part)


def to_match_form(s: str) -> str:
    t = unicodedata.normalize("NFKC", to_storage_form(s))
    t = "".join(c.lower() for c in t)
    out = []
    latin_base = False
    for c in unicodedata.normalize("NFD", t):
        if unicodedata.category(c) in ("Mn", "Mc", "Me"):
            if latin_base:
                continue
        else:
            latin_base = any(a <= ord(c) <= b for a, b in LATIN_GREEK)
        out.append(c)
    t = unicodedata.normalize("NFC", "".join(out))
    t = "".join(FOLDS.get(c, c) for c in t)
    t = "".join(c for c in t if c == ZWJ or unicodedata.category(c) != "Cf")
    return collapse_and_trim_ascii_space(t)


@functools.lru_cache(maxsize=1)
def load_translit() -> Optional[list]:
    """Per code point its ASCII spelling or None; None when the package is absent."""
    dirs = sorted(glob.glob("/usr/share/cargo/registry/deunicode-*"))
    if not dirs:
        return None
    with open(os.path.join(dirs[-1], "src", "pointers.bin"), "rb") as f:
        pointers = f.read()
    with open(os.path.join(dirs[-1], "src", "mapping.txt"), "rb") as f:
        mapping = f.read()
    table: list = []
    for i in range(0, len(pointers) - 2, 3):
        b0, b1, n = pointers[i], pointers[i + 1], pointers[i + 2]
        if n <= 2:
            table.append(bytes((b0, b1)[:n]).decode())
        else:
            pos = b0 | b1 << 8
            table.append(mapping[pos:pos + n].decode() if pos + n <= len(mapping) else None)
    return table


def to_ascii_form(s: str) -> str:
    table = load_translit()
    if table is None:
        raise RuntimeError("transliteration table not installed")
    m = to_match_form(s)
    kept = "".join({"\u0401": "Yo", "\u0451": "yo"}.get(c, c) for c in m if unicodedata.category(c) != "So")
    spelled = []
    for c in kept:
        if ord(c) < 0x80:
            spelled.append(c)
        else:
            entry = table[ord(c)] if ord(c) < len(table) else None
            spelled.append("[?]" if entry is None else entry)
    lowered = "".join(c.lower() for c in "".join(spelled))
    return collapse_and_trim_ascii_space("".join(c for c in lowered if ord(c) < 0x80))
