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
    # Writes bytes (or text) to a dump file and returns its path as str.
    def write(content: bytes | str) -> str:
        path = tmp_path / "dump.sql"
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)
    return write


def test_rows_of_the_table_in_file_order(dump) -> None:
    path = dump("-- a comment\nCREATE TABLE `t` (`id` int, `s` text, `x` double);\n"
                "INSERT INTO `t` VALUES (1,'a',NULL),(2,'b',3.5);\nINSERT INTO `t2` VALUES (9,'other',NULL);\n"
                "INSERT INTO `t` VALUES (3,'c',-1e-7);\n")
    rows = load_table_rows(path, "t")
    assert rows == [(1, "a", None), (2, "b", 3.5), (3, "c", -1e-07)]
    assert all(type(r) is tuple for r in rows)
    assert iter_table_rows(path, "t") == rows
    assert load_table_rows(path, "t2") == [(9, "other", None)]
    assert load_table_rows(path, "t3") == []


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ("insert into `t` VALUES (1);\n", []),  # the prefix is case-sensitive
    ("INSERT INTO `t` values (1);\n", [(1,)]),  # the keyword is not
    ("INSERT INTO `t` (1);\nINSERT INTO `t` VALUES;\n(2);\n", []),
    ("INSERT INTO `t` VALUES (1);", [(1,)]),  # no final LF
    ("INSERT INTO `t` VALUES (1,'a');\r\nINSERT INTO `t` VALUES (2,'b');\r\n", [(1, "a"), (2, "b")]),
    ("INSERT INTO `t` VALUES (1,N'AC/DC',_utf8mb4'x');\n", [(1, "AC/DC", "x")]),
    ("INSERT INTO `tt` VALUES (1);\nINSERT INTO `t`VALUES(2);\n", [(2,)]),
    ("INSERT INTO `t` (`id`, `values`) VALUES (1,'v');\n", [(1, "v")]),
    # The prefix counts only at the start of a line: a title holding another
    # table's INSERT text must not inject rows.
    ("INSERT INTO `library` VALUES (1,'x INSERT INTO `t` VALUES (666,\\'evil\\');');\n"
     "  INSERT INTO `t` VALUES (667);\nINSERT INTO `t` VALUES (1);\n", [(1,)]),
    # Statements over several lines; a damaged tuple stays within its line.
    ("INSERT INTO `t` VALUES\n(1,'unterminated\n(2,'b');\n", [(1, "unterminated"), (2, "b")]),
    # The next INSERT of the table starts a statement of its own.
    ("INSERT INTO `t` VALUES\n(1),\nINSERT INTO `t` VALUES\n(2);\n", [(1,), (2,)]),
    ("INSERT INTO `t` VALUES\n(1),\n\n(2);\n", [(1,)]),  # a blank line ends a statement
    ("INSERT INTO `t` VALUES\r\n(1),\r\n(2);\r\n(3);\r\n", [(1,), (2,)]),
    ("INSERT INTO `t` VALUES\n(1),", [(1,)]),
], ids=repr)
def test_line_selection(dump, text: str, expected: list[tuple[Any, ...]]) -> None:
    assert load_table_rows(dump(text), "t") == expected


def test_statements_over_several_lines(dump) -> None:
    path = dump("LOCK TABLES `t` WRITE;\nINSERT INTO `t` VALUES\n(1,'a'),\n(2,'b;c'),\n  (3,'c');\n"
                "(4,'after the end');\nINSERT INTO `t2` VALUES\n(5,'other table'),\n(6,'x');\n"
                "INSERT INTO `t` VALUES (7,'head with a tuple'),\n(8,'h')\nUNLOCK TABLES;\n"
                "(9,'after a line that ended the statement');\n")
    assert load_table_rows(path, "t") == [(1, "a"), (2, "b;c"), (3, "c"), (7, "head with a tuple"), (8, "h")]
    assert load_table_rows(path, "t2") == [(5, "other table"), (6, "x")]


def test_files_that_cannot_be_read(tmp_path: pathlib.Path) -> None:
    def error(path: str) -> str:
        with pytest.raises(RuntimeError) as err:
            load_table_rows(path, "t")
        return str(err.value)

    missing = str(tmp_path / "no such dir" / "x.sql")
    # A path with a NUL must not stop there and open another file.
    for path in (missing, "a\x00b", "/etc/passwd\x00.sql"):
        assert error(path) == "cannot open " + path
    (tmp_path / "child").mkdir()  # a directory of non-zero size
    assert os.stat(tmp_path).st_size > 0
    assert error(str(tmp_path)) == "cannot mmap " + str(tmp_path)


def test_fifo_does_not_wait_for_a_writer(tmp_path: pathlib.Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    result: list[Any] = []
    worker = threading.Thread(target=lambda: result.append(load_table_rows(str(fifo), "t")), daemon=True)
    worker.start()
    worker.join(timeout=10)
    assert not worker.is_alive() and result == [[]]


def test_arguments_must_be_str() -> None:
    # A path-like or bytes path is refused, not converted.
    for args, name in (((pathlib.Path("x.sql"), "t"), "path"), ((b"x.sql", "t"), "path"), (("x.sql", None), "table_name")):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            iter_table_rows(*args)


# Every prefix of a rich line is read against a guard page in the C++
# tests; here the file's own mapping ends mid-value.
@pytest.mark.parametrize("tail", [b"'abc\\", b"0x4", b"_binary ", b"b'1", b"1e-", b"NUL", b"'\xf0\x9f", b""], ids=repr)
def test_file_ending_at_a_page_boundary_mid_value(dump, tail: bytes) -> None:
    # The mapping ends exactly at the file's end: reading one byte too far
    # would fault.
    head = b"INSERT INTO `t` VALUES (1,"
    filler = b"-- " + b"x" * (mmap.PAGESIZE - len(head) - len(tail) - 4) + b"\n"
    content = filler + head + tail
    assert len(content) == mmap.PAGESIZE
    rows = load_table_rows(dump(content), "t")
    assert len(rows) == 1 and rows[0][0] == 1


@given(st.binary(min_size=1, max_size=64))
def test_bytes_in_strings_decode_like_python(tmp_path_factory, data: bytes) -> None:
    escaped = data.replace(b"\\", b"\\\\").replace(b"'", b"\\'").replace(b"\n", b"\\n")
    path = tmp_path_factory.mktemp("bytes") / "dump.sql"
    path.write_bytes(b"INSERT INTO `t` VALUES ('" + escaped + b"',0x" + data.hex().encode() + b");\n")
    expected = data.decode("utf-8", "replace")
    assert load_table_rows(str(path), "t") == [(expected, expected)]


def test_repeated_and_distinct_short_strings_keep_their_values(dump) -> None:
    # Short strings are shared within a load; thousands of distinct ones
    # must still each come back as themselves.
    values = [f"v{k % 7000}" if k % 3 else "Rock" for k in range(20000)]
    text = "INSERT INTO `t` VALUES " + ",".join(f"({k},'{v}')" for k, v in enumerate(values)) + ";\n"
    assert load_table_rows(dump(text), "t") == list(enumerate(values))
