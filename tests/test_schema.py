"""The published lists are the caller's own (the names are pinned by
test_module.py, the DDL runs in test_stores.py)."""

from zemo_etl import schema


def test_lists_are_fresh_per_call():
    for fn in (schema.discogs_tables, schema.discogs_release_columns, schema.library_columns,
               schema.entity_identity_columns):
        first = fn()
        first.append("extra")
        assert fn() == first[:-1]
