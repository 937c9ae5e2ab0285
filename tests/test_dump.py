"""zemo_etl.dump: a dump table in chunks (row tuples, COPY text), the column
names of its CREATE TABLE and the column types its values give."""

from __future__ import annotations

import inspect
import math
import pathlib
import re
import sys
from decimal import Decimal
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from shared import grown_mb
from zemo_etl import _ext, dump, pg, stores
from zemo_etl.parser import load_table_rows

# Statement shapes the reader handles, each a piece of a dump; the property
# test below strings random ones together.
PIECES = [
    "INSERT INTO `t` VALUES (1,'a',NULL),(2,'b',3.5),(3,'c;d',-1e-7);\n",
    "INSERT INTO `t2` VALUES (9,'other');\n",
    "INSERT INTO `t` VALUES\n(4,'x'),\n(5,'y\\'s'),\n(6,NULL);\n",
    "INSERT INTO `t` VALUES (7),(8)\n",  # no ';' before the line ends
    "(99,'continuation of nothing');\n",
    "INSERT INTO `t` VALUES (),(10,'after an empty tuple');\n",
    "INSERT INTO `t` VALUES (11,'a'),(12,'b') ;\r\n",
    "INSERT INTO `t` (`id`, `values`) VALUES (13,'v'),(14,'w');\n",
    "INSERT INTO `t` VALUES\n(15,18446744073709551616),\n\n(16,'after a blank line');\n",
    "-- INSERT INTO `t` VALUES (666);\n",
    "INSERT INTO `t` VALUES (17,'no final newline')",
]


def decode_copy_text(data: bytes) -> list[tuple[Any, ...]]:
    # COPY text format as PostgreSQL reads it, every field as str or None; an
    # unknown or unfinished escape fails the lookup.
    unescape = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}
    text = data.decode("utf-8")
    assert text.endswith("\n") and "\r" not in text  # a raw CR would end the line
    return [tuple(None if f == "\\N" else re.sub(r"\\(.?)", lambda m: unescape[m[1]], f) for f in line.split("\t"))
            for line in text[:-1].split("\n")]


def as_copy_fields(row: tuple[Any, ...]) -> tuple[Any, ...]:
    return tuple(None if v is None else pg.to_pg_text_form(v) if isinstance(v, str) else str(v) for v in row)


def ends_unended(pieces: list[str]) -> bool:
    """Whether a statement of `t` ends without a ';': one left open that no
    tuple line continues, or one a blank line breaks."""
    return any(p == PIECES[8] or (p in (PIECES[3], PIECES[10]) and pieces[k + 1:k + 2] != [PIECES[4]])
               for k, p in enumerate(pieces))


@given(st.lists(st.sampled_from(PIECES), max_size=8), st.integers(1, 5))
def test_chunks_are_the_loaded_rows(tmp_path_factory, pieces: list[str], chunk_rows: int) -> None:
    path = tmp_path_factory.mktemp("chunks") / "dump.sql"
    text = "".join(p if p.endswith("\n") else p + "\n" for p in pieces[:-1]) + "".join(pieces[-1:])
    path.write_text(text, encoding="utf-8")
    expected = load_table_rows(str(path), "t")
    reader = dump.TableRowChunks(str(path), "t", chunk_rows=chunk_rows, allow_incomplete=True)
    if not any(p.startswith("INSERT INTO `t` ") for p in pieces):  # no statement of `t`: the table is absent
        with pytest.raises(dump.MissingTableError):
            list(reader)
        assert expected == []  # the parser's own answer stays an empty list
        return
    chunks = list(reader)
    assert [row for chunk in chunks for row in chunk] == expected
    report = reader.report()
    assert report["rows"] == len(expected) and report["size"] == len(text.encode())
    unended = ends_unended(pieces)
    assert report["terminated"] == (report["statements"] > 0 and not unended)
    assert (report["incomplete"] is not None) == (report["statements"] > 0 and unended)
    if unended:
        with pytest.raises(dump.IncompleteDumpError, match="dump.sql: table `t`: an INSERT statement is cut short"):
            list(dump.TableRowChunks(str(path), "t", chunk_rows=chunk_rows))
    # Full chunks until the last, which is never empty; COPY text in as many.
    assert all(len(c) == chunk_rows for c in chunks[:-1])
    assert all(0 < len(c) <= chunk_rows for c in chunks)
    copy = list(dump.TableCopyChunks(str(path), "t", chunk_rows=chunk_rows, allow_incomplete=True))
    assert len(copy) == len(chunks) and all(type(c) is bytes for c in copy)
    assert [r for c in copy for r in decode_copy_text(c)] == [as_copy_fields(r) for r in expected]


# Every byte COPY escapes or drops, in values and chunks long enough to make
# the writer's buffer grow at and around its steps.
@pytest.mark.parametrize("length, rows", [(0, 3), (1, 1), (7, 700), (2045, 2), (2048, 3), (4100, 1), (30_000, 5)])
def test_copy_text_escapes_across_buffer_growth(tmp_path: pathlib.Path, length: int, rows: int) -> None:
    pattern = "a\\\t\n\r\x00\u00e9'"
    value = (pattern * (length // len(pattern) + 1))[:length]
    mysql = {"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r", "\x00": "\\0", "'": "''"}
    literal = "".join(mysql.get(c, c) for c in value)
    path = tmp_path / "dump.sql"
    path.write_text("INSERT INTO `t` VALUES " + ",".join(f"({i},'{literal}',NULL,2.5)" for i in range(rows)) + ";\n",
                    encoding="utf-8")
    expected = [(str(i), value.replace("\x00", ""), None, "2.5") for i in range(rows)]
    for chunk_rows in (1, rows):
        copy = list(dump.TableCopyChunks(str(path), "t", chunk_rows=chunk_rows))
        assert [r for c in copy for r in decode_copy_text(c)] == expected


def test_iteration_and_arguments(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "dump.sql"
    path.write_text("".join(PIECES[:3]), encoding="utf-8")
    chunks = dump.TableRowChunks(str(path), "t")
    assert next(chunks) == load_table_rows(str(path), "t")  # one chunk at the default size
    assert list(chunks) == [] and list(chunks) == []  # exhausted stays exhausted
    # A table the dump lacks is an error naming those it holds, with the one
    # differing only in case suggested, never read in its place.
    for name, message in [("absent", r"dump.sql holds no table `absent` \(tables: t, t2\)$"),
                          ("T2", r"holds no table `T2` \(tables: t, t2\); did you mean `t2`\?$")]:
        for reader in (dump.TableRowChunks, dump.TableCopyChunks):
            with pytest.raises(dump.MissingTableError, match=message):
                list(reader(path, name))
    assert dump.dump_tables(path) == ["t", "t2"]
    if sys.version_info >= (3, 10):  # classes expose their text signature from 3.10 on
        for cls in ("TableRowChunks", "TableCopyChunks"):  # the package's classes take what the native ones do, and
            native, package = (inspect.signature(getattr(m, cls)).parameters.values() for m in (_ext, dump))
            assert [(p.name, p.default) for p in package] == [(p.name, p.default) for p in native] + [
                ("declared_types", True)]
    with pytest.raises(ValueError, match="chunk_rows must be at least 1"):
        dump.TableCopyChunks(str(path), "t", chunk_rows=0)
    # Every failure of the dump is a DumpError, a RuntimeError as the dump reader of `parser` raises it.
    for read in (dump.TableRowChunks, load_table_rows):
        with pytest.raises(dump.DumpError, match="^cannot open /nonexistent/d.sql$"):
            read("/nonexistent/d.sql", "t")
    assert all(issubclass(e, dump.DumpError) for e in (dump.IncompleteDumpError, dump.NotADumpError,
                                                       dump.MissingTableError))
    assert issubclass(dump.DumpError, RuntimeError) and stores.describe_error(dump.DumpError("x")) == (False, "x")
    assert stores.describe_error(RuntimeError("not about the dump")) is None
    # Any os.PathLike names the file.
    assert list(dump.TableCopyChunks(path, "t")) == list(dump.TableCopyChunks(str(path), "t"))
    assert dump.table_columns(path, "t") == dump.table_columns(str(path), "t")


@given(st.floats())
def test_copy_text_floats_read_as_python_writes_them(tmp_path_factory, x: float) -> None:
    # A float is written in the dump as repr() writes it; NaN and infinities
    # cannot be written there.
    if not math.isfinite(x):
        return
    path = tmp_path_factory.mktemp("floats") / "dump.sql"
    literal = repr(x) if "." in repr(x) or "e" in repr(x) else repr(x) + ".0"
    path.write_text(f"INSERT INTO `t` VALUES ({literal});\n", encoding="utf-8")
    (value,), = load_table_rows(str(path), "t")
    (copy,) = list(dump.TableCopyChunks(str(path), "t"))
    assert copy == (str(value) + "\n").encode()
    assert float(copy) == value


CREATE_MYSQLDUMP = """\
/*!40101 SET character_set_client = utf8 */;
CREATE TABLE `t` (
  `id` int(11) NOT NULL AUTO_INCREMENT,
  `price` decimal(10,2) DEFAULT NULL COMMENT 'in euro, with cents (two)',
  `kind` enum('a','b,c') DEFAULT 'a',
  `odd``name` varchar(20) /*!100301 COMPRESSED*/ DEFAULT NULL,
  `values` text,
  PRIMARY KEY (`id`),
  UNIQUE KEY `k` (`price`,`kind`),
  KEY `idx` (`values`(10)),
  CONSTRAINT `fk` FOREIGN KEY (`id`) REFERENCES `other` (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
"""


@pytest.mark.parametrize("text, table, expected", [
    (CREATE_MYSQLDUMP, "t", ["id", "price", "kind", "odd`name", "values"]),
    ("CREATE TABLE `t2` (`a` int);\nCREATE TABLE `t` (`id` int, `s` text, PRIMARY KEY (`id`));\n", "t", ["id", "s"]),
    ("CREATE TABLE IF NOT EXISTS `t` (\n  id INT,\n  note TEXT,\n  KEY (id)\n);\n", "t", ["id", "note"]),
    ("CREATE TABLE `t2` (`a` int);\n", "t", None),
    ("-- CREATE TABLE `t` (`x` int);\nINSERT INTO `t` VALUES (1);\n", "t", None),
    ("CREATE TABLE `t` (\n", "t", []),  # cut off: what there is
], ids=["mysqldump", "one-line", "bare-names", "absent", "commented-out", "truncated"])
def test_create_table_column_names(tmp_path: pathlib.Path, text: str, table: str, expected: Any) -> None:
    path = tmp_path / "dump.sql"
    path.write_text(text, encoding="utf-8")
    assert dump.table_columns(str(path), table) == expected


def test_column_types_from_the_values(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "dump.sql"
    path.write_text(
        "INSERT INTO `t` VALUES (1,1,1.5,'a',NULL,1,'x',9007199254740993),"
        "(2,18446744073709551616,0,NULL,NULL,2.5,3,1.5),(3,NULL,2,'b',NULL,-9007199254740993,'y',NULL,'extra');\n",
        encoding="utf-8")
    assert dump.table_column_types(str(path), "t") == [
        "integer", "numeric", "float", "text", "text", "numeric", "mixed", "numeric", "text"]
    assert dump.table_column_types(str(path), "absent") == []


# A column's declared type, a value as a dump writes it, and what the chunk
# readers give: (row tuple value, COPY field).
DECLARED = [
    ("decimal(5,2)", "12.50", Decimal("12.50"), "12.50"),
    ("DECIMAL(65,30)", "-12345678901234567890123456789012345.123456789012345678901234567890",
     Decimal("-12345678901234567890123456789012345.123456789012345678901234567890"),
     "-12345678901234567890123456789012345.123456789012345678901234567890"),
    ("numeric(10,0)", "+7", Decimal(7), "7"),
    ("decimal(10,2)", "1.5e3", Decimal("1.5E+3"), "1.5e3"),
    ("decimal(10,2)", "'3.25'", "3.25", "3.25"),  # a quoted number stays text
    ("decimal(10,2)", "1-2", 0, "0"),  # no number: as the parser reads it
    ("decimal(10,2)", "0x41", "A", "A"),
    ("blob", "'\\0\xff\\'\\\\\xc3'", b"\x00\xff'\\\xc3", "\\x00ff275cc3"),
    ("varbinary(8)", "0xFF00C3", b"\xff\x00\xc3", "\\xff00c3"),
    ("binary(3)", "X'0a0B'", b"\n\x0b", "\\x0a0b"),
    ("longblob", "0x0", b"\x00", "\\x00"),  # an odd count of digits: a leading zero
    ("tinyblob", "_binary '\xe9'", b"\xe9", "\\xe9"),
    ("bit(10)", "b'1000000001'", b"\x02\x01", "\\x0201"),
    ("bit(64)", "b'1'", b"\x00" * 7 + b"\x01", "\\x0000000000000001"),
    ("bit(1)", "0x01", b"\x01", "\\x01"),
    ("geometry", "''", b"", "\\x"),
    ("point", "NULL", None, None),
    ("varchar(5) NOT NULL DEFAULT 'b,c'", "'\xe9'", "\ufffd", "\ufffd"),  # text: repaired UTF-8
    ("datetime(6)", "'2024-02-29 23:59:59.999999'", "2024-02-29 23:59:59.999999", "2024-02-29 23:59:59.999999"),
]


def test_columns_read_by_their_declared_types(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "dump.sql"
    columns = ",\n".join(f"  `c{k}` {declared}" for k, (declared, _, _, _) in enumerate(DECLARED))
    values = ",".join(written for _, written, _, _ in DECLARED)
    path.write_bytes(f"CREATE TABLE `t` (\n{columns},\n  PRIMARY KEY (`c0`)\n);\n"
                     f"INSERT INTO `t` VALUES ({values}),({values});\n".encode("latin-1"))
    row = tuple(value for _, _, value, _ in DECLARED)
    assert [list(map(type, r)) for r in next(iter(dump.TableRowChunks(path, "t")))] == [list(map(type, row))] * 2
    assert next(iter(dump.TableRowChunks(path, "t"))) == [row, row]
    assert decode_copy_text(b"".join(dump.TableCopyChunks(path, "t"))) == [tuple(f for *_, f in DECLARED)] * 2
    # The specified reader keeps its values, and so do the chunks when asked.
    assert load_table_rows(str(path), "t")[0][:4] == (12.5, float(DECLARED[1][1]), 7, 1500.0)
    assert next(iter(dump.TableRowChunks(path, "t", declared_types=False))) == load_table_rows(str(path), "t")


def test_declared_types_choose_the_new_table_columns(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "dump.sql"
    path.write_text("CREATE TABLE `t` (`a` int, `b` decimal(15,2), `c` decimal(16,2), `d` decimal, `e` bit,\n"
                    "`f` date, `g` datetime, `h` timestamp NULL, `i` time(3), `j` year, `k` enum('x','y'),\n"
                    "`l` multipolygon, PRIMARY KEY (`a`));\n", encoding="utf-8")
    expected = ["text", "decimal", "numeric", "decimal", "bytes", "date", "timestamp", "timestamp", "time", "text",
                "text", "bytes"]
    assert dump.table_column_types(path, "t") == expected  # no rows: from the CREATE TABLE
    with open(path, "a", encoding="utf-8") as f:
        f.write("INSERT INTO `t` VALUES (1,1.5,2.5,3,b'1','2024-01-01',NULL,NULL,'-01:00:00',2024,'x','');\n")
    assert dump.table_column_types(path, "t") == ["integer"] + expected[1:9] + ["integer"] + expected[10:]
    for modes in (["value", "float"], ["bytes:x"], ["bytes2"]):
        with pytest.raises(ValueError, match="unknown column mode"):
            _ext.TableRowChunks(str(path), "t").read_columns(modes)


def test_memory_stays_bounded_by_a_chunk(tmp_path: pathlib.Path) -> None:
    # 80 MB of rows: iterating holds one chunk (and one chunk's pages of the
    # file), while loading the table at once holds all of it.
    path = tmp_path / "big.sql"
    row = "({},'{}','some title text here','BEA',101,2,'Rock','LP',NULL)"
    with open(path, "w", encoding="utf-8") as f:
        for block in range(800):
            f.write("INSERT INTO `library` VALUES " + ",".join(
                row.format(block * 1000 + k, "artist %d" % k * 2) for k in range(1000)) + ";\n")
    size_mb = path.stat().st_size / 2**20
    rows, grown = grown_mb(f"""
        print(sum(len(chunk) for chunk in dump.TableRowChunks({str(path)!r}, "library", chunk_rows=5000)))
    """)
    assert int(rows) == 800_000
    assert grown < size_mb / 4, (grown, size_mb)


WIDE = "9" * 1500


@pytest.mark.parametrize("text, rows, incomplete", [
    # Other verbs of the dump tools, read by the chunk reader only.
    ("INSERT IGNORE INTO `t` VALUES (1,'a');\nREPLACE INTO `t` VALUES (2,'b');\n", [(1, "a"), (2, "b")], None),
    # Integers keep every digit, beyond the parser's thousand too.
    (f"INSERT INTO `t` VALUES (-{WIDE}),(1{'0' * 30});\n", [(Decimal("-" + WIDE),), (10**30,)], None),
    # A tuple cut at the end of the file is left out, the rows before kept.
    ("INSERT INTO `t` VALUES (1,'a'),(2,'b", [(1, "a")], "cut short after row 1 (ending at byte 30)"),
    # Escapes and numbers as COPY text writes them.
    ("INSERT INTO `t` VALUES (20,'tab\\there\\nline\\rcr\\\\back\\0nul\\Z',1e300,1e400,-1e400,-0.0,100.0,1e16,"
     "0.0001,-9223372036854775808,'é🎵\\'');\n", [(20, "tab\there\nline\rcr\\back\0nul\x1a", 1e300, math.inf,
     -math.inf, -0.0, 100.0, 1e16, 0.0001, -2**63, "é🎵'")], None),
    ("-- MySQL dump 10.13\nINSERT INTO `t` VALUES (1);\n-- Dump completed on 2026-01-01\n\n", [(1,)], None),
    ("-- MariaDB dump 10.19\nINSERT INTO `t` VALUES (1);\n", [(1,)], "without the '-- Dump completed' line"),
    ("-- MariaDB dump 10.19\n-- Dump completed\nINSERT INTO `t` VALUES (1);\n", [(1,)], "without the '-- Dump"),
], ids=["verbs", "wide-integers", "cut-tuple", "copy-text", "trailer", "no-trailer", "trailer-not-last"])
def test_chunks_judge_the_whole_dump(tmp_path: pathlib.Path, text: str, rows: list, incomplete: Any) -> None:
    path = tmp_path / "d.sql"
    path.write_text(text, encoding="utf-8")
    reader = dump.TableRowChunks(str(path), "t", allow_incomplete=True)
    assert [r for c in reader for r in c] == rows
    found = reader.report()["incomplete"]
    assert found is None if incomplete is None else incomplete in found
    if incomplete is not None:
        for chunks in (dump.TableRowChunks, dump.TableCopyChunks):
            with pytest.raises(dump.IncompleteDumpError, match=re.escape(incomplete)):
                list(chunks(str(path), "t"))
    copy = [r for c in dump.TableCopyChunks(str(path), "t", allow_incomplete=True) for r in decode_copy_text(c)]
    assert copy == [as_copy_fields(r) for r in rows]


def test_a_file_changing_during_the_scan_is_refused(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "d.sql"
    path.write_text("INSERT INTO `t` VALUES (1),(2);\nINSERT INTO `t` VALUES (3);\n", encoding="utf-8")
    for allow in (False, True):
        reader = dump.TableRowChunks(str(path), "t", chunk_rows=1, allow_incomplete=allow)
        assert next(reader) == [(1,)]
        with open(path, "a", encoding="utf-8") as f:
            f.write("INSERT INTO `t` VALUES (4);\n")
        with pytest.raises(dump.DumpError, match="d.sql: the file changed while table `t` was read"):
            list(reader)
