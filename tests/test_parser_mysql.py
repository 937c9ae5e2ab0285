"""parse_sql_values: the VALUES grammar of dump files."""

from __future__ import annotations

import math
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from shared import Value, render, typed
from zemo_etl.parser import parse_sql_values


@pytest.mark.parametrize("line, expected", [
    # Tuple list shapes
    ("; (1)", []),
    ("()( ),(,1)", [[1]]),
    ("(1,,2),(1 ,2),(1,\t2)", [[1, None, 2]] * 3),
    ("(1) x (2);(3)", [[1], [2]]),
    ("(1,';',2)", [[1, ";", 2]]),  # a ';' inside a string or tuple ends nothing
    ("INSERT INTO t (a) VALUES (1)", [[None], [1]]),  # no head cutting here
    ("(é)", [[None, None]]),  # one None per byte of an unquoted character
    # Numbers
    ("(0,-0,+7,-9223372036854775808,9223372036854775807)", [[0, 0, 7, -9223372036854775808, 9223372036854775807]]),
    ("(-),(1-2,--1,+)", [[0], [0, 0, 0]]),
    # Around 18 digits, where the digits are read without the library.
    ("(999999999999999999,-999999999999999999,1000000000000000000,-1000000000000000000,+000000000000000000007)",
     [[10**18 - 1, 1 - 10**18, 10**18, -10**18, 7]]),
    ("(5.,-.5,-2.50,1.2.3,1.5-3,+.)", [[5.0, -0.5, -2.5, 0.0, 0.0, 0.0]]),
    # Exponents: right after the digits, sign optional, at least one digit.
    ("(1.5e3,1e-7,-2E+20,1E5)", [[1500.0, 1e-07, -2e20, 100000.0]]),
    ("(1e5.5)", [[100000.0, None, 5]]),
    ("(1e,2e+,3ex)", [[1, None, 2, None, 0, 3, None, None]]),
    ("(1-2e5,1.2.3e4)", [[0.0, 0.0]]),
    ("(1e400,-1e400,1e-400,1e99999999999999999999)", [[math.inf, -math.inf, 0.0, math.inf]]),
    ("(" + "9" * 400 + ".5,-" + "9" * 400 + ".,0." + "0" * 400 + "1)", [[math.inf, -math.inf, 0.0]]),
    # Integers beyond 64 bits keep their exact value.
    ("(18446744073709551615,9223372036854775808,-9223372036854775809)",
     [[18446744073709551615, 9223372036854775808, -9223372036854775809]]),
    ("(999999999999999999999999999999,+0000000000000000000000000000000000000001,-000000000000000000000099999999999999999999)",
     [[10**30 - 1, 1, -99999999999999999999]]),
    # So do wide bit literals, up to limits far past any plausible column; beyond, a malformed number.
    ("(0b" + "1" * 63 + ",0b1" + "0" * 63 + ",b'1" + "0" * 64 + "',b'1" + "0" * 100 + "',0b" + "0" * 70 + "1)",
     [[2**63 - 1, 2**63, 2**64, 2**100, 1]]),
    ("(" + "9" * 1000 + ",-" + "9" * 1001 + ",b'1" + "0" * 2999 + "',0b1" + "0" * 3000 + ")",
     [[10**1000 - 1, 0, 2**2999, 0]]),
    # Quoted strings: backslash escapes and doubled quotes
    (r"('a\nb\rc\td\0e',' \'\"\\ \Z\b')", [["a\nb\rc\td\x00e", " '\"\\ \x1a\x08"]]),
    (r"('100\% \_x',' \q\N')", [[r"100\% \_x", r" \q\N"]]),  # LIKE escapes keep their backslash
    ("('it''s','a''''b',''),('''')", [["it's", "a''b", ""], ["'"]]),
    ("('no closing quote and no paren", [["no closing quote and no paren"]]),
    ("('ends in a backslash\\", [["ends in a backslash\\"]]),
    # NULL in any case, and only as a whole word
    ("(NULL,null,Null,nUlL),(NULLX),(nul)", [[None] * 4, [None, None], [None] * 3]),
    # Charset introducers
    ("(_binary 'abc',_utf8mb4'x',_latin1   'y',_binary 'it''s\\n')", [["abc", "x", "y", "it's\n"]]),
    ("(_binary),(_ab,1),(_'x')", [[None] * 7, [None, None, None, 1], [None, "x"]]),
    # National strings: only an N right before the quote belongs to the literal.
    ("(1,N'AC/DC',n'it''s',2),(N''),(NN'x',N 'y')", [[1, "AC/DC", "it's", 2], [""], [None, "x", None, "y"]]),
    # Hex and bit literals
    ("(0x414243,0X61,0x1F,0x414)", [["ABC", "a", "\x1f", "\x04\x14"]]),  # odd count: a leading 0 nibble
    ("(0xFF41,0xC3A9)", [["\ufffdA", "é"]]),  # decoded like quoted strings
    ("(X'4142',x'',x'f')", [["AB", "", "\x0f"]]),
    ("(0x),(0x4G)", [[0, None], ["\x04", None]]),
    ("(x'41g',x'41)", [[None, "41g", None, "41)"]]),
    ("(b'0101',B'1',b'',0b0101,0B11)", [[5, 1, 0, 5, 3]]),
    ("(b'0102',0b2)", [[None, "0102", 0, None, 2]]),
    # A sign is not part of a literal: "-0" is a number and the rest as before.
    ("(-0x41,-b'1')", [[0, None, 41, 0, 1]]),
], ids=lambda v: repr(v)[:80] if isinstance(v, str) else "")
def test_values(line: str, expected: list[list[Any]]) -> None:
    assert typed(parse_sql_values(line)) == typed(expected)


VALUES = st.one_of(st.none(), st.integers(min_value=-(10**40), max_value=10**40),
                   st.floats(allow_nan=False, allow_infinity=False), st.text())


@given(st.lists(st.lists(VALUES, min_size=1, max_size=6), max_size=5))
def test_rendered_rows_read_back(rows: list[list[Value]]) -> None:
    line = "INSERT INTO `t` VALUES " + ",".join("(" + ",".join(render(v) for v in row) + ")" for row in rows) + ";"
    assert typed(parse_sql_values(line)) == typed(rows)


# Decimals of up to 15 digits with a power of ten up to 22 are read without
# the library's parse; each must round as Python's float() does, on both sides
# of those limits.
@given(st.integers(0, 10**17), st.integers(0, 17), st.integers(-40, 40), st.sampled_from(["", "-", "+"]))
def test_decimals_round_as_python_reads_them(digits: int, point: int, exponent: int, sign: str) -> None:
    s = str(digits).rjust(point + 1, "0")
    literal = f"{sign}{s[:len(s) - point]}.{s[len(s) - point:]}e{exponent}"
    for text in (literal, literal[:literal.index("e")]):
        [[value]] = parse_sql_values(f"({text})")
        assert repr(value) == repr(float(text)), text


@pytest.mark.parametrize("shift", range(-3, 3))
def test_escapes_across_the_poll_window_of_long_values(shift: int) -> None:
    # Long values are scanned a megabyte at a time; an escape, a doubled quote
    # or a multi-byte character may straddle the window's end.
    head = "a" * ((1 << 20) - 2 + shift)
    value = head + "'" + "'" + "é" + "\\" + "x" * 3
    line = "(1,'" + head + "\\'" + "''" + "é" + "\\\\" + "x" * 3 + "'," + "0x" + "41" * (1 << 19) + "42" + ")"
    assert parse_sql_values(line) == [[1, value, "A" * (1 << 19) + "B"]]
