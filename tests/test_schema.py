"""The published DDL creates the tables the names and column lists describe
(PostgreSQL: test_stores.py), and the lists are the caller's own."""

import sqlite3

from zemo_etl import schema


def test_library_ddl_creates_the_library_table_with_its_columns():
    with sqlite3.connect(":memory:") as db:
        db.execute(schema.library_ddl())
        columns = [r[1] for r in db.execute(f"PRAGMA table_info({schema.LIBRARY_TABLE})")]
    assert columns == schema.library_columns()


def test_table_names_are_the_listed_tables_or_the_ddl_tables():
    tables = schema.discogs_tables()
    assert len(set(tables)) == len(tables)
    entity = schema.entity_identity_ddl()
    for name in schema.__all__[6:]:
        value = getattr(schema, name)
        if name == "LIBRARY_TABLE":
            assert schema.library_ddl().startswith(f"CREATE TABLE {value} (")
        elif value.startswith("entity."):  # the entity schema of the identity DDL
            assert entity.startswith("CREATE SCHEMA IF NOT EXISTS entity;")
            assert name == "RECONCILIATION_LOG_TABLE" or f"CREATE TABLE {value} (" in entity
        else:
            assert value in tables, name


def test_lists_are_fresh_per_call():
    for fn in (schema.discogs_tables, schema.discogs_release_columns, schema.library_columns,
               schema.entity_identity_columns):
        first = fn()
        first.append("extra")
        assert fn() == first[:-1]
