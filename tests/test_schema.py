import pytest

from zemo_etl import schema


def test_ddl_texts():
    library = schema.library_ddl()
    assert len(library) == 237
    assert library.startswith("CREATE TABLE library (\n    id INTEGER PRIMARY KEY,\n")
    assert library.endswith("\n)")
    identity = schema.entity_identity_ddl()
    assert len(identity) == 468
    assert identity.count("\n\n") == 1
    assert identity.startswith("CREATE SCHEMA IF NOT EXISTS entity;\n\nCREATE TABLE entity.identity (\n")
    assert "    reconciliation_status TEXT NOT NULL DEFAULT 'unreconciled',\n" in identity


def test_columns_follow_the_ddl():
    for ddl, columns in ((schema.library_ddl(), schema.library_columns()),
                         (schema.entity_identity_ddl(), schema.entity_identity_columns())):
        body = ddl[ddl.rindex("(\n") + 2 : -2]
        assert [line.split()[0] for line in body.split(",\n")] == columns


def test_name_lists():
    tables = schema.discogs_tables()
    assert len(tables) == 13 and tables[0] == "release" and tables[-1] == "cache_metadata"
    release = schema.discogs_release_columns()
    assert release == ["id", "title", "release_year", "country", "artwork_url", "released", "format", "master_id"]


def test_lists_are_fresh_per_call():
    first = schema.library_columns()
    first.append("extra")
    assert schema.library_columns() == first[:-1]
    assert schema.library_columns() is not schema.library_columns()


def test_constants():
    assert schema.LIBRARY_TABLE == "library"
    assert schema.ENTITY_IDENTITY_TABLE == "entity.identity"
    assert schema.RECONCILIATION_LOG_TABLE == "entity.reconciliation_log"
    constants = schema.__all__[6:]
    assert len(constants) == 13
    tables = set(schema.discogs_tables())
    for name in constants:
        value = getattr(schema, name)
        assert type(value) is str
        assert ("." in value) == (name in ("ENTITY_IDENTITY_TABLE", "RECONCILIATION_LOG_TABLE"))
        assert value in tables or name in ("LIBRARY_TABLE", "ENTITY_IDENTITY_TABLE", "RECONCILIATION_LOG_TABLE")


@pytest.mark.parametrize("fn", [schema.library_ddl, schema.discogs_tables, schema.entity_identity_columns])
def test_functions_take_no_arguments(fn):
    with pytest.raises(TypeError):
        fn(1)
    with pytest.raises(TypeError):
        fn(x=1)
    assert fn.__text_signature__ == "()"
