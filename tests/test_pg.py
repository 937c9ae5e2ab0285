"""The PostgreSQL text form: U+0000 removed, None passed through."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zemo_etl import pg


@pytest.mark.parametrize(
    "s, expected",
    [
        (None, None),
        ("", ""),
        ("a\x00b\x00", "ab"),
        ("\x00", ""),
        ("\x00\x00x\x00", "x"),
        ("e\u0301\x01\t\n", "e\u0301\x01\t\n"),  # other controls and the normal form untouched
        ("\U0001f3b5\x00\u65e5", "\U0001f3b5\u65e5"),
    ],
)
def test_to_pg_text_form(s, expected):
    assert pg.to_pg_text_form(s) == expected


def test_batch_keeps_none_positions():
    assert pg.batch_to_pg_text_form(["a", None, ""]) == ["a", None, ""]
    assert pg.batch_to_pg_text_form(("\x00", None)) == ["", None]
    assert pg.batch_to_pg_text_form([]) == []


@given(st.lists(st.one_of(st.none(), st.text(alphabet=st.sampled_from("a\x00\u00e9\U0001f600 ")))))
def test_batch_equals_single_and_strips_only_nul(items):
    out = pg.batch_to_pg_text_form(items)
    assert out == [pg.to_pg_text_form(s) for s in items]
    assert out == [None if s is None else s.replace("\x00", "") for s in items]
