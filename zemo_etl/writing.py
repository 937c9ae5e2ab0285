"""Writing what the jobs and commands put out: CSV in the dialect of its
input or a chosen one, guarded against what would destroy an input, into
folders only their owner can change."""

from __future__ import annotations

import csv
import os
import stat
import sys
import types
from collections.abc import Iterable, Sequence
from typing import IO, Any, Optional

from zemo_etl import safety
from zemo_etl.errors import InputError, Wording
from zemo_etl.reading import CsvInput, Dialect


def check_folder(folder: Any, allow_shared: bool, wording: Wording = Wording(), in_place: bool = False) -> None:
    """Refuse to write into a folder other users can change (a one-line
    SafetyError), unless `allow_shared`: then warn; InputError for a folder
    that cannot be checked. `in_place`: it holds files used where they are
    (see `safety.check_folder`)."""
    try:
        warning = safety.check_folder(folder, allow_shared, in_place)
    except FileNotFoundError:
        raise InputError(f"{folder}: no such folder") from None
    except OSError as e:
        raise InputError(f"{folder}: {e.strerror}") from None
    if warning is not None:
        wording.warn(warning)


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
                              hint: str = "write to another file", option: Optional[str] = None) -> None:
    """Refuse, before anything is read, an output that is also an input (the
    same file by any path: a symlink, a hard link, a redirection of standard
    input or output), and two outputs into one file: the output would empty
    or cut the input, or replace the other output. `hint` says what to do
    instead (`option`: the argument it names)."""
    def shown(path: Optional[str], stream: str) -> str:
        return stream if path is None or path == "-" else path

    stdout_fd, stdin_fd = _fileno(sys.stdout), _fileno(sys.stdin)
    for k, out in enumerate(outputs):
        target = _identity(out, stdout_fd)
        for src in inputs:
            if target is not None and _identity(src, stdin_fd) == target:
                raise InputError(f"{shown(out, 'standard output')}: is also the input "
                                 f"{shown(src, 'standard input')}; {hint}", option)
        for other in outputs[k + 1:]:
            if out not in (None, "-") and other not in (None, "-") and (
                    os.path.abspath(out) == os.path.abspath(other)
                    or target is not None and _identity(other, stdout_fd) == target):
                raise InputError(f"{out}: given for two outputs; write them to different files")


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


OUTPUT_DIALECTS = {"excel": Dialect(",", True, "\r\n"), "unix": Dialect()}


def output_dialect(chosen: str = "input", table: Optional[CsvInput] = None) -> Dialect:
    """The dialect of an output: `excel` or `unix`, else (`input`) the
    dialect of the CSV the output is made from, else `unix`."""
    if chosen in OUTPUT_DIALECTS:
        return OUTPUT_DIALECTS[chosen]
    return table.dialect if table is not None else OUTPUT_DIALECTS["unix"]


class CsvWriter:
    """csv.writer's writerow and writerows, lines ending in "\\n" (or as the
    dialect says; its byte-order mark goes before the first row).

    csv.writer quotes a field only for the characters of its own line end, so
    with "\\n" a field holding a bare CR went out unquoted, and every reader
    split the row there. Rows with a CR are written quoted, the rest as fast
    as before. `safe`: text cells never start a spreadsheet
    formula."""

    def __init__(self, stream: IO[str], safe: bool = False, lineterminator: str = "\n",
                 dialect: Optional[Dialect] = None) -> None:
        if dialect is not None:
            lineterminator = dialect.line_end
        delimiter = dialect.delimiter if dialect is not None else ","
        self._stream, self._safe, self._end, self._delimiter = stream, safe, lineterminator, delimiter
        self._lines: list[str] = []  # csv.writer writes each row as one string
        self._start = "\ufeff" if dialect is not None and dialect.bom else ""  # before the first row
        sink = types.SimpleNamespace(write=self._lines.append)
        self._plain = csv.writer(sink, lineterminator=lineterminator, delimiter=delimiter)
        self._quoting_cr = csv.writer(sink, lineterminator="\r\n", delimiter=delimiter)

    def writerow(self, row: Iterable[Any]) -> None:
        self.writerows([row])

    def writerows(self, rows: Iterable[Iterable[Any]]) -> None:
        lines = self._lines
        joined = self._joined(rows) if isinstance(rows, (list, tuple)) and not self._safe else None
        if joined is not None:
            self._stream.write(self._start + joined)
            self._start = ""
            return
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

    def _joined(self, rows: Sequence[Any]) -> Optional[str]:
        """The rows as written, each line of text fields joined by the
        delimiter where none needs quoting (csv.writer looks at every
        character through its line end: several times slower), the others
        through csv.writer; None when a field is not text."""
        if not rows:
            return ""
        d = self._delimiter
        try:
            widths = list(map(len, rows))
            lines = list(map(d.join, rows))
        except TypeError:
            return None
        # csv.writer quotes a field holding the delimiter, a quote, a CR or an LF, and the one field of
        # a line that would be empty.
        for k, (line, width) in enumerate(zip(lines, widths)):
            if not line or '"' in line or "\r" in line or "\n" in line or line.count(d) != width - 1:
                row = rows[k]
                self._plain.writerow(row)
                self._quote_cr(len(self._lines) - 1, row)
                lines[k] = self._lines.pop()[:-len(self._end)]
        return self._end.join(lines) + self._end

    def _quote_cr(self, k: int, row: Iterable[Any]) -> None:
        # Rewrites line k, the row as written, if it holds a CR it should have quoted.
        if "\r" in self._lines[k] and self._end != "\r\n":
            self._quoting_cr.writerow(row)
            self._lines[k] = self._lines.pop()[:-2] + self._end


def csv_writer(stream: IO[str], safe: bool = False, lineterminator: str = "\n",
               dialect: Optional[Dialect] = None) -> CsvWriter:
    """A csv writer to `stream`; `safe` guards cells against
    formula injection; `dialect` (`output_dialect`) sets separator, BOM and line end."""
    return CsvWriter(stream, safe, lineterminator, dialect)

