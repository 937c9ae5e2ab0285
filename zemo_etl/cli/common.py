"""What the subcommands share: argument parsing that reports errors in one
line, the mapping of failures to exit statuses, progress on standard error,
chunked batch calls, and reading and writing CSV and plain lines.

Exit statuses: 0 success, 1 the job ran and failed (or `state check` says no),
2 a usage or input error (one line on standard error, no traceback), 130
interrupted with Ctrl-C.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import dataclasses
import errno
import importlib
import io
import itertools
import lzma
import os
import stat
import sys
import time
import types
import zlib
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any, Optional, TypeVar

from zemo_etl import dump, safety
from zemo_etl.index import DEFAULT_THRESHOLDS, Catalogue, LibraryIndex, check_thresholds

T = TypeVar("T")
R = TypeVar("R")

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # as a shell reports a command ended by SIGPIPE


class CommandError(Exception):
    """A failure reported as one line, ``zemo-etl COMMAND: message``, and an exit status."""

    status = EXIT_FAILED

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        if status is not None:
            self.status = status


class UserError(CommandError):
    """A problem with the command's input or arguments: reported in one line, exit status 2."""

    status = EXIT_USAGE


class ArgumentParser(argparse.ArgumentParser):
    # argparse prints the whole usage before its error; one line says more.
    def error(self, message: str) -> Any:  # type: ignore[override]
        self.exit(EXIT_USAGE, f"{self.prog}: error: {safety.inert(message)} (see {self.prog} --help)\n")


def add_command(sub: Any, name: str, summary: str, description: str, examples: str) -> argparse.ArgumentParser:
    """A subcommand parser whose --help ends with worked examples."""
    return sub.add_parser(
        name, help=summary, description=description,
        epilog="examples:\n" + "\n".join("  " + line for line in examples.strip("\n").splitlines()),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )


def run_handler(handler: Callable[[argparse.Namespace], int], args: argparse.Namespace) -> int:
    """Run a subcommand, turning its errors and Ctrl-C into their exit statuses."""
    try:
        return handler(args)
    except KeyboardInterrupt:
        print("zemo-etl: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except CommandError as e:
        print(f"zemo-etl {args.command}: {safety.inert(e)}", file=sys.stderr)
        return e.status
    except safety.SafetyError as e:
        print(f"zemo-etl {args.command}: {safety.inert(e)}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): stop quietly.
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as e:
        print(f"zemo-etl {args.command}: {safety.inert(describe_os_error(e))}", file=sys.stderr)
        return EXIT_USAGE if e.errno in _USER_ERRNOS else EXIT_FAILED
    except MemoryError:
        print(f"zemo-etl {args.command}: out of memory", file=sys.stderr)
        return EXIT_FAILED
    except UnicodeEncodeError as e:
        # Most often a name given in bytes that are not UTF-8, which Python
        # keeps as lone surrogates; shown around the first such character.
        near = safety.inert(e.object[max(0, e.start - 40):e.end + 40])
        print(f"zemo-etl {args.command}: not UTF-8 text: {near} (a name in other bytes than UTF-8?)",
              file=sys.stderr)
        return EXIT_USAGE
    except UnicodeError as e:
        # A codec that fails other than by UnicodeDecodeError (punycode, idna).
        print(f"zemo-etl {args.command}: cannot decode the input: {safety.inert(e)}", file=sys.stderr)
        return EXIT_USAGE


# What a user can mend (a path, a permission); anything else (a full disk, an
# I/O error) is a failure of the machine.
_USER_ERRNOS = {errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.EEXIST, errno.EACCES, errno.EPERM,
                errno.ELOOP, errno.ENAMETOOLONG, errno.EROFS}


def describe_os_error(e: OSError) -> str:
    """One line for an OSError: its file (when it names one) and the system's words."""
    what = e.strerror or str(e)
    return f"{e.filename}: {what}" if e.filename else what


def silence_stdout() -> None:
    """Point standard output at /dev/null, so that what is still buffered for
    a reader gone away (or a full device) is dropped at exit, not reported."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


# --- input and output ---------------------------------------------------------

def open_text(path: Optional[str], mode: str = "r", encoding: str = "utf-8") -> IO[str]:
    """A file to read, or standard input/output for None or "-"; newlines as
    csv needs them. Input is decoded from `encoding` (--encoding; a UTF-8
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
        raise UserError(str(e)) from None
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
        raise UserError(f"{name}: {e}") from None


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
            data = self._raw.read1(size) if hasattr(self._raw, "read1") else self._raw.read(size)
        except (EOFError, ValueError, OSError, lzma.LZMAError, zlib.error) as e:
            if not self._compressed or isinstance(e, BlockingIOError):
                raise
            name = "standard input" if self.name == "<stdin>" else self.name
            raise UserError(f"{name}: the compressed data is cut short or damaged ({e})") from None
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


def decode_error(stream: IO[str], e: UnicodeDecodeError) -> UserError:
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
    hint = "; --encoding names the file's encoding" + (f", e.g. --encoding {example}" if shown == "UTF-8" else "")
    return UserError(f"{_name(stream)}{where}: not {shown} text (byte 0x{bad.hex()}){hint}")


def encoding_option(value: str) -> str:
    """--encoding: a codec Python knows, as given."""
    try:
        info = codecs.lookup(value)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding {value!r}") from None
    # rot13, base64, hex, ...: codecs, but not from bytes to text.
    if not getattr(info, "_is_text_encoding", True):
        raise argparse.ArgumentTypeError(f"{value!r} is not a text encoding")
    return value


_DELIMITER_NAMES = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "pipe": "|"}
SNIFFED_DELIMITERS = ";\t|"


def delimiter_option(value: str) -> str:
    """--delimiter: one character (`tab` or `\\t` for TAB)."""
    value = _DELIMITER_NAMES.get(value.lower(), value)
    if len(value) != 1 or value in "\"\r\n":
        raise argparse.ArgumentTypeError(f"{value!r}: one character other than a quote or a line end "
                                         "(tab for TAB)")
    return value


def add_input_options(p: argparse.ArgumentParser, csv: bool = True) -> None:
    """--encoding for a command that reads text, and --delimiter for one that reads CSV."""
    p.add_argument("--encoding", type=encoding_option, default="utf-8", metavar="NAME",
                   help="text encoding of the input files (default utf-8; e.g. latin-1, cp1252)")
    if csv:
        p.add_argument("--delimiter", type=delimiter_option, metavar="CHAR",
                       help="CSV field separator (default: comma, or the one of ; TAB | that the header "
                            "uses when it holds no comma; `tab` for TAB)")


def _input_error(path: str, e: OSError) -> UserError:
    if isinstance(e, FileNotFoundError):
        return UserError(f"{path}: no such file")
    if isinstance(e, IsADirectoryError):
        return UserError(f"{path}: is a directory")
    if isinstance(e, PermissionError):
        return UserError(f"{path}: permission denied")
    return UserError(f"{path}: {e.strerror}")


def require_file(path: str) -> None:
    """A regular file we may read, or a one-line UserError: a FIFO, a device
    or a folder is refused before anything could block on it."""
    try:
        safety.require_regular_file(path)
    except OSError as e:
        raise _input_error(path, e) from None
    except safety.SafetyError as e:
        raise UserError(str(e)) from None
    if not os.access(path, os.R_OK):
        raise UserError(f"{path}: permission denied")


def add_output_options(p: argparse.ArgumentParser, csv: bool = True) -> None:
    """--allow-shared-folder, and --csv-safe for a command that writes CSV."""
    p.add_argument("--allow-shared-folder", action="store_true",
                   help="write into a folder other users can change (refused otherwise), with a warning")
    if csv:
        p.add_argument("--output-dialect", choices=["input", "excel", "unix"], default="input",
                       help="CSV written as the CSV read is (separator, byte-order mark, line ends; the "
                            "default), as a spreadsheet's (comma, BOM, CRLF) or plain (comma, LF)")
        p.add_argument("--csv-safe", action="store_true",
                       help="put ' before CSV text cells that start with = + - @ TAB or CR, so that a "
                            "spreadsheet shows them as text (the data is then no longer exact)")


KEEP_THRESHOLDS = ("token_set_keep", "token_sort_keep", "two_stage_keep")


def threshold_option(name: str) -> str:
    """The command-line option of a classifier threshold: token_set_keep -> --token-set-keep."""
    return "--" + name.replace("_", "-")


def add_threshold_options(p: argparse.ArgumentParser) -> None:
    """The classifier's thresholds (defaults: zemo_etl.index.DEFAULT_THRESHOLDS) and --distinct-numbers."""
    g = p.add_argument_group("classifier", "scores run from 0 to 1: a release keeps when its scores reach the keep\n"
                                           "values, goes to review between the floor and a keep value")
    g.add_argument("--keep", type=float, metavar="X", help="all three keep values at once")
    for name, value in DEFAULT_THRESHOLDS.items():
        g.add_argument(threshold_option(name), dest=name, type=float, metavar="X", help=f"default {value}")
    g.add_argument("--distinct-numbers", action="store_true",
                   help="a release whose title carries numbers (II, 1975, vol. 2) keeps only against a library "
                        "title with the same numbers; otherwise it goes to review")


def thresholds_from(args: argparse.Namespace) -> dict[str, float]:
    """The thresholds the options give, checked as the library checks them: UserError naming the option
    when one is out of [0, 1] (or NaN), or when the review floor lies above a keep value."""
    chosen: dict[str, float] = {}
    options = {name: threshold_option(name) for name in DEFAULT_THRESHOLDS}
    if getattr(args, "keep", None) is not None:
        chosen.update({name: args.keep for name in KEEP_THRESHOLDS})
        options.update({name: "--keep" for name in KEEP_THRESHOLDS})
    for name in DEFAULT_THRESHOLDS:
        if getattr(args, name, None) is not None:
            chosen[name], options[name] = getattr(args, name), threshold_option(name)
    try:
        return check_thresholds(chosen, options)
    except ValueError as e:
        raise UserError(str(e)) from None


def describe_thresholds(thresholds: dict[str, float], distinct_numbers: bool = False) -> str:
    """The thresholds in a few words, for a summary."""
    keep = "/".join(f"{thresholds[name]:g}" for name in KEEP_THRESHOLDS)
    return (f"keep {keep} (token set/token sort/two-stage), artist gate {thresholds['artist_gate']:g}, "
            f"review floor {thresholds['review_floor']:g}" + (", distinct numbers" if distinct_numbers else ""))


def check_folder(folder: Any, allow_shared: bool, command: str = "") -> None:
    """Refuse to write into a folder other users can change (one-line
    UserError), unless `allow_shared` (--allow-shared-folder): then warn on
    standard error."""
    try:
        warning = safety.check_folder(folder, allow_shared)
    except FileNotFoundError:
        raise UserError(f"{folder}: no such folder") from None
    except OSError as e:
        raise UserError(f"{folder}: {e.strerror}") from None
    except safety.SafetyError as e:
        raise UserError(str(e)) from None
    if warning is not None:
        print(f"zemo-etl{' ' + command if command else ''}: warning: {safety.inert(warning)}", file=sys.stderr)


class StreamOutput:
    """A stream whose write errors are one-line CommandErrors naming it: a
    full disk, a quota or an I/O error is a failure of the machine, exit 1.
    A reader gone away (BrokenPipeError) passes through."""

    def __init__(self, stream: IO[Any], name: str) -> None:
        self._stream, self._name = stream, name

    def _failed(self, e: OSError) -> CommandError:
        return CommandError(f"{self._name}: cannot write: {e.strerror or e}")

    def write(self, data: Any) -> int:
        try:
            return self._stream.write(data)
        except BrokenPipeError:
            raise
        except OSError as e:
            raise self._failed(e) from None

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise self._failed(e) from None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


@contextlib.contextmanager
def open_output(path: Optional[str], args: argparse.Namespace, binary: bool = False) -> Iterator[IO[Any]]:
    """Standard output for None or "-", else `path` written whole or not at
    all: through a private temporary file renamed over it at the end (a
    symlink at `path` is replaced, never followed), removed on an error or
    Ctrl-C. A failed write is a one-line CommandError."""
    if path is None or path == "-":
        stream = StreamOutput(sys.stdout.buffer if binary else open_text(None, "w"), "standard output")
        yield stream  # type: ignore[misc]
        stream.flush()
        return
    if not safety.stream_target(path):  # nothing is created at /dev/null or a FIFO
        check_folder(os.path.dirname(os.path.abspath(path)), args.allow_shared_folder, args.command)
    stack = contextlib.ExitStack()
    try:
        stream = StreamOutput(stack.enter_context(safety.atomic_write(path, binary=binary)), path)
    except IsADirectoryError:
        raise UserError(f"{path}: is a directory") from None
    except OSError as e:
        raise UserError(f"{path}: cannot write: {e.strerror}") from None
    with stack:
        yield stream  # type: ignore[misc]
        stream.flush()
        try:
            stack.close()  # synced and renamed here, so that a failure is reported
        except OSError as e:
            raise CommandError(f"{path}: cannot write: {e.strerror}") from None


def _identity(path: Optional[str], fd: int) -> Optional[tuple[int, int]]:
    """(device, inode) of a regular file named by `path`, or open at `fd` for None/"-"."""
    try:
        st = os.fstat(fd) if path is None or path == "-" else os.stat(path)
    except (OSError, ValueError):
        return None
    return (st.st_dev, st.st_ino) if stat.S_ISREG(st.st_mode) else None


def _fileno(stream: Any) -> int:
    try:
        return int(stream.fileno())
    except (AttributeError, ValueError, OSError):  # a replaced stream (tests) has none
        return -1


def refuse_overwriting_inputs(outputs: Sequence[Optional[str]], inputs: Sequence[Optional[str]],
                              hint: str = "write to another file") -> None:
    """Refuse, before anything is read, an output that is also an input (the
    same file by any path: a symlink, a hard link, a redirection of standard
    input or output), and two outputs into one file: the output would empty
    or cut the input, or replace the other output."""
    def shown(path: Optional[str], stream: str) -> str:
        return stream if path is None or path == "-" else path

    stdout_fd, stdin_fd = _fileno(sys.stdout), _fileno(sys.stdin)
    for k, out in enumerate(outputs):
        target = _identity(out, stdout_fd)
        for src in inputs:
            if target is not None and _identity(src, stdin_fd) == target:
                raise UserError(f"{shown(out, 'standard output')}: is also the input "
                                f"{shown(src, 'standard input')}; {hint}")
        for other in outputs[k + 1:]:
            if out not in (None, "-") and other not in (None, "-") and (
                    os.path.abspath(out) == os.path.abspath(other)
                    or target is not None and _identity(other, stdout_fd) == target):
                raise UserError(f"{out}: given for two outputs; write them to different files")


def add_columns(header: list[str], added: Sequence[str], source: str, note: str) -> tuple[list[str], list[int]]:
    """The header with the columns a command adds, and each one's place. A
    column the input has already is replaced where it stands (a second one of
    the same name would hide one from every reader), with a note."""
    header = list(header)
    places = []
    for name in added:
        if name in header:
            print(f"{note} {safety.inert(source)} has a column {safety.inert(name)!r} already; "
                  f"its values are replaced", file=sys.stderr)
            places.append(header.index(name))
        else:
            places.append(len(header))
            header.append(name)
    return header, places


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

    The delimiter is `delimiter` (--delimiter) or, when that is None, a comma,
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
        # How the file is written, for outputs made from it (--output-dialect input).
        self.dialect = Dialect(delimiter, isinstance(source, _CountingReader) and source.bom,
                               "\r\n" if head and head[0].endswith("\r\n") else "\n")
        self._reader = csv.reader(itertools.chain(head, stream), delimiter=delimiter, strict=True)
        try:
            self.header = next(self._reader)
        except StopIteration:
            raise UserError(f"{self.name}: empty file, expected a CSV header") from None
        except csv.Error as e:
            raise UserError(f"{self.name} line {self._reader.line_num}: malformed CSV header: {e}") from None
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
            raise UserError(f"{where}: columns {names} both match {column!r}; name one exactly")
        hint = "; --delimiter sets the field separator" if len(self.header) == 1 else ""
        raise UserError(f"{where}: no column {column!r} (columns: {', '.join(self.header)}){hint}")

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
                    raise UserError(f"{self.name} {self._lines(start)}: "
                                    f"{len(fields)} fields where the header has {width}")
                start = reader.line_num + 1
        except csv.Error as e:
            if "unexpected end of data" in str(e):
                raise UserError(f"{self.name} line {start}: malformed CSV: a quote opened here "
                                f"is never closed") from None
            raise UserError(f"{self.name} {self._lines(start)}: malformed CSV: {e}") from None
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


OUTPUT_DIALECTS = {"excel": Dialect(",", True, "\r\n"), "unix": Dialect()}


def output_dialect(args: argparse.Namespace, table: Optional[CsvInput] = None) -> Dialect:
    """--output-dialect: `excel` or `unix`, else (`input`) the dialect of the
    CSV the output is made from, else `unix`."""
    chosen = getattr(args, "output_dialect", "input")
    if chosen in OUTPUT_DIALECTS:
        return OUTPUT_DIALECTS[chosen]
    return table.dialect if table is not None else OUTPUT_DIALECTS["unix"]


class CsvWriter:
    """csv.writer's writerow and writerows, lines ending in "\\n" (or as the
    dialect says; its byte-order mark goes before the first row).

    csv.writer quotes a field only for the characters of its own line end, so
    with "\\n" a field holding a bare CR went out unquoted, and every reader
    split the row there. Rows with a CR are written quoted, the rest as fast
    as before. `safe` (--csv-safe): text cells never start a spreadsheet
    formula."""

    def __init__(self, stream: IO[str], safe: bool = False, lineterminator: str = "\n",
                 dialect: Optional[Dialect] = None) -> None:
        if dialect is not None:
            lineterminator = dialect.line_end
        delimiter = dialect.delimiter if dialect is not None else ","
        self._stream, self._safe, self._end = stream, safe, lineterminator
        self._lines: list[str] = []  # csv.writer writes each row as one string
        self._start = "\ufeff" if dialect is not None and dialect.bom else ""  # before the first row
        sink = types.SimpleNamespace(write=self._lines.append)
        self._plain = csv.writer(sink, lineterminator=lineterminator, delimiter=delimiter)
        self._quoting_cr = csv.writer(sink, lineterminator="\r\n", delimiter=delimiter)

    def writerow(self, row: Iterable[Any]) -> None:
        self.writerows([row])

    def writerows(self, rows: Iterable[Iterable[Any]]) -> None:
        lines = self._lines
        if isinstance(rows, (list, tuple)) and not self._safe:
            self._plain.writerows(rows)  # all in C; the rows are at hand if one needs quoting
            if "\r" in "".join(lines):
                for k in range(len(rows)):
                    self._quote_cr(k, rows[k])
        else:
            for row in rows:
                if self._safe:
                    row = [safety.formula_safe(c) for c in row]
                self._plain.writerow(row)
                self._quote_cr(len(lines) - 1, row)
        self._stream.write(self._start + "".join(lines))
        self._start = ""
        lines.clear()

    def _quote_cr(self, k: int, row: Iterable[Any]) -> None:
        # Rewrites line k, the row as written, if it holds a CR it should have quoted.
        if "\r" in self._lines[k] and self._end != "\r\n":
            self._quoting_cr.writerow(row)
            self._lines[k] = self._lines.pop()[:-2] + self._end


def csv_writer(stream: IO[str], safe: bool = False, lineterminator: str = "\n",
               dialect: Optional[Dialect] = None) -> CsvWriter:
    """A csv writer to `stream`; `safe` (--csv-safe) guards cells against
    formula injection; `dialect` (`output_dialect`) sets separator, BOM and line end."""
    return CsvWriter(stream, safe, lineterminator, dialect)


def count_lines(path: Optional[str]) -> Optional[int]:
    """Lines in a regular file (for a progress total); None for standard input."""
    if path is None or path == "-" or not os.path.isfile(path):
        return None
    n = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            n += block.count(b"\n")
    return n


# --- chunks and progress ------------------------------------------------------

def chunked(items: Iterable[T], size: int) -> Iterator[list[T]]:
    chunk: list[T] = []
    for item in items:
        chunk.append(item)
        if len(chunk) >= size:
            yield chunk
            chunk = []
    if chunk:
        yield chunk


class Progress:
    """Progress of a long step on standard error, only when it is a terminal.

    A tqdm bar when tqdm is installed (``pip install zemo-etl[progress]``),
    otherwise a plain line every few seconds. ZEMO_ETL_PROGRESS=off|plain|bar
    overrides the choice (``bar`` still needs tqdm).
    """

    PLAIN_INTERVAL = 2.0

    def __init__(self, desc: str, total: Optional[int] = None, unit: str = "rows",
                 stream: Optional[IO[str]] = None) -> None:
        self.desc, self.total, self.unit = desc, total, unit
        self.stream = stream if stream is not None else sys.stderr
        self.done = 0
        self._bar: Any = None
        self._printed = False
        self._mode = self._choose_mode()
        self._start = self._last = time.monotonic()
        if self._mode == "bar":
            tqdm = importlib.import_module("tqdm").tqdm  # an optional dependency, untyped
            # A terminal that reports no size (a bare pseudo-terminal) counts as
            # 80 by 24; tqdm would otherwise hide the bar as beyond the screen.
            sized = self._columns() > 0
            self._bar = tqdm(total=total, desc=desc, unit=" " + unit, unit_scale=True, file=self.stream,
                             leave=False, dynamic_ncols=sized, ncols=None if sized else 80,
                             nrows=None if sized else 24)

    def _choose_mode(self) -> str:
        wanted = os.environ.get("ZEMO_ETL_PROGRESS", "").lower()
        if wanted == "off":
            return "off"
        if not (wanted in ("plain", "bar") or self._isatty()):
            return "off"
        if wanted == "plain":
            return "plain"
        try:
            importlib.import_module("tqdm")
        except ImportError:
            return "plain"
        return "bar"

    def _columns(self) -> int:
        try:
            return os.get_terminal_size(self.stream.fileno()).columns
        except (AttributeError, ValueError, OSError):
            return 0

    def _isatty(self) -> bool:
        try:
            return self.stream.isatty()
        except (AttributeError, ValueError):
            return False

    @property
    def active(self) -> bool:
        return self._mode != "off"

    def update(self, n: int) -> None:
        self.done += n
        if self._mode == "bar":
            self._bar.update(n)
            if self.total and self.done >= self.total:
                self._bar.refresh()  # show the end even when it came within tqdm's interval
        elif self._mode == "plain":
            # The first chunk at once, then a line every few seconds.
            now = time.monotonic()
            if not self._printed or now - self._last >= self.PLAIN_INTERVAL:
                self._last, self._printed = now, True
                self._plain_line()

    def _plain_line(self, final: bool = False) -> None:
        elapsed = time.monotonic() - self._start
        of = f"/{self.total:,}" if self.total else ""
        pct = f" ({100 * self.done / self.total:.0f}%)" if self.total else ""
        state = "done" if final else "..."
        print(f"{self.desc}: {self.done:,}{of} {self.unit}{pct}, {elapsed:.1f} s {state}",
              file=self.stream, flush=True)

    def close(self) -> None:
        if self._mode == "bar":
            self._bar.close()
        elif self._mode == "plain" and self._printed:
            self._plain_line(final=True)
        self._mode = "off"

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def wrap(self, items: Iterable[Sequence[T]]) -> Iterator[Sequence[T]]:
        """Pass chunks through, counting their lengths."""
        for chunk in items:
            yield chunk
            self.update(len(chunk))


# Chunk sizes: small enough that the bar moves and memory stays bounded,
# large enough that the per-call cost stays a small share; classification goes
# through one prepared library index, so its chunks need not grow with it.
CLASSIFY_CHUNK = 5_000
RESOLVE_CHUNK = 500
FORM_CHUNK = 20_000


def library_index(pairs: Sequence[tuple[str, str]], thresholds: Optional[dict[str, float]] = None,
                  distinct_numbers: bool = False) -> LibraryIndex:
    """The index of `pairs` with the given thresholds (default: the library's)."""
    return LibraryIndex(pairs, **(thresholds or {}), distinct_numbers=distinct_numbers)


def resolve_in_chunks(names: list[str], catalog: Sequence[str], threshold: float,
                      progress: Optional[Progress] = None) -> list[Optional[str]]:
    """fuzzy.batch_fuzzy_resolve over chunks, the same result as one call; the
    catalogue is prepared once for all of them."""
    prepared = Catalogue(catalog)
    out: list[Optional[str]] = []
    for start in range(0, len(names), RESOLVE_CHUNK):
        chunk = names[start:start + RESOLVE_CHUNK]
        out += prepared.resolve(chunk, threshold)
        if progress is not None:
            progress.update(len(chunk))
    return out
