"""A straightforward pure-Python reader of one table's rows from a dump.

The baseline for the parser benchmarks: it reads the same statement shapes
as the native loader (one-line and multi-line INSERT statements, quoted
strings with escapes, NULL, integers, decimals with exponents, hex literals)
character by character, the way one would write it without a native module.
"""

from __future__ import annotations

import re
from typing import Optional, Union

Value = Union[None, int, float, str]

_ESCAPES = {"n": "\n", "r": "\r", "t": "\t", "0": "\x00", "b": "\b", "Z": "\x1a", "'": "'", '"': '"', "\\": "\\"}
_NUMBER_CHARS = set("0123456789.+-")
_HEX = set("0123456789abcdefABCDEF")
_VALUES = re.compile(r"values", re.IGNORECASE)


def _parse_string(s: str, i: int) -> tuple[str, int]:
    out = []
    i += 1
    n = len(s)
    while i < n:
        c = s[i]
        if c == "'":
            if i + 1 < n and s[i + 1] == "'":
                out.append("'")
                i += 2
                continue
            return "".join(out), i + 1
        if c == "\\":
            if i + 1 >= n:
                out.append("\\")
                return "".join(out), i + 1
            e = s[i + 1]
            out.append(_ESCAPES.get(e, "\\" + e))
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out), i


def _parse_number(s: str, i: int) -> tuple[Value, int]:
    start = i
    n = len(s)
    while i < n and s[i] in _NUMBER_CHARS:
        i += 1
    exponent = False
    if i < n and s[i] in "eE":
        j = i + 1
        if j < n and s[j] in "+-":
            j += 1
        if j < n and s[j].isdigit():
            while j < n and s[j].isdigit():
                j += 1
            i = j
            exponent = True
    token = s[start:i]
    try:
        return (float(token) if "." in token or exponent else int(token)), i
    except ValueError:
        return (0.0 if "." in token or exponent else 0), i


def _parse_value(s: str, i: int) -> tuple[Value, int]:
    c = s[i]
    if c == "'":
        return _parse_string(s, i)
    if s[i:i + 4].upper() == "NULL":
        return None, i + 4
    if c == "0" and s[i + 1:i + 2] in ("x", "X"):
        j = i + 2
        while j < len(s) and s[j] in _HEX:
            j += 1
        if j > i + 2:
            digits = s[i + 2:j]
            if len(digits) % 2:
                digits = "0" + digits
            return bytes.fromhex(digits).decode("utf-8", "replace"), j
    if c.isdigit() or c in "+-":
        return _parse_number(s, i)
    return None, i + 1


def parse_tuples(s: str, rows: list[tuple[Value, ...]]) -> bool:
    """Appends the tuples of `s`; True when a ';' between tuples ended the statement."""
    i = 0
    n = len(s)
    while i < n:
        while s[i] != "(":
            if s[i] == ";":
                return True
            i += 1
            if i == n:
                return False
        i += 1
        row: list[Value] = []
        while i < n:
            c = s[i]
            if c == " ":
                i += 1
            elif c == ")":
                i += 1
                break
            elif c == "," and not row:
                i += 1
            else:
                value, i = _parse_value(s, i)
                row.append(value)
                if i < n and s[i] == ",":
                    i += 1
        if row:
            rows.append(tuple(row))
    return False


def load_table_rows(path: str, table_name: str) -> list[tuple[Value, ...]]:
    prefix = f"INSERT INTO `{table_name}`".encode()
    rows: list[tuple[Value, ...]] = []
    open_statement = False
    with open(path, "rb") as f:
        for raw in f:
            line: Optional[str] = None
            if open_statement:
                stripped = raw.lstrip(b" \t")
                if stripped.startswith(b"("):
                    open_statement = not parse_tuples(stripped.rstrip(b"\n").decode("utf-8", "replace"), rows)
                    continue
                open_statement = False
            if not raw.startswith(prefix):
                continue
            line = raw.rstrip(b"\n").decode("utf-8", "replace")
            match = _VALUES.search(line, len(prefix))
            if match is None:
                continue
            paren = line.find("(", match.end())
            if paren < 0:
                open_statement = ";" not in line[match.end():]
                continue
            open_statement = not parse_tuples(line[paren:], rows)
    return rows
