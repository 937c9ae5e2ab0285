"""zemo_etl.dump on dumps that arrive as a stream (compressed with gzip,
bzip2, xz or zstd, or on standard input), read in pieces by the chunk reader:
the same rows, columns, types and judgements as the plain file."""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
import pathlib
import signal
import subprocess
import sys
import zlib
from typing import Any, Callable

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from shared import grown_mb, zstd_compress
from test_dump import PIECES
from zemo_etl import dump

COMPRESS: dict[str, Callable[[bytes], bytes]] = {
    "gzip": gzip.compress, "bzip2": bz2.compress, "xz": lzma.compress, "zstd": zstd_compress}

DUMP = (
    "-- MariaDB dump 10.19\n"
    "CREATE TABLE `other` (`x` int);\n"
    "INSERT INTO `other` VALUES (1),(2);\n"
    "CREATE TABLE `t` (\n  `id` int NOT NULL,\n  `price` decimal(5,2),\n  `pic` blob,\n  `name` text\n);\n"
    "INSERT INTO `t` VALUES (1,9.99,'\\0\\n\\'x',';),(\\''),(2,NULL,0xFF00,'two\\nlines');\n"
    "INSERT INTO `t` VALUES\n(3,0.10,NULL,'é🎵'),\n(4,-1.00,'','(5,''x'')');\n"
    "-- Dump completed on 2026-01-01\n"
)


def packed(folder: pathlib.Path, kind: str, text: str = DUMP) -> pathlib.Path:
    path = folder / f"dump-{kind}"  # no suffix: known by the first bytes
    path.write_bytes(COMPRESS[kind](text.encode()))
    return path


def read_all(path: Any, table: str = "t", **options: Any) -> tuple[list[Any], list[bytes], dict[str, Any]]:
    rows = dump.TableRowChunks(path, table, chunk_rows=2, **options)
    found = [r for chunk in rows for r in chunk]
    copy = list(dump.TableCopyChunks(path, table, chunk_rows=2, **options))
    return found, copy, rows.report()


@pytest.mark.parametrize("piece", [1, 5, 64, None])
@pytest.mark.parametrize("kind", sorted(COMPRESS))
def test_a_compressed_dump_reads_as_the_plain_one(tmp_path, monkeypatch, kind, piece):
    # Pieces of one byte cut every statement, string and escape.
    if piece is not None:
        monkeypatch.setenv("ZEMO_ETL_DUMP_PIECE_BYTES", str(piece))
    plain = tmp_path / "d.sql"
    plain.write_text(DUMP, encoding="utf-8")
    path = packed(tmp_path, kind)
    assert read_all(path) == read_all(plain)
    assert read_all(path)[0][1] == (2, None, b"\xff\x00", "two\nlines")
    for read in (dump.table_columns, dump.table_column_types, dump.declared_types):
        assert read(path, "t") == read(plain, "t"), read
    assert dump.dump_tables(path) == ["other", "t"]
    with pytest.raises(dump.MissingTableError, match=f"dump-{kind} holds no table `T` .*did you mean `t`"):
        list(dump.TableRowChunks(path, "T"))


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from(PIECES), max_size=8), st.integers(1, 40), st.integers(1, 5))
def test_piece_boundaries_change_nothing(tmp_path_factory, pieces: list[str], piece: int, chunk_rows: int) -> None:
    folder = tmp_path_factory.mktemp("pieces")
    text = "CREATE TABLE `t` (`a` int);\n" + "".join(pieces)  # a table with no rows is not missing
    plain = folder / "d.sql"
    plain.write_text(text, encoding="utf-8")
    os.environ["ZEMO_ETL_DUMP_PIECE_BYTES"] = str(piece)
    try:
        streamed = dump.TableRowChunks(packed(folder, "gzip", text), "t", chunk_rows, allow_incomplete=True)
        rows = [r for chunk in streamed for r in chunk]
    finally:
        del os.environ["ZEMO_ETL_DUMP_PIECE_BYTES"]
    mapped = dump.TableRowChunks(plain, "t", chunk_rows, allow_incomplete=True)
    assert rows == [r for chunk in mapped for r in chunk]
    found = streamed.report()
    found["incomplete"] = found["incomplete"] and found["incomplete"].replace("dump-gzip", "d.sql")
    assert found == mapped.report()


def gzip_members(text: str, cut: int) -> bytes:
    return gzip.compress(text[:cut].encode()) + gzip.compress(text[cut:].encode())


@pytest.mark.parametrize("kind", sorted(COMPRESS))
def test_members_one_after_another_are_one_dump(tmp_path, kind):
    # Two members (gzip) or frames or streams, split inside a statement.
    path = tmp_path / "two"
    cut = DUMP.index("(2,NULL") + 3
    path.write_bytes(COMPRESS[kind](DUMP[:cut].encode()) + COMPRESS[kind](DUMP[cut:].encode()))
    plain = tmp_path / "d.sql"
    plain.write_text(DUMP, encoding="utf-8")
    assert read_all(path) == read_all(plain)


@pytest.mark.parametrize("kind", sorted(COMPRESS))
def test_a_cut_compressed_dump_is_incomplete(tmp_path, kind):
    # The last bytes of the compressed data missing: the rows before the cut
    # with --allow-incomplete, else IncompleteDumpError; never a quiet end.
    text = DUMP.replace("-- Dump completed on 2026-01-01\n", "") + "".join(
        f"INSERT INTO `t` VALUES ({k},1.00,NULL,'{'x' * (k % 50)}');\n" for k in range(5, 3000)) + \
        "-- Dump completed on 2026-01-01\n"
    path = tmp_path / "cut"
    path.write_bytes(COMPRESS[kind](text.encode())[:-30])
    with pytest.raises(dump.IncompleteDumpError, match=f"cut: table `t`: its {kind} data is cut short"):
        list(dump.TableRowChunks(path, "t"))
    reader = dump.TableRowChunks(path, "t", allow_incomplete=True)
    rows = [r for chunk in reader for r in chunk]
    assert [r[0] for r in rows] == list(range(1, len(rows) + 1))  # bzip2: none, its one block cut
    assert f"its {kind} data is cut short ({len(rows)} rows read)" in reader.report()["incomplete"]


@pytest.mark.parametrize("content, words", [
    (b"\x89PNG\r\n\x1a\n" + bytes(range(256)), "it looks like a PNG image inside gzip"),
    (gzip.compress(DUMP.encode()), "it looks like gzip data inside gzip"),
    (b"\x00" * 100, "it looks like binary data inside gzip"),
])
def test_a_compressed_file_that_holds_no_dump(tmp_path, content, words):
    path = tmp_path / "x.gz"
    path.write_bytes(gzip.compress(content))
    for read in (lambda: dump.TableRowChunks(path, "t"), lambda: dump.table_columns(path, "t")):
        with pytest.raises(dump.NotADumpError, match=f"x.gz is not a dump \\({words}\\)"):
            read()


def test_a_compressed_file_changing_during_the_scan_is_refused(tmp_path):
    # Far more than the pipe and a piece hold: the feed is still reading the
    # file when it is appended to.
    path = tmp_path / "d.gz"
    path.write_bytes(gzip.compress((b"INSERT INTO `t` VALUES ('" + b"x" * 2000 + b"');\n") * 4000, 1))
    reader = dump.TableRowChunks(path, "t", chunk_rows=1)
    assert next(reader) == [("x" * 2000,)]
    with open(path, "ab") as f:
        f.write(gzip.compress(b"INSERT INTO `t` VALUES (3);\n"))
    with pytest.raises(dump.DumpError, match="d.gz: the file changed while table `t` was read"):
        list(reader)


def test_damaged_compressed_data_is_named(tmp_path):
    data = bytearray(gzip.compress(DUMP.encode() * 50))
    data[len(data) // 2] ^= 0xFF
    path = tmp_path / "bad.gz"
    path.write_bytes(bytes(data))
    with pytest.raises(dump.DumpError, match="bad.gz: cannot read its gzip data"):
        list(dump.TableRowChunks(path, "t"))


STDIN_ROWS = """
import sys
from zemo_etl import dump
rows = dump.TableRowChunks("-", sys.argv[1], chunk_rows=1)
print(rows.declared_columns, [r for chunk in rows for r in chunk], rows.report()["size"])
"""


@pytest.mark.parametrize("kind", [None, "gzip", "zstd"])
def test_standard_input_is_read_once(tmp_path, kind):
    # Columns, declared types and rows in the one pass standard input allows.
    path = tmp_path / "d.sql"
    path.write_text(DUMP, encoding="utf-8")
    source = path if kind is None else packed(tmp_path, kind)
    with open(source, "rb") as stdin:
        done = subprocess.run([sys.executable, "-c", STDIN_ROWS, "t"], stdin=stdin, capture_output=True, text=True,
                              timeout=120)
    assert done.returncode == 0, done.stderr
    rows = dump.TableRowChunks(path, "t")
    expected = [r for chunk in rows for r in chunk]
    assert done.stdout == f"['id', 'price', 'pic', 'name'] {expected} {len(DUMP.encode())}\n"
    with open(source, "rb") as stdin:
        done = subprocess.run([sys.executable, "-c", STDIN_ROWS, "T"], stdin=stdin, capture_output=True, text=True,
                              timeout=120)
    assert "MissingTableError: standard input holds no table `T`\n" in done.stderr


INTERRUPTED = """
import sys
from zemo_etl import dump
rows = dump.TableRowChunks("-", "t", chunk_rows=1)
try:
    print(next(rows), flush=True)
    list(rows)  # standard input stays open: the reader waits for more
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("kind", [None, "gzip"])
def test_ctrl_c_stops_a_reader_that_waits(kind):
    head = b"INSERT INTO `t` VALUES (1);\nINSERT INTO `t` VALUES (2);\n"
    if kind == "gzip":  # a stream flushed so far, not ended
        packer = zlib.compressobj(wbits=31)
        head = packer.compress(head) + packer.flush(zlib.Z_SYNC_FLUSH)
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdin is not None and child.stdout is not None
        child.stdin.buffer.write(head)  # type: ignore[attr-defined]
        child.stdin.flush()
        assert child.stdout.readline() == "[(1,)]\n"
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        child.kill()
    assert out == "interrupted\n", err


@pytest.mark.parametrize("lines", [400, 1])
def test_memory_stays_bounded_by_a_chunk(tmp_path, lines):
    # 40 MB of rows, gzipped, in 400 statements or in one line: the reader
    # holds a chunk and a piece, never the decompressed dump or its line.
    path = tmp_path / "big.sql.gz"
    row = "({},'{}','some title text here','BEA',101,2,'Rock','LP',NULL)"
    size = 0
    with gzip.open(path, "wt", encoding="utf-8", compresslevel=1) as f:
        for block in range(400):
            head = "INSERT INTO `library` VALUES " if lines > 1 or block == 0 else ","
            size += f.write(head + ",".join(row.format(block * 1000 + k, "artist %d" % k * 2) for k in range(1000))
                            + (";\n" if lines > 1 or block == 399 else ""))
    rows, grown = grown_mb(f"""
        print(sum(len(chunk) for chunk in dump.TableRowChunks({str(path)!r}, "library", chunk_rows=5000)))
    """)
    assert int(rows) == 400_000
    assert grown < size / 2**20 / 4, (grown, size)
