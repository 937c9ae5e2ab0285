"""The PostgreSQL text form: U+0000 removed, None passed through."""

from hypothesis import given
from hypothesis import strategies as st

from zemo_etl import pg


# Other controls, marks and the normal form are left alone.
@given(st.lists(st.one_of(st.none(), st.text(alphabet=st.sampled_from("a\x00\x01\t\n\u0301\u00e9\U0001f600 ")))))
def test_strips_only_nul_and_keeps_none(items):
    out = pg.batch_to_pg_text_form(items)
    assert out == [None if s is None else s.replace("\x00", "") for s in items]
    assert out == [pg.to_pg_text_form(s) for s in items]
    assert pg.batch_to_pg_text_form(tuple(items)) == out
