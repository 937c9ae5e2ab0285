"""load_table_rows / iter_table_rows: one table's rows out of a dump file.
The C++ runner reads every prefix of a rich line against a guard page."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
from typing import Any

import pytest
from hypothesis import given
from hypothesis import strategies as st

from shared import grown_mb
from zemo_etl.parser import iter_table_rows, load_table_rows


@pytest.fixture
def dump(tmp_path: pathlib.Path):
    def write(content: bytes | str) -> str:
        path = tmp_path / "dump.sql"
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)
    return write


def test_rows_of_each_table_in_file_order(dump) -> None:
    path = dump("-- a comment\nCREATE TABLE `t` (`id` int, `s` text, `x` double);\nLOCK TABLES `t` WRITE;\n"
                "INSERT INTO `t` VALUES (1,'a',NULL),(2,'b;c',3.5);\nINSERT INTO `t2` VALUES\n(5,'other'),\n(6,'x');\n"
                "INSERT INTO `t` VALUES\n(3,'c',-1e-7),\n  (4,'d');\n(5,'after the end');\n"
                "INSERT INTO `t` VALUES (7,'head with a tuple'),\n(8,'h')\nUNLOCK TABLES;\n"
                "(9,'after a line that ended the statement');\n")
    rows = load_table_rows(path, "t")
    assert rows == [(1, "a", None), (2, "b;c", 3.5), (3, "c", -1e-07), (4, "d"), (7, "head with a tuple"), (8, "h")]
    assert all(type(r) is tuple for r in rows) and iter_table_rows(path, "t") == rows
    assert (load_table_rows(path, "t2"), load_table_rows(path, "t3")) == ([(5, "other"), (6, "x")], [])


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


def test_files_that_cannot_be_read_and_a_fifo(tmp_path: pathlib.Path) -> None:
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
    # A FIFO reads as empty without waiting for a writer. In a child process:
    # a read that waits holds the interpreter lock, and only a timeout there
    # turns the hang into a failure.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    done = subprocess.run([sys.executable, "-c", "import sys; from zemo_etl import parser; "
                           "print(parser.load_table_rows(sys.argv[1], 't'))", str(fifo)],
                          capture_output=True, text=True, timeout=60)
    assert done.stdout == "[]\n", done.stderr


def test_arguments_must_be_str() -> None:
    # A path-like or bytes path is refused, not converted.
    for args, name in (((pathlib.Path("x.sql"), "t"), "path"), ((b"x.sql", "t"), "path"), (("x.sql", None), "table_name")):
        with pytest.raises(TypeError, match=f"^argument '{name}': "):
            iter_table_rows(*args)


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


# Loading a dump whose table sits on one huge line holds the parsed rows and
# their Python objects, not the line as well (nor copies of its values).
def test_one_line_of_300_mb_peaks_at_rows_plus_objects(tmp_path):
    half = 150 * 2**20
    path = tmp_path / "long.sql"
    with open(path, "w") as f:
        f.write("-- one statement, two rows, on one line\nINSERT INTO `t` VALUES (1,'")
        for ch in "ab":
            f.write(ch * half)
            f.write("'),(2,'" if ch == "a" else "');\n")
    try:
        out, grown = grown_mb("""
            rows = parser.load_table_rows(sys.argv[1], "t")
            print([(r[0], len(r[1]), r[1][:1], r[1][-1:]) for r in rows])
        """, str(path))
    finally:
        path.unlink()
    assert out == str([(1, half, "a", "a"), (2, half, "b", "b")])
    # The rows (300 MB) and their str objects (300 MB); before the fix the
    # line's pages and a copy of each value came on top (about 900 MB).
    assert grown < 2 * 300 + 40, grown
