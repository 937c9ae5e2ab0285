# Round trip through a real server: rows stored in MariaDB, dumped by
# mariadb-dump in several forms, must load exactly as the server returns them
# (read with the `mariadb` client in batch mode). Integers compare exactly,
# also beyond 64 bits; DECIMAL with a scale, FLOAT and DOUBLE as the server's
# text read the way the loader reads an unquoted number; text and binary
# columns through HEX(), binary ones decoded with replacement as the loader
# decodes every string and hex literal; BIT(10) as its two bytes, big-endian
# (dumps write it as a binary string or, with --hex-blob, a hex literal).

from __future__ import annotations

import random
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pytest

from mariadb_fixture import MariaDB, mariadb  # noqa: F401  (the fixture)
from shared import typed
from zemo_etl import dump, parser

Convert = Callable[[str], Any]


def _bytes(h: str) -> str:
    return bytes.fromhex(h).decode("utf-8", "replace")


def _text(h: str) -> str:
    return bytes.fromhex(h).decode("utf-8")


def _printed(number: str) -> Any:
    return int(number) if number.lstrip("-").isdigit() else float(number)


# name, column type, the server expression read back, its conversion
T_COLUMNS: list[tuple[str, str, str, Convert]] = [
    ("id", "INT NOT NULL PRIMARY KEY", "id", int),
    ("i", "INT", "i", int),
    ("big", "BIGINT", "big", int),
    ("ubig", "BIGINT UNSIGNED", "ubig", int),
    ("dec0", "DECIMAL(30,0)", "dec0", int),
    ("dec4", "DECIMAL(12,4)", "dec4", _printed),
    ("f", "FLOAT", "f", _printed),
    ("d", "DOUBLE", "d", _printed),
    ("s", "VARCHAR(200) CHARACTER SET utf8mb4", "HEX(s)", _text),
    ("txt", "TEXT CHARACTER SET utf8mb4", "HEX(txt)", _text),
    ("vb", "VARBINARY(300)", "HEX(vb)", _bytes),
    ("bl", "BLOB", "HEX(bl)", _bytes),
    ("bt", "BIT(10)", "HEX(bt)", lambda h: _bytes(f"{int(h, 16):04x}")),
    ("dt", "DATE", "dt", str),
    ("dtt", "DATETIME", "dtt", str),
]

TEXTS = [
    "it's", 'say "hi"', "back\\slash", "C:\\new\\table", "line1\nline2", "cr\rlf\r\n", "tab\there",
    "nul\x00byte", "ctrl-z\x1a", "café naïve Ærø", "日本語のテキスト", "emoji 🎵🎸", "", "NULL", "null",
    "'); DROP TABLE t; --", "\\%_", "''", "\\'", "a,b),(c", "x'41'", "_binary 'x'", "0x41", "b'01'",
    "1e5", " leading and trailing ", "\x08backspace",
]
BLOBS = [
    bytes(range(256)), b"\xff\xfe", b"\xc3\x28", b"\xed\xa0\x80", b"\xf0\x9f\x8e", b"'\\\"\x00\n\r\x1a",
    b"", "ok".encode(), "é".encode("latin-1"),
]
# i, big, ubig, dec0, dec4, f, d
NUMBERS = [
    (-2147483648, -9223372036854775808, 18446744073709551615, "999999999999999999999999999999",
     "-99999999.9999", "3.40282e38", "1.7976931348623157e308"),
    (2147483647, 9223372036854775807, 9223372036854775808, "-999999999999999999999999999999",
     "12345678.1234", "1.17549e-38", "2.2250738585072014e-308"),
    (0, 0, 0, "0", "0.0000", "0", "0"),
    (-1, -1, 1, "12345678901234567890", "-0.0001", "0.1", "-1e-300"),
    (7, 1, 2, "-1", "1.5", "-1.5e10", "1.5e300"),
]
BITS = [0, 1, 682, 1023]

T2_TEXTS = ["INSERT INTO `t` VALUES (999,1,2,3,4,5,6,7,'injected');",
            "INSERT INTO `t2` VALUES (5);\nINSERT INTO `t` VALUES (998);", "(7,'x'),\n(8,'y');",
            "INSERT INTO `t` VALUES\n(997);"]

DUMP_FORMS = {"default": [], "hex-blob": ["--hex-blob"], "skip-extended-insert": ["--skip-extended-insert"],
              "compact": ["--compact"],
              "complete-insert-short-statements": ["--complete-insert", "--net-buffer-length=4096"]}
# Forms only the chunk reader reads (the parser's functions read INSERT INTO alone).
CHUNK_FORMS = {**DUMP_FORMS, "insert-ignore": ["--insert-ignore"], "replace": ["--replace"]}


def _hex_text(s: str) -> str:
    return f"CONVERT(X'{s.encode().hex()}' USING utf8mb4)"


def _t_rows() -> list[dict[str, str]]:
    # The rows of `t` as SQL literals per column; absent columns are NULL.
    rows: list[dict[str, str]] = []
    for k, text in enumerate(TEXTS):
        i, big, ubig, dec0, dec4, f, d = NUMBERS[k % len(NUMBERS)]
        rows.append({
            "i": str(i), "big": str(big), "ubig": str(ubig), "dec0": dec0, "dec4": dec4, "f": f, "d": d,
            "s": _hex_text(text), "txt": _hex_text(TEXTS[-1 - k] * 3),
            "vb": f"X'{BLOBS[k % len(BLOBS)].hex()}'", "bl": f"X'{BLOBS[-1 - k % len(BLOBS)].hex()}'",
            "bt": str(BITS[k % len(BITS)]), "dt": "'2021-03-04'", "dtt": "'1999-12-31 23:59:59'",
        })
    rows.append({})  # all NULL
    rng = random.Random(20261206)
    alphabet = "ab'\"\\\n\r\t\x00\x1a,() ;é日🎵"
    for _ in range(150):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 60)))
        blob = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 40)))
        rows.append({
            "i": str(rng.randrange(-2**31, 2**31)), "ubig": str(rng.randrange(2**64)),
            "dec0": str(rng.randrange(-10**30 + 1, 10**30)), "d": repr(rng.uniform(-1, 1) * 10.0 ** rng.randrange(-300, 300)),
            "f": repr(rng.uniform(-1e6, 1e6)), "s": _hex_text(text[:200]), "vb": f"X'{blob.hex()}'",
            "bt": str(rng.randrange(1024)),
        })
    return rows


def _create_script() -> str:
    cols = ", ".join(f"`{name}` {sqltype}" for name, sqltype, _, _ in T_COLUMNS)
    lines = ["CREATE DATABASE d CHARACTER SET utf8mb4;", "USE d;", f"CREATE TABLE t ({cols});",
             "CREATE TABLE t2 (id INT NOT NULL PRIMARY KEY, s TEXT CHARACTER SET utf8mb4);",
             "CREATE TABLE `values` (id INT NOT NULL PRIMARY KEY, `values` VARCHAR(20));"]
    names = [name for name, _, _, _ in T_COLUMNS]
    for row_id, row in enumerate(_t_rows(), start=1):
        literals = [str(row_id)] + [row.get(name, "NULL") for name in names[1:]]
        lines.append(f"INSERT INTO t VALUES ({', '.join(literals)});")
    for row_id, text in enumerate(T2_TEXTS, start=1):
        lines.append(f"INSERT INTO t2 VALUES ({row_id}, {_hex_text(text)});")
    lines.append("INSERT INTO `values` VALUES (1, 'VALUES (1)'), (2, NULL);")
    return "\n".join(lines)


# table -> (select list, conversions)
READ_BACK: dict[str, tuple[str, list[Convert]]] = {
    "t": (", ".join(expr for _, _, expr, _ in T_COLUMNS), [conv for _, _, _, conv in T_COLUMNS]),
    "t2": ("id, HEX(s)", [int, _text]),
    "values": ("id, `values`", [int, str]),
}


@pytest.fixture(scope="module")
def dumps(mariadb: MariaDB, tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:  # noqa: F811
    mariadb.sql(_create_script())
    out = tmp_path_factory.mktemp("dumps")
    return {form: mariadb.dump("d", options, out / f"{form}.sql") for form, options in CHUNK_FORMS.items()}


@pytest.fixture(scope="module")
def server_rows(mariadb: MariaDB, dumps: dict[str, Path]) -> dict[str, list[tuple[Any, ...]]]:  # noqa: F811
    result = {}
    for table, (select, converts) in READ_BACK.items():
        raw = mariadb.sql(f"SELECT {select} FROM `{table}` ORDER BY id", database="d")
        result[table] = [tuple(None if v is None else conv(v) for v, conv in zip(row, converts)) for row in raw]
    return result


def _chunk_rows(path: Path, table: str, **options: Any) -> list[tuple[Any, ...]]:
    return [row for chunk in dump.TableRowChunks(str(path), table, 7, **options) for row in chunk]


@pytest.mark.parametrize("form", list(CHUNK_FORMS))
def test_dump_loads_as_the_server_returns_it(
    dumps: dict[str, Path], server_rows: dict[str, list[tuple[Any, ...]]], form: str
) -> None:
    for table, expected in server_rows.items():
        if form in DUMP_FORMS:
            assert typed(parser.load_table_rows(str(dumps[form]), table)) == typed(expected), table
        assert typed(_chunk_rows(dumps[form], table)) == typed(expected), table


def test_dumps_use_the_forms_under_test(dumps: dict[str, Path]) -> None:
    # Guards the round trip against a dump tool that stops writing the
    # statement shapes the loader must handle.
    lines = {form: path.read_bytes().split(b"\n") for form, path in dumps.items()}
    assert b"INSERT INTO `t` VALUES" in lines["default"]  # the head on a line of its own
    assert any(line.startswith(b"(1,") for line in lines["default"])
    assert b",0x" in dumps["hex-blob"].read_bytes()
    assert sum(line.startswith(b"INSERT INTO `t` VALUES (") for line in lines["skip-extended-insert"]) == len(_t_rows())
    assert sum(line.startswith(b"INSERT INTO `t` (") for line in lines["complete-insert-short-statements"]) > 1
    assert b"INSERT IGNORE INTO `t` VALUES" in lines["insert-ignore"] and b"REPLACE INTO `t` VALUES" in lines["replace"]


@pytest.mark.parametrize("form", list(CHUNK_FORMS))
def test_chunks_refuse_every_form_cut(
    dumps: dict[str, Path], server_rows: dict[str, list[tuple[Any, ...]]], form: str, tmp_path: Path
) -> None:
    path = dumps[form]
    data = path.read_bytes()
    n = len(server_rows["t"]) // 2
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
        expected = server_rows["t"] if name == "before-trailer" else server_rows["t"][:n]
        assert typed(_chunk_rows(cut, "t", allow_incomplete=True)) == typed(expected), name
