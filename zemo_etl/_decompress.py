"""Compressed data (gzip, bzip2, xz, zstd) decompressed as it is read, with
nothing but the standard library (and zstandard before Python 3.14), so that
it also runs as a program of its own: ``python _decompress.py KIND`` writes
its standard input decompressed to its standard output, beside the process
that reads it (no lock shared with it), and exits 3 when the data is cut
short, 4 when it is damaged, the reason on standard error."""

from __future__ import annotations

import bz2
import io
import lzma
import os
import sys
import zlib
from typing import IO, Any, Callable, Optional, cast

PIECE = 1 << 20
CUT, DAMAGED = 3, 4  # the program's exit statuses


def decompressor(compression: str) -> Callable[[], Any]:
    """A maker of one-member decompressors (with ``decompress``, ``eof`` and ``unused_data``)."""
    if compression == "gzip":
        return lambda: zlib.decompressobj(wbits=31)
    if compression == "bzip2":
        return bz2.BZ2Decompressor
    if compression == "xz":
        return lzma.LZMADecompressor
    try:
        from compression import zstd  # type: ignore[import-not-found]  # Python 3.14
        return cast(Callable[[], Any], zstd.ZstdDecompressor)
    except ImportError:
        pass
    try:
        import zstandard  # type: ignore[import-not-found,unused-ignore]
    except ImportError:
        raise ModuleNotFoundError("reading zstd needs the zstandard module: pip install zstandard") from None
    # Its stream reader ends a cut frame without a word; the object does not.
    return lambda: zstandard.ZstdDecompressor().decompressobj()


class Decompressing(io.BufferedIOBase):
    """The decompressed bytes of `raw`: members (gzip members, zstd frames,
    xz and bzip2 streams) one after another are one stream; data that ends
    inside one raises EOFError, damaged data ValueError. Straight through the
    decompressor objects: the file classes' reads cost a third more CPU."""

    def __init__(self, raw: IO[bytes], compression: str) -> None:
        super().__init__()
        self._raw, self._compression = raw, compression
        self._new = decompressor(compression)
        self._member, self._started = self._new(), False
        self._out, self._at = b"", 0

    def readable(self) -> bool:
        return True

    def read1(self, size: Optional[int] = -1) -> bytes:
        while self._at >= len(self._out):
            if not self._fill():
                return b""
        if size is None or size < 0 or self._at + size >= len(self._out):
            out = self._out[self._at:] if self._at else self._out
        else:
            out = self._out[self._at:self._at + size]
        self._at += len(out)
        return out

    read = read1  # callers take what comes

    def _fill(self) -> bool:
        if self._member.eof:  # the next member, if any
            block = self._member.unused_data
            self._member, self._started = self._new(), False
        else:
            block = b""
        # Small reads: what one decompresses to is held at once.
        block = block or self._raw.read(1 << 16)
        if not block:
            if self._started:
                raise EOFError(f"the {self._compression} data is cut short")
            return False
        self._started = True
        try:
            self._out, self._at = self._member.decompress(block), 0
        except MemoryError:
            raise
        except Exception as e:  # each module has its own error class
            raise ValueError(f"the {self._compression} data is damaged: {e}") from e
        return True


def write_all(fd: int, block: bytes) -> None:
    view = memoryview(block)
    while view:
        view = view[os.write(fd, view):]


def main(compression: str) -> int:
    data = Decompressing(cast(IO[bytes], io.FileIO(0, "rb", closefd=False)), compression)
    try:
        while block := data.read1(PIECE):
            write_all(1, block)
    except BrokenPipeError:
        return 0  # the reader stopped
    except EOFError as e:
        print(e, file=sys.stderr)
        return CUT
    except (ValueError, OSError, ModuleNotFoundError) as e:
        print(e, file=sys.stderr)
        return DAMAGED
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1]))
    except KeyboardInterrupt:
        sys.exit(130)
