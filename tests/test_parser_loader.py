"""load_table_rows / iter_table_rows: one table's rows out of a dump file."""

from __future__ import annotations

import mmap
import os
import pathlib
import threading
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zemo_etl.parser import iter_table_rows, load_table_rows


@pytest.fixture
def dump(tmp_path: pathlib.Path):
    """Writes bytes (or text) to a dump file and returns its path as str."""
    def write(content: bytes | str, name: str = "dump.sql") -> str:
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)
    return write


def load(path: str, table: str = "t") -> list[tuple[Any, ...]]:
    rows = load_table_rows(path, table)
    assert iter_table_rows(path, table) == rows
    return rows


ONE_LINE_DUMP = """\
-- a comment
CREATE TABLE `t` (`id` int, `s` text, `x` double);
INSERT INTO `t` VALUES (1,'a',NULL),(2,'b',3.5);
INSERT INTO `t2` VALUES (9,'other',NULL);
INSERT INTO `t` VALUES (3,'c',-1e-7);
"""


def test_rows_of_the_table_in_file_order(dump) -> None:
    path = dump(ONE_LINE_DUMP)
    assert load(path) == [(1, "a", None), (2, "b", 3.5), (3, "c", -1e-07)]
    assert load(path, "t2") == [(9, "other", None)]
    assert load(path, "t3") == []
    assert all(type(r) is tuple for r in load(path))


@pytest.mark.parametrize("text, expected", [
    ("insert into `t` VALUES (1);\n", []),  # the prefix is case-sensitive
    ("INSERT INTO `t` values (1);\n", [(1,)]),  # the keyword is not
    ("INSERT INTO `t` (1);\nINSERT INTO `t` VALUES;\n(2);\n", []),
    ("INSERT INTO `t` VALUES (1);", [(1,)]),  # no final LF
    ("INSERT INTO `t` VALUES (1,'a');\r\nINSERT INTO `t` VALUES (2,'b');\r\n", [(1, "a"), (2, "b")]),
    ("INSERT INTO `tt` VALUES (1);\nINSERT INTO `t`VALUES(2);\n", [(2,)]),
    ("INSERT INTO `t` (`id`, `values`) VALUES (1,'v');\n", [(1, "v")]),
], ids=repr)
def test_line_selection(dump, text: str, expected: list[tuple[Any, ...]]) -> None:
    assert load(dump(text)) == expected


def test_prefix_counts_only_at_the_start_of_a_line(dump) -> None:
    # A title holding another table's INSERT text must not inject rows.
    text = (
        "INSERT INTO `library` VALUES (1,'x INSERT INTO `t` VALUES (666,\\'evil\\');');\n"
        "  INSERT INTO `t` VALUES (667);\n"
        "INSERT INTO `t` VALUES (1);\n"
    )
    assert load(dump(text)) == [(1,)]


MULTI_LINE_DUMP = """\
LOCK TABLES `t` WRITE;
INSERT INTO `t` VALUES
(1,'a'),
(2,'b;c'),
  (3,'c');
(4,'after the end');
INSERT INTO `t2` VALUES
(5,'other table'),
(6,'x');
INSERT INTO `t` VALUES (7,'head with a tuple'),
(8,'h')
UNLOCK TABLES;
(9,'after a line that ended the statement');
"""


def test_statements_over_several_lines(dump) -> None:
    path = dump(MULTI_LINE_DUMP)
    assert load(path) == [(1, "a"), (2, "b;c"), (3, "c"), (7, "head with a tuple"), (8, "h")]
    assert load(path, "t2") == [(5, "other table"), (6, "x")]


@pytest.mark.parametrize("text, expected", [
    # A damaged tuple stays within its line.
    ("INSERT INTO `t` VALUES\n(1,'unterminated\n(2,'b');\n", [(1, "unterminated"), (2, "b")]),
    # The next INSERT of the table starts a statement of its own.
    ("INSERT INTO `t` VALUES\n(1),\nINSERT INTO `t` VALUES\n(2);\n", [(1,), (2,)]),
    # A blank line ends a statement.
    ("INSERT INTO `t` VALUES\n(1),\n\n(2);\n", [(1,)]),
    ("INSERT INTO `t` VALUES\r\n(1),\r\n(2);\r\n(3);\r\n", [(1,), (2,)]),
    ("INSERT INTO `t` VALUES\n(1),", [(1,)]),
], ids=repr)
def test_statement_ends(dump, text: str, expected: list[tuple[Any, ...]]) -> None:
    assert load(dump(text)) == expected


def test_empty_file_and_missing_file(dump, tmp_path: pathlib.Path) -> None:
    assert load(dump(b"")) == []
    missing = str(tmp_path / "no such dir" / "x.sql")
    with pytest.raises(RuntimeError) as err:
        load_table_rows(missing, "t")
    assert str(err.value) == "cannot open " + missing


@pytest.mark.parametrize("path", ["a\x00b", "/etc/passwd\x00.sql"], ids=repr)
def test_path_with_nul_is_refused(path: str) -> None:
    # The C path would stop at the NUL and open another file.
    with pytest.raises(RuntimeError) as err:
        load_table_rows(path, "t")
    assert str(err.value) == "cannot open " + path


def test_unmappable_file(tmp_path: pathlib.Path) -> None:
    (tmp_path / "child").mkdir()  # a directory of non-zero size
    assert os.stat(tmp_path).st_size > 0
    with pytest.raises(RuntimeError) as err:
        load_table_rows(str(tmp_path), "t")
    assert str(err.value) == "cannot mmap " + str(tmp_path)


def test_fifo_does_not_wait_for_a_writer(tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    result: list[Any] = []
    worker = threading.Thread(target=lambda: result.append(load_table_rows(str(fifo), "t")), daemon=True)
    worker.start()
    worker.join(timeout=10)
    assert not worker.is_alive()
    assert result == [[]]


@pytest.mark.parametrize("args", [
    (pathlib.Path("x.sql"), "t"),
    (b"x.sql", "t"),
    ("x.sql", None),
], ids=repr)
def test_arguments_must_be_str(args: tuple[Any, Any]) -> None:
    name = "path" if not isinstance(args[0], str) else "table_name"
    for fn in (load_table_rows, iter_table_rows):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            fn(*args)


@pytest.mark.parametrize("tail", [
    b"'abc", b"'abc\\", b"0x", b"0x4", b"_binary", b"_binary ", b"x'41", b"b'1", b"1e", b"1e-", b"NUL",
    b"'\xf0\x9f", b"'\xc3", b"(", b"",
], ids=repr)
def test_file_ending_at_a_page_boundary_mid_value(dump, tail: bytes) -> None:
    # The mapping ends exactly at the file's end: reading one byte too far
    # would fault.
    head = b"INSERT INTO `t` VALUES (1,"
    filler = b"-- " + b"x" * (mmap.PAGESIZE - len(head) - len(tail) - 4) + b"\n"
    content = filler + head + tail
    assert len(content) == mmap.PAGESIZE
    rows = load(dump(content))
    assert len(rows) == 1 and rows[0][0] == 1


@given(st.binary(min_size=1, max_size=64))
def test_bytes_in_strings_decode_like_python(tmp_path_factory, data: bytes) -> None:
    escaped = data.replace(b"\\", b"\\\\").replace(b"'", b"\\'").replace(b"\n", b"\\n")
    path = tmp_path_factory.mktemp("bytes") / "dump.sql"
    path.write_bytes(b"INSERT INTO `t` VALUES ('" + escaped + b"',0x" + data.hex().encode() + b");\n")
    expected = data.decode("utf-8", "replace")
    assert load(str(path)) == [(expected, expected)]


def test_repeated_and_distinct_short_strings_keep_their_values(dump) -> None:
    # Short strings are shared within a load; thousands of distinct ones
    # must still each come back as themselves.
    values = [f"v{k % 7000}" if k % 3 else "Rock" for k in range(20000)]
    text = "INSERT INTO `t` VALUES " + ",".join(f"({k},'{v}')" for k, v in enumerate(values)) + ";\n"
    assert load(dump(text)) == list(enumerate(values))
