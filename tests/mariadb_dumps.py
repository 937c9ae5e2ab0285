# The MariaDB round-trip data: a database holding every column type a dump
# writes, dumped in several forms, and the values the server itself returns,
# converted the way the parser's functions and the chunk readers give them.
# Shared by the parser's and the stores' round-trip tests.

from __future__ import annotations

import random
from collections.abc import Callable
from decimal import Decimal
from pathlib import Path
from typing import Any

import pytest

from mariadb_fixture import MariaDB, mariadb  # noqa: F401  (the fixture)

Convert = Callable[[str], Any]


def _bytes(h: str) -> str:
    return bytes.fromhex(h).decode("utf-8", "replace")


def _text(h: str) -> str:
    return bytes.fromhex(h).decode("utf-8")


def _printed(number: str) -> Any:
    return int(number) if number.lstrip("-").isdigit() else float(number)


def _bits(h: str) -> bytes:
    return int(h, 16).to_bytes(2, "big")


# name, column type, the server expression read back, its conversion as the
# parser reads the column, and as the chunk readers do (None: the same)
T_COLUMNS: list[tuple[str, str, str, Convert, Convert | None]] = [
    ("id", "INT NOT NULL PRIMARY KEY", "id", int, None),
    ("i", "INT", "i", int, None),
    ("big", "BIGINT", "big", int, None),
    ("ubig", "BIGINT UNSIGNED", "ubig", int, None),
    ("dec0", "DECIMAL(30,0)", "dec0", int, Decimal),
    ("dec4", "DECIMAL(12,4)", "dec4", _printed, Decimal),
    ("f", "FLOAT", "f", _printed, None),
    ("d", "DOUBLE", "d", _printed, None),
    ("s", "VARCHAR(200) CHARACTER SET utf8mb4", "HEX(s)", _text, None),
    ("txt", "TEXT CHARACTER SET utf8mb4", "HEX(txt)", _text, None),
    ("vb", "VARBINARY(300)", "HEX(vb)", _bytes, bytes.fromhex),
    ("bl", "BLOB", "HEX(bl)", _bytes, bytes.fromhex),
    ("bin", "BINARY(6)", "HEX(bin)", _bytes, bytes.fromhex),
    ("bt", "BIT(10)", "HEX(bt)", lambda h: _bits(h).decode("utf-8", "replace"), _bits),
    ("dt", "DATE", "dt", str, None),
    ("dtt", "DATETIME", "dtt", str, None),
    ("dtt6", "DATETIME(6)", "dtt6", str, None),
    ("ts", "TIMESTAMP NULL", "ts", str, None),  # read back in UTC, as dumps write it
    ("tm", "TIME", "tm", str, None),
    ("yr", "YEAR", "yr", int, None),
    ("en", "ENUM('a','b c','dé')", "HEX(en)", _text, None),
    ("st", "SET('x','y','z')", "HEX(st)", _text, None),
    ("js", "JSON", "HEX(js)", _text, None),
    ("geo", "GEOMETRY", "HEX(geo)", _bytes, bytes.fromhex),
]
TEMPORAL = [
    ("'2021-03-04'", "'1999-12-31 23:59:59'", "'2024-02-29 23:59:59.999999'", "'2038-01-19 03:14:07'", "'-838:59:59'",
     "2155"),
    ("'1000-01-01'", "'1000-01-01 00:00:00'", "'9999-12-31 00:00:00.000001'", "'1970-01-01 00:00:01'", "'838:59:59'",
     "1901"),
    ("'9999-12-31'", "'2000-02-29 12:00:00'", "'2000-01-01 00:00:00'", "'2000-06-15 12:30:45'", "'00:00:00'",
     "2000"),
]
OTHERS = [("'a'", "'x,z'", "'{\"a\": [1, \"é\\\\n\"]}'", "ST_GeomFromText('POINT(1 2)')"),
          ("'dé'", "''", "'[]'", "ST_GeomFromText('POLYGON((0 0,1 0,1 1,0 0))')"),
          ("'b c'", "'x,y,z'", "'\"it''s\"'", "ST_GeomFromText('LINESTRING(-1.5 2e300,3 4)')")]

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


def t_rows() -> list[dict[str, str]]:
    # The rows of `t` as SQL literals per column; absent columns are NULL.
    rows: list[dict[str, str]] = []
    for k, text in enumerate(TEXTS):
        i, big, ubig, dec0, dec4, f, d = NUMBERS[k % len(NUMBERS)]
        rows.append({
            "i": str(i), "big": str(big), "ubig": str(ubig), "dec0": dec0, "dec4": dec4, "f": f, "d": d,
            "s": _hex_text(text), "txt": _hex_text(TEXTS[-1 - k] * 3),
            "vb": f"X'{BLOBS[k % len(BLOBS)].hex()}'", "bl": f"X'{BLOBS[-1 - k % len(BLOBS)].hex()}'",
            "bt": str(BITS[k % len(BITS)]), "bin": f"X'{BLOBS[k % len(BLOBS)][:6].hex()}'",
            **dict(zip(["dt", "dtt", "dtt6", "ts", "tm", "yr"], TEMPORAL[k % len(TEMPORAL)])),
            **dict(zip(["en", "st", "js", "geo"], OTHERS[k % len(OTHERS)])),
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
            "bt": str(rng.randrange(1024)), "bin": f"X'{blob[:6].hex()}'",
        })
    return rows


def _create_script() -> str:
    cols = ", ".join(f"`{name}` {sqltype}" for name, sqltype, _, _, _ in T_COLUMNS)
    lines = ["CREATE DATABASE d CHARACTER SET utf8mb4;", "USE d;", f"CREATE TABLE t ({cols});",
             "CREATE TABLE t2 (id INT NOT NULL PRIMARY KEY, s TEXT CHARACTER SET utf8mb4);",
             "CREATE TABLE `values` (id INT NOT NULL PRIMARY KEY, `values` VARCHAR(20));"]
    names = [name for name, _, _, _, _ in T_COLUMNS]
    for row_id, row in enumerate(t_rows(), start=1):
        literals = [str(row_id)] + [row.get(name, "NULL") for name in names[1:]]
        lines.append(f"INSERT INTO t VALUES ({', '.join(literals)});")
    for row_id, text in enumerate(T2_TEXTS, start=1):
        lines.append(f"INSERT INTO t2 VALUES ({row_id}, {_hex_text(text)});")
    lines.append("INSERT INTO `values` VALUES (1, 'VALUES (1)'), (2, NULL);")
    return "\n".join(lines)


# table -> (select list, conversions as the parser reads the columns, as the chunk readers do)
READ_BACK: dict[str, tuple[str, list[Convert], list[Convert]]] = {
    "t": (", ".join(expr for _, _, expr, _, _ in T_COLUMNS), [conv for _, _, _, conv, _ in T_COLUMNS],
          [declared or conv for _, _, _, conv, declared in T_COLUMNS]),
    "t2": ("id, HEX(s)", [int, _text], [int, _text]),
    "values": ("id, `values`", [int, str], [int, str]),
}


@pytest.fixture(scope="module")
def dumps(mariadb: MariaDB, tmp_path_factory: pytest.TempPathFactory) -> dict[str, Path]:  # noqa: F811
    mariadb.sql(_create_script())
    out = tmp_path_factory.mktemp("dumps")
    return {form: mariadb.dump("d", options, out / f"{form}.sql") for form, options in CHUNK_FORMS.items()}


@pytest.fixture(scope="module")
def server_values(mariadb: MariaDB, dumps: dict[str, Path]) -> dict[str, list[list[Any]]]:  # noqa: F811
    # The server's text of each value, NULL as None.
    return {table: mariadb.sql(f"SET time_zone = '+00:00'; SELECT {select} FROM `{table}` ORDER BY id", database="d")
            for table, (select, _, _) in READ_BACK.items()}


def _converted(values: dict[str, list[list[Any]]], which: int) -> dict[str, list[tuple[Any, ...]]]:
    return {table: [tuple(None if v is None else conv(v) for v, conv in zip(row, READ_BACK[table][which]))
                    for row in rows] for table, rows in values.items()}


@pytest.fixture(scope="module")
def server_rows(server_values: dict[str, list[list[Any]]]) -> dict[str, list[tuple[Any, ...]]]:
    # The rows as the parser's functions give them.
    return _converted(server_values, 1)


@pytest.fixture(scope="module")
def declared_rows(server_values: dict[str, list[list[Any]]]) -> dict[str, list[tuple[Any, ...]]]:
    # The rows as the chunk readers give them.
    return _converted(server_values, 2)
