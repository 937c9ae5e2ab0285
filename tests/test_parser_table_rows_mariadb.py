# Round trip through a real server: rows stored in MariaDB, dumped by
# mariadb-dump in several forms, must load exactly as the server returns them
# (read with the `mariadb` client in batch mode). Integers compare exactly,
# also beyond 64 bits; DECIMAL with a scale, FLOAT and DOUBLE as the server's
# text read the way the loader reads an unquoted number; text and binary
# columns through HEX(), binary ones decoded with replacement as the loader
# decodes every string and hex literal; BIT(10) as its two bytes, big-endian
# (dumps write it as a binary string or, with --hex-blob, a hex literal).
# The chunk readers read columns by their declared types: DECIMAL as the
# Decimal of the server's text, binary, BIT and geometry columns as bytes.

from __future__ import annotations

from pathlib import Path
from typing import Any

import pytest

from mariadb_dumps import (CHUNK_FORMS, DUMP_FORMS, declared_rows, dumps, server_rows,  # noqa: F401  (fixtures)
                           server_values, t_rows)
from mariadb_fixture import mariadb  # noqa: F401  (the fixture)
from shared import typed
from zemo_etl import dump, parser


def _chunk_rows(path: Path, table: str, **options: Any) -> list[tuple[Any, ...]]:
    return [row for chunk in dump.TableRowChunks(str(path), table, 7, **options) for row in chunk]


@pytest.mark.parametrize("form", list(CHUNK_FORMS))
def test_dump_loads_as_the_server_returns_it(dumps: dict[str, Path], server_rows: dict[str, list[tuple[Any, ...]]],
                                             declared_rows: dict[str, list[tuple[Any, ...]]], form: str) -> None:
    for table, expected in server_rows.items():
        if form in DUMP_FORMS:
            assert typed(parser.load_table_rows(str(dumps[form]), table)) == typed(expected), table
        assert typed(_chunk_rows(dumps[form], table)) == typed(declared_rows[table]), table


def test_dumps_use_the_forms_under_test(dumps: dict[str, Path]) -> None:
    # Guards the round trip against a dump tool that stops writing the
    # statement shapes the loader must handle.
    lines = {form: path.read_bytes().split(b"\n") for form, path in dumps.items()}
    assert b"INSERT INTO `t` VALUES" in lines["default"]  # the head on a line of its own
    assert any(line.startswith(b"(1,") for line in lines["default"])
    assert b",0x" in dumps["hex-blob"].read_bytes()
    assert sum(line.startswith(b"INSERT INTO `t` VALUES (") for line in lines["skip-extended-insert"]) == len(t_rows())
    assert sum(line.startswith(b"INSERT INTO `t` (") for line in lines["complete-insert-short-statements"]) > 1
    assert b"INSERT IGNORE INTO `t` VALUES" in lines["insert-ignore"] and b"REPLACE INTO `t` VALUES" in lines["replace"]


@pytest.mark.parametrize("form", list(CHUNK_FORMS))
def test_chunks_refuse_every_form_cut(
    dumps: dict[str, Path], declared_rows: dict[str, list[tuple[Any, ...]]], form: str, tmp_path: Path
) -> None:
    path = dumps[form]
    data = path.read_bytes()
    n = len(declared_rows["t"]) // 2
    reader = dump.TableRowChunks(str(path), "t", 1)
    for _ in range(n):
        next(reader)
    row_end = reader.report()["last_row_end"]  # just after row n's ')'
    cuts = {"tuple-boundary": row_end, "in-string": data.index(b"'", row_end) + 1,
            "in-number": data.index(b"(", row_end) + 2}
    if b"-- Dump completed" in data:  # not written with --compact, which leaves a cut there unseen
        cuts["before-trailer"] = data.rindex(b"-- Dump completed")
    for name, at in cuts.items():
        cut = tmp_path / f"{name}.sql"
        cut.write_bytes(data[:at])
        with pytest.raises(dump.IncompleteDumpError, match=f"{cut}: table `t`: "):
            _chunk_rows(cut, "t")
        expected = declared_rows["t"] if name == "before-trailer" else declared_rows["t"][:n]
        assert typed(_chunk_rows(cut, "t", allow_incomplete=True)) == typed(expected), name
