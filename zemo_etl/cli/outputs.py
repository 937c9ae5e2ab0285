"""Where a command writes: standard output or a file written whole or not at
all, in the folder and CSV dialect its options say."""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
from collections.abc import Iterator
from typing import IO, Any, Optional

from zemo_etl import safety
from zemo_etl.cli.errors import CommandError, StreamOutput, UserError, wording
from zemo_etl.reading import CsvInput, Dialect, open_text
from zemo_etl.writing import check_folder, output_dialect


def dialect_of(args: argparse.Namespace, table: Optional[CsvInput] = None) -> Dialect:
    """The dialect --output-dialect gives (by default that of `table`, the CSV the output is made from)."""
    return output_dialect(getattr(args, "output_dialect", "input"), table)

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
        check_folder(os.path.dirname(os.path.abspath(path)), args.allow_shared_folder, wording(args))
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

