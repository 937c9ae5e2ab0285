"""Reading the text the jobs and commands take in: files or standard input,
decompressed and decoded with the place of a bad byte known, plain lines and
CSV with its header checked up front.

Every failure a user can mend is an `InputError` of one line naming the file
(and the line, where there is one)."""

from __future__ import annotations

import codecs
import csv
import dataclasses
import io
import itertools
import os
import sys
from collections.abc import Iterable, Iterator, Sequence
from typing import IO, Any, Optional, TypeVar

from zemo_etl import dump, safety
from zemo_etl.errors import OPTION, InputError

T = TypeVar("T")

def open_text(path: Optional[str], mode: str = "r", encoding: str = "utf-8") -> IO[str]:
    """A file to read, or standard input/output for None or "-"; newlines as
    csv needs them. Input is decoded from `encoding` (a UTF-8
    byte-order mark is dropped) and keeps count of where it is, so that a
    decoding error can name its line and byte (`decode_error`). Input
    compressed with gzip, bzip2, xz or zstd (known by its first bytes) is
    decompressed as it is read. Files to write go through `open_output`."""
    if "r" not in mode:
        if path is None or path == "-":
            stream = sys.stdout
            if hasattr(stream, "reconfigure"):
                stream.reconfigure(encoding="utf-8", newline="")
            return stream
        raise ValueError("open_text reads; open_output writes")
    if path is None or path == "-":
        stdin = sys.stdin.buffer
        head = stdin.peek(8)[:8] if hasattr(stdin, "peek") else b""
        data = _decompressed(stdin, head, "standard input")
        return _positioned(_CountingReader(data, "<stdin>", close=False, compressed=data is not stdin), encoding)
    try:
        # Without O_NONBLOCK, opening a FIFO would wait for a writer before
        # the check below could refuse it.
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        raise _input_error(path, e) from None
    try:
        safety.require_regular_file(path, fd)
        os.set_blocking(fd, True)
    except safety.SafetyError as e:
        os.close(fd)
        raise InputError(str(e)) from None
    raw = io.BufferedReader(io.FileIO(fd, "r"))
    try:
        data = _decompressed(raw, raw.peek(8)[:8], path)
    except BaseException:
        raw.close()
        raise
    return _positioned(_CountingReader(data, path, compressed=data is not raw, underlying=raw), encoding)


def _decompressed(raw: Any, head: bytes, name: str) -> Any:
    compression = dump.compression_of(head)
    if compression is None:
        return raw
    try:
        return dump.open_decompressed(raw, compression)
    except RuntimeError as e:
        raise InputError(f"{name}: {e}") from None


class _CountingReader(io.BufferedIOBase):
    """A binary stream that counts the bytes and line feeds it has handed
    out, for the text layer above it: a decoding error's bytes end where the
    count stands, which places the bad byte exactly, on standard input too."""

    def __init__(self, raw: Any, name: str, close: bool = True, compressed: bool = False,
                 underlying: Any = None) -> None:
        super().__init__()
        self._raw, self.name, self._close = raw, name, close
        self._compressed, self._underlying = compressed, underlying  # a decompressor does not close its source
        self.offset = self.newlines = 0
        self.bom = False  # the data started with a UTF-8 byte-order mark

    def readable(self) -> bool:
        return True

    def read1(self, size: Optional[int] = -1) -> bytes:
        size = -1 if size is None else size
        try:
            data: bytes = self._raw.read1(size) if hasattr(self._raw, "read1") else self._raw.read(size)
        except (EOFError, ValueError, OSError) as e:
            if not self._compressed or isinstance(e, BlockingIOError):
                raise
            name = "standard input" if self.name == "<stdin>" else self.name
            raise InputError(f"{name}: the compressed data is cut short or damaged ({e})") from None
        if self.offset == 0:
            self.bom = data.startswith(codecs.BOM_UTF8)
        self.offset += len(data)
        self.newlines += data.count(b"\n")
        return data

    read = read1

    def close(self) -> None:
        if not self.closed and self._close:
            self._raw.close()
            if self._underlying is not None:
                self._underlying.close()
        super().close()


def _positioned(source: _CountingReader, encoding: str) -> IO[str]:
    # UTF-8 is read as utf-8-sig: a spreadsheet's "CSV UTF-8" starts with a
    # byte-order mark that would otherwise stick to the first column's name.
    codec = codecs.lookup(encoding).name
    stream = io.TextIOWrapper(source, encoding="utf-8-sig" if codec == "utf-8" else encoding, newline="")
    setattr(stream, "zemo_encoding", encoding)
    return stream


def decode_error(stream: IO[str], e: UnicodeDecodeError) -> InputError:
    """The one-line error for undecodable input read through `open_text`:
    file, line and byte offset (from 0) of the first bad byte, and the option
    that names another encoding."""
    encoding = getattr(stream, "zemo_encoding", "utf-8")
    shown = "UTF-8" if codecs.lookup(encoding).name == "utf-8" else encoding
    source = getattr(stream, "buffer", None)
    where = ""
    if isinstance(source, _CountingReader) and isinstance(e.object, (bytes, bytearray)):
        # The decoder was handed e.object last; it ends at the count.
        offset = source.offset - len(e.object) + e.start
        line = source.newlines - e.object.count(b"\n", e.start) + 1
        if offset >= 0 and line >= 1:
            where = f" line {line}, byte offset {offset}"
    bad = bytes(e.object[e.start:e.start + 1])
    # 0x80-0x9F are control characters in latin-1 but letters and signs (the
    # euro sign) in Windows-1252, which is what such a file most likely is.
    example = "cp1252" if bad and 0x80 <= bad[0] <= 0x9F else "latin-1"
    hint = f"; {OPTION} names the file's encoding" + (f", e.g. {OPTION} {example}" if shown == "UTF-8" else "")
    return InputError(f"{_name(stream)}{where}: not {shown} text (byte 0x{bad.hex()}){hint}", "encoding")



SNIFFED_DELIMITERS = ";\t|"

def _input_error(path: str, e: OSError) -> InputError:
    if isinstance(e, FileNotFoundError):
        return InputError(f"{path}: no such file")
    if isinstance(e, IsADirectoryError):
        return InputError(f"{path}: is a directory")
    if isinstance(e, PermissionError):
        return InputError(f"{path}: permission denied")
    return InputError(f"{path}: {e.strerror}")


def require_file(path: str) -> None:
    """A regular file we may read, or a one-line InputError: a FIFO, a device
    or a folder is refused before anything could block on it."""
    try:
        safety.require_regular_file(path)
    except OSError as e:
        raise _input_error(path, e) from None
    except safety.SafetyError as e:
        raise InputError(str(e)) from None
    if not os.access(path, os.R_OK):
        raise InputError(f"{path}: permission denied")


def _name(stream: IO[str]) -> str:
    name = getattr(stream, "name", "-")
    return "standard input" if name in ("<stdin>", 0) else str(name)


def read_lines(stream: IO[str]) -> Iterator[str]:
    """The lines of a text stream without their line ends."""
    try:
        for line in stream:
            yield line.rstrip("\r\n")
    except UnicodeDecodeError as e:
        raise decode_error(stream, e) from None


class CsvInput:
    """A CSV file read in chunks of lists, with its header checked up front.

    The delimiter is `delimiter` or, when that is None, a comma,
    or else the one of ; TAB | that the header holds when it holds no comma.
    Rows with more or fewer fields than the header, unbalanced quotes and
    undecodable bytes are user errors naming the line. `required` columns
    must be in the header: by exact name, or else by the one name equal to it
    ignoring case and surrounding spaces (`column` gives their positions).
    """

    def __init__(self, stream: IO[str], required: Sequence[str] = (), delimiter: Optional[str] = None) -> None:
        self.stream = stream
        self.name = _name(stream)
        try:
            head = _header_lines(stream)
        except UnicodeDecodeError as e:
            raise decode_error(stream, e) from None
        if delimiter is None:
            delimiter = _sniff_delimiter("".join(head))
        self.delimiter = delimiter
        source = getattr(stream, "buffer", None)
        # How the file is written, for outputs made from it (output dialect `input`).
        self.dialect = Dialect(delimiter, isinstance(source, _CountingReader) and source.bom,
                               "\r\n" if head and head[0].endswith("\r\n") else "\n")
        self._reader = csv.reader(itertools.chain(head, stream), delimiter=delimiter, strict=True)
        try:
            self.header = next(self._reader)
        except StopIteration:
            raise InputError(f"{self.name}: empty file, expected a CSV header") from None
        except csv.Error as e:
            raise InputError(f"{self.name} line {self._reader.line_num}: malformed CSV header: {e}") from None
        except UnicodeDecodeError as e:
            raise decode_error(stream, e) from None
        self._columns = {name: self._find(name) for name in required}

    def _find(self, column: str) -> int:
        if column in self.header:
            return self.header.index(column)
        alike = [k for k, h in enumerate(self.header) if h.strip().casefold() == column.strip().casefold()]
        if len(alike) == 1:
            return alike[0]
        where = f"{self.name} line {self._reader.line_num}"
        if alike:
            names = " and ".join(repr(self.header[k]) for k in alike)
            raise InputError(f"{where}: columns {names} both match {column!r}; name one exactly")
        hint = f"; {OPTION} sets the field separator" if len(self.header) == 1 else ""
        raise InputError(f"{where}: no column {column!r} (columns: {', '.join(self.header)}){hint}",
                         "delimiter" if hint else None)

    @property
    def line(self) -> int:
        """The line the last row read ends on (from 1)."""
        return self._reader.line_num

    def column(self, name: str) -> int:
        """The position of a column: a required one as matched, another by exact name."""
        return self._columns[name] if name in self._columns else self.header.index(name)

    def rows(self) -> Iterator[list[str]]:
        width, reader = len(self.header), self._reader
        start = reader.line_num + 1  # where the record being read began: a quoted field may span lines
        try:
            for fields in reader:
                if len(fields) == width:
                    yield fields
                elif fields:  # not a blank line
                    raise InputError(f"{self.name} {self._lines(start)}: "
                                    f"{len(fields)} fields where the header has {width}")
                start = reader.line_num + 1
        except csv.Error as e:
            if "unexpected end of data" in str(e):
                raise InputError(f"{self.name} line {start}: malformed CSV: a quote opened here "
                                f"is never closed") from None
            raise InputError(f"{self.name} {self._lines(start)}: malformed CSV: {e}") from None
        except UnicodeDecodeError as e:
            raise decode_error(self.stream, e) from None

    def _lines(self, start: int) -> str:
        end = self._reader.line_num
        return f"line {end}" if end <= start else f"lines {start}-{end}"

    def chunks(self, size: int) -> Iterator[list[list[str]]]:
        return chunked(self.rows(), size)


_HEADER_MAX_LINES = 1000


def _header_lines(stream: IO[str]) -> list[str]:
    # The lines of the header record: a quoted name may hold a line break.
    lines: list[str] = []
    quotes = 0
    while len(lines) < _HEADER_MAX_LINES:
        line = stream.readline()
        if not line:
            break
        lines.append(line)
        quotes += line.count('"')
        if quotes % 2 == 0:
            break
    return lines


def _sniff_delimiter(header: str) -> str:
    # Separators inside quoted names do not count.
    bare = "".join(header.split('"')[::2])
    if "," in bare:
        return ","
    used = [d for d in SNIFFED_DELIMITERS if d in bare]
    return used[0] if len(used) == 1 else ","


@dataclasses.dataclass(frozen=True)
class Dialect:
    """How a CSV file is written: separator, byte-order mark, line end."""

    delimiter: str = ","
    bom: bool = False
    line_end: str = "\n"


def count_lines(path: Optional[str]) -> Optional[int]:
    """Lines in a regular file (for a progress total); None for standard input."""
    if path is None or path == "-" or not os.path.isfile(path):
        return None
    n = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            n += block.count(b"\n")
    return n


def chunked(items: Iterable[T], size: int) -> Iterator[list[T]]:
    chunk: list[T] = []
    for item in items:
        chunk.append(item)
        if len(chunk) >= size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk

