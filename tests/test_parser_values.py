"""parse_sql_values: the VALUES grammar of dump files."""

from __future__ import annotations

import math
from typing import Any, Optional, Union

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zemo_etl.parser import parse_sql_values

Value = Union[None, int, float, str]


def typed(rows: list[list[Any]]) -> list[list[tuple[str, Any]]]:
    """Each value tagged by its type, so that 0 and 0.0 or 1 and True differ."""
    return [[(type(v).__name__, v) for v in row] for row in rows]


def check(line: str, expected: list[list[Any]]) -> None:
    assert typed(parse_sql_values(line)) == typed(expected)


@pytest.mark.parametrize("line, expected", [
    ("(1,'a'),(2,'b')", [[1, "a"], [2, "b"]]),
    ("INSERT INTO t VALUES (1,NULL,-2.50,'x');", [[1, None, -2.5, "x"]]),
    ("; (1)", []),
    ("", []),
    ("()( ),(,1)", [[1]]),
    ("(1,,2)", [[1, None, 2]]),
    ("(1 ,2)", [[1, None, 2]]),
    ("(1,\t2)", [[1, None, 2]]),
    ("(1)(2)", [[1], [2]]),
    ("(1) x (2);(3)", [[1], [2]]),
    ("(1,';',2)", [[1, ";", 2]]),  # a ';' inside a string or tuple ends nothing
    ("INSERT INTO t (a) VALUES (1)", [[None], [1]]),  # no head cutting here
    ("(é)", [[None, None]]),  # one None per byte of an unquoted character
], ids=repr)
def test_tuple_list_shapes(line: str, expected: list[list[Any]]) -> None:
    check(line, expected)


@pytest.mark.parametrize("line, expected", [
    ("(0,-0,+7,-9223372036854775808,9223372036854775807)", [[0, 0, 7, -9223372036854775808, 9223372036854775807]]),
    ("(-)", [[0]]),
    ("(1-2,--1,+)", [[0, 0, 0]]),
    ("(5.,-.5,-2.50)", [[5.0, -0.5, -2.5]]),
    ("(1.2.3,1.5-3,+.)", [[0.0, 0.0, 0.0]]),
    ("(0.1,1.7976931348623157e308,5e-324)", [[0.1, 1.7976931348623157e308, 5e-324]]),
    # Exponents: right after the digits, sign optional, at least one digit.
    ("(1.5e3,1e-7,-2E+20,1E5)", [[1500.0, 1e-07, -2e20, 100000.0]]),
    ("(1e5.5)", [[100000.0, None, 5]]),
    ("(1e,2e+,3ex)", [[1, None, 2, None, 0, 3, None, None]]),
    ("(1-2e5,1.2.3e4)", [[0.0, 0.0]]),
    ("(1e400,-1e400,1e-400,1e99999999999999999999)", [[math.inf, -math.inf, 0.0, math.inf]]),
    ("(" + "9" * 400 + ".5,-" + "9" * 400 + ".)", [[math.inf, -math.inf]]),
    ("(0." + "0" * 400 + "1)", [[0.0]]),
    # Integers beyond 64 bits keep their exact value.
    ("(18446744073709551615,9223372036854775808,-9223372036854775809)",
     [[18446744073709551615, 9223372036854775808, -9223372036854775809]]),
    ("(999999999999999999999999999999,+000000000000000000000000000000001)", [[10**30 - 1, 1]]),
    ("(-00000000000000000000000000000000000000099999999999999999999)", [[-99999999999999999999]]),
], ids=repr)
def test_numbers(line: str, expected: list[list[Any]]) -> None:
    check(line, expected)


@pytest.mark.parametrize("line, expected", [
    (r"('a\nb\rc\td\0e')", "a\nb\rc\td\x00e"),
    (r"('\'\"\\')", "'\"\\"),
    (r"('\Z\b')", "\x1a\x08"),
    (r"('100\% \_x')", r"100\% \_x"),  # LIKE escapes keep their backslash, as in MySQL
    (r"('\q\N')", r"\q\N"),
    ("('it''s')", "it's"),
    ("(''''),('a''''b')", "'"),
    ("('')", ""),
    ("('日本語 🎵 café')", "日本語 🎵 café"),
    ("('abc with no closing quote and no paren", "abc with no closing quote and no paren"),
    ("('ends in a backslash\\", "ends in a backslash\\"),
], ids=repr)
def test_quoted_strings(line: str, expected: str) -> None:
    assert parse_sql_values(line)[0] == [expected]


def test_doubled_quotes_make_one_value() -> None:
    check("('a''''b','')", [["a''b", ""]])


@pytest.mark.parametrize("line, expected", [
    ("(NULL,null,Null,nUlL)", [[None, None, None, None]]),
    ("(NULLX)", [[None, None]]),
    ("(nul)", [[None, None, None]]),
], ids=repr)
def test_null_keyword(line: str, expected: list[list[Any]]) -> None:
    check(line, expected)


@pytest.mark.parametrize("line, expected", [
    ("(_binary 'abc',_utf8mb4'x',_latin1   'y')", [["abc", "x", "y"]]),
    ("(_binary 'it''s\\n')", [["it's\n"]]),
    ("(_binary)", [[None] * 7]),
    ("(_ab,1)", [[None, None, None, 1]]),
    ("(_'x')", [[None, "x"]]),
], ids=repr)
def test_charset_introducers(line: str, expected: list[list[Any]]) -> None:
    check(line, expected)


@pytest.mark.parametrize("line, expected", [
    ("(0x414243,0X61)", [["ABC", "a"]]),
    ("(0x1F,0x414)", [["\x1f", "\x04\x14"]]),  # odd digit count: a leading 0 nibble
    ("(0xFF41,0xC3A9)", [["\ufffdA", "é"]]),  # decoded like quoted strings
    ("(X'4142',x'',x'f')", [["AB", "", "\x0f"]]),
    ("(0x)", [[0, None]]),
    ("(0x4G)", [["\x04", None]]),
    ("(x'41g',x'41)", [[None, "41g", None, "41)"]]),
    ("(b'0101',B'1',b'',0b0101,0B11)", [[5, 1, 0, 5, 3]]),
    ("(b'0102',0b2)", [[None, "0102", 0, None, 2]]),
    ("(0b" + "1" * 64 + ",b'1" + "0" * 100 + "')", [[2**64 - 1, 2**100]]),
    # A sign is not part of a literal: "-0" is a number and the rest as before.
    ("(-0x41,-b'1')", [[0, None, 41, 0, 1]]),
], ids=repr)
def test_hex_and_bit_literals(line: str, expected: list[list[Any]]) -> None:
    check(line, expected)


# ---------------------------------------------------------------------------
# Generated input

SQLISH = st.text(alphabet="()',;\\\"0123456789+-.eExXbBNULnul_ \t\x00\x1aé🎵", max_size=80)


@given(SQLISH)
def test_any_input_parses_to_valid_values(line: str) -> None:
    for row in parse_sql_values(line):
        assert row, "empty rows are dropped"
        for v in row:
            assert v is None or isinstance(v, (int, float, str))
            if isinstance(v, str):
                v.encode("utf-8")  # strict: no lone surrogates


def render(v: Value) -> str:
    """A value as mysqldump writes it."""
    if v is None:
        return "NULL"
    if isinstance(v, str):
        escaped = (v.replace("\\", "\\\\").replace("'", "\\'").replace('"', '\\"').replace("\n", "\\n")
                   .replace("\r", "\\r").replace("\x00", "\\0").replace("\x1a", "\\Z"))
        return f"'{escaped}'"
    return repr(v)


VALUES = st.one_of(
    st.none(),
    st.integers(min_value=-(10**40), max_value=10**40),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(),
)


@given(st.lists(st.lists(VALUES, min_size=1, max_size=6), max_size=5))
def test_rendered_rows_read_back(rows: list[list[Value]]) -> None:
    line = "INSERT INTO `t` VALUES " + ",".join("(" + ",".join(render(v) for v in row) + ")" for row in rows) + ";"
    assert typed(parse_sql_values(line)) == typed(rows)
