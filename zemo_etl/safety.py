"""Guards for what the tool reads, writes and shows when its inputs, folders
or URLs may come from someone else.

Another local user may share a folder with us, a CSV may come from anywhere,
a database URL may hold a password. Each rule lives here once:

- secrets: ``redact_url`` is the one form of a database URL that is ever
  printed, stored or compared; ``url_secrets`` and ``scrub`` keep the password
  out of error text a driver writes;
- terminal: ``inert`` shows control characters and escape sequences of
  untrusted text as escapes, so a value cannot drive the terminal;
- spreadsheets: ``formula_safe`` keeps a CSV cell from being read as a formula;
- inputs: ``require_regular_file`` refuses FIFOs, devices and folders before
  anything blocks on them;
- files used in place (databases, locks, states): ``open_in_place`` opens
  them without following links and refuses those of other users;
- outputs: ``check_folder`` refuses folders other users can change, and
  ``atomic_write`` / ``new_private_file`` write through a private temporary
  file with an unguessable name, renamed over the target, so nothing planted
  at the target (a symlink, a file of another user) is ever opened.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import secrets as _random
import stat
import struct
import urllib.parse
from collections.abc import Iterable, Iterator
from typing import IO, Any, Optional

from zemo_etl.errors import OPTION, Error

__all__ = ["SafetyError", "redact_url", "url_secrets", "scrub", "inert", "formula_safe", "require_regular_file",
           "check_folder", "writable_by_others", "open_in_place", "new_private_file", "atomic_write", "publish", "output_mode", "stream_target"]


class SafetyError(Error):
    """A file, folder or URL refused as unsafe to use; the message is one line."""


# --- secrets in database URLs ---------------------------------------------------

_SCHEME = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*://")
# What may follow the "@" that ends the userinfo: hosts (names, addresses,
# [v6], ports, comma-separated lists), then an optional /dbname and
# ?key=value&... A password may hold "?", "#", "/" and "@" unencoded (libpq
# connects with the first three; a URL parser takes them for the end of the
# host); the "@" that ends it is the first one after which the rest reads as
# such a tail.
_TAIL = re.compile(r"[\w.~%:,\[\]-]*(?:/[^?@]*)?(?:\?(?:[A-Za-z_]+=[^&]*(?:&[A-Za-z_]+=[^&]*)*)?)?\Z")
_SECRET_PARAMS = ("password", "sslpassword")
_KEYWORD_SECRET = re.compile(r"\b(?:ssl)?password\s*=\s*(?:'(?:[^'\\]|\\.)*'?|\S*)")
_MASK = "***"


def _split_uri(url: str) -> Optional[tuple[str, str, str, str]]:
    """(scheme with //, userinfo or "", the separating "@" or "", the rest) of a URI."""
    m = _SCHEME.match(url)
    if m is None:
        return None
    scheme, rest = m.group(), url[m.end():]
    if rest.startswith("/") or "@" not in rest:
        return scheme, "", "", rest
    at = [i for i, c in enumerate(rest) if c == "@"]
    # The first "@" that leaves a well-formed tail; failing that the last one,
    # so that an oddly formed URL hides too much rather than too little.
    cut = next((i for i in at if _TAIL.match(rest, i + 1)), at[-1])
    return scheme, rest[:cut], "@", rest[cut + 1:]


def _query_without_secrets(tail: str) -> tuple[str, list[str]]:
    if "?" not in tail:
        return tail, []
    head, query = tail.split("?", 1)
    kept, found = [], []
    for item in query.split("&"):
        key, _, value = item.partition("=")
        # libpq decodes the names too: %70assword is password.
        if urllib.parse.unquote(key).strip().lower() in _SECRET_PARAMS:
            found.append(value)
        else:
            kept.append(item)
    return (head + ("?" + "&".join(kept) if kept else "")), found


def redact_url(url: str) -> str:
    """The URL without its password (userinfo and password=/sslpassword=
    parameters), fit for messages, state files and comparisons.

    The user name, hosts, database and other parameters stay as written, so
    two URLs that differ only in their password redact to the same text."""
    parts = _split_uri(url)
    if parts is None:  # a key=value connection string
        return _KEYWORD_SECRET.sub(lambda m: m.group().split("=", 1)[0].rstrip() + "=" + _MASK, url)
    scheme, userinfo, at, tail = parts
    tail, _ = _query_without_secrets(tail)
    return scheme + userinfo.split(":", 1)[0] + at + tail


def url_secrets(url: str) -> list[str]:
    """The passwords a URL carries, in every form an error text may show:
    as written, percent-decoded and percent-encoded; where psycopg is
    installed, also as libpq reads them."""
    found: list[str] = []
    parts = _split_uri(url)
    if parts is None:
        found += [m.group().split("=", 1)[1].strip().strip("'") for m in _KEYWORD_SECRET.finditer(url)]
    else:
        scheme, userinfo, _, tail = parts
        if ":" in userinfo:
            password = userinfo.split(":", 1)[1]
            found.append(password)
            # libpq may cut a password holding "@" or "/" and show the pieces
            # as a host or port name; a piece too short to hide everywhere is
            # hidden where it stands before an "@", as in "host 'ss@db'".
            found += [piece for piece in re.split(r"[@/]", password) if len(piece) >= 3]
            found += [piece + "@" for piece in password.split("@")[1:] if piece]
        found += _query_without_secrets(tail)[1]
    try:
        from psycopg.conninfo import conninfo_to_dict  # optional; libpq's own reading
    except ImportError:
        pass
    else:
        try:
            params = conninfo_to_dict(url)
        except Exception:  # noqa: BLE001 - not a URL libpq reads; our reading stands
            params = {}
        found += [str(params[k]) for k in _SECRET_PARAMS if params.get(k)]
    forms = set()
    for secret in found:
        decoded = urllib.parse.unquote(secret)
        forms.update({secret, decoded, urllib.parse.quote(decoded, safe=""), urllib.parse.quote(secret, safe="")})
    forms.discard("")
    return sorted(forms, key=len, reverse=True)


def scrub(text: str, secrets: Iterable[str]) -> str:
    """`text` with every occurrence of each secret replaced by ***."""
    for secret in sorted(secrets, key=len, reverse=True):
        if secret:
            text = text.replace(secret, _MASK)
    return text


# --- text shown on a terminal ---------------------------------------------------

# C0 and C1 controls, DEL, the line and paragraph separators and the
# bidirectional controls (which reorder what is shown around them).
# Lone surrogates too: a name in bytes that are not UTF-8 holds them, and no UTF-8 stream can print them.
_UNSAFE_CHARS = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069"
                           "\ud800-\udfff]")


def _escape(m: re.Match[str]) -> str:
    code = ord(m.group())
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def inert(text: object) -> str:
    """`text` with control characters and lone surrogates shown as escapes
    (``\\x1b``, ``\\u2028``, ``\\udc9b``), for messages meant for people;
    data written as data stays exact."""
    return _UNSAFE_CHARS.sub(_escape, str(text))


# --- spreadsheet cells ---------------------------------------------------------

_FORMULA_START = ("=", "+", "-", "@", "\t", "\r")


def formula_safe(cell: Any) -> Any:
    """A text cell that a spreadsheet would read as a formula, with a ' before it."""
    if isinstance(cell, str) and cell.startswith(_FORMULA_START):
        return "'" + cell
    return cell


def formula_unguarded(cell: str) -> str:
    """A cell of a review page's export as it was before the page guarded it:
    the page puts a ' before a cell that, past any 's, starts a formula."""
    if cell.startswith("'") and cell.lstrip("'").startswith(_FORMULA_START):
        return cell[1:]
    return cell


# --- inputs ---------------------------------------------------------------------

def _kind(mode: int) -> str:
    if stat.S_ISDIR(mode):
        return "is a directory"
    if stat.S_ISFIFO(mode):
        return "is a FIFO, not a regular file"
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        return "is a device, not a regular file"
    if stat.S_ISSOCK(mode):
        return "is a socket, not a regular file"
    return "is not a regular file"


def require_regular_file(path: str | os.PathLike[str], fd: Optional[int] = None) -> None:
    """Refuse anything but a regular file (symlinks to one are followed), or
    the file open at `fd`: reading a FIFO or a device would block or never
    end, a folder reads as nothing. OSError (FileNotFoundError,
    PermissionError) when it cannot be looked at."""
    mode = (os.fstat(fd) if fd is not None else os.stat(path)).st_mode
    if not stat.S_ISREG(mode):
        raise SafetyError(f"{inert(os.fspath(path))}: {_kind(mode)}")


# --- folders written to ---------------------------------------------------------

def _private_group(gid: int) -> bool:
    """Whether `gid` is our own user private group (named as we are, our
    primary group, no other members): group write there is ours alone, as in
    folders made under the common umask 002."""
    if gid != os.getegid():
        return False
    try:
        import grp
        import pwd

        name = pwd.getpwuid(os.geteuid()).pw_name
        group = grp.getgrgid(gid)
    except (ImportError, KeyError):
        return False
    return group.gr_name == name and set(group.gr_mem) <= {name}


def _acl_writers(path: str | int) -> Optional[str]:
    """Who besides us an access ACL on `path` lets write there ("user 65534",
    "group 100"), or None: the mode's group bits then show only the ACL's mask."""
    try:
        acl = os.getxattr(path, "system.posix_acl_access")
    except (OSError, AttributeError):  # none, or no ACLs on this file system or platform
        return None
    entries = [struct.unpack_from("<HHI", acl, at) for at in range(4, len(acl) - 7, 8)]
    mask = next((perm for tag, perm, _ in entries if tag == 0x10), 7)
    for tag, perm, who in entries:
        if perm & mask & 2 and (tag == 0x02 and who != os.geteuid() or tag == 0x08 and not _private_group(who)):
            return f"user {who}" if tag == 0x02 else f"group {who}"
    return None


def _other_writers(st: os.stat_result, where: str | int) -> Optional[str]:
    """Who besides us and root can write the file or folder of status `st`
    (at path or descriptor `where`), or None."""
    if st.st_mode & stat.S_IWOTH or st.st_mode & stat.S_IWGRP and not _private_group(st.st_gid):
        return f"other users (mode {stat.S_IMODE(st.st_mode):04o})"
    writer = _acl_writers(where)
    return None if writer is None else f"{writer} through its ACL"


def writable_by_others(path: str | os.PathLike[str]) -> Optional[str]:
    """Who besides us and root can write the file or folder at `path`
    ("other users (mode 1777)", "user 65534 through its ACL"), or None."""
    path = os.fspath(path)
    return _other_writers(os.stat(path), path)


def check_folder(folder: str | os.PathLike[str], allow_shared: bool = False, in_place: bool = False) -> Optional[str]:
    """Refuse a folder that another user could change under us: owned by
    someone other than us or root, or writable by group (our own private
    group aside), others or, through its ACL, another user or group,
    without the sticky bit; the same for each folder
    above it, since whoever controls one can swap what lies below. With
    `in_place` (a folder holding files opened where they are: a database
    and its journals, a work folder's lock and state) the folder itself
    is shared even with the sticky bit: others could plant a journal or a
    state there before we make ours. With `allow_shared` the first such
    folder is returned as a warning instead (None when all is well)."""
    path = os.path.realpath(folder)
    me = os.geteuid()
    while True:
        st = os.stat(path)
        problem = None
        sticky = st.st_mode & stat.S_ISVTX
        if st.st_uid not in (me, 0):
            problem = f"owned by another user (uid {st.st_uid})"
        elif (not sticky or in_place and path == os.path.realpath(folder)) \
                and (writers := _other_writers(st, path)) is not None:
            problem = (f"writable by {writers}, who could plant files beside ours" if sticky
                       else f"writable by {writers}, no sticky bit")
        if problem is not None:
            where = inert(path if path == os.path.realpath(folder) else f"{path} (above {folder})")
            if not allow_shared:
                raise SafetyError(f"{where}: folder {problem}; refusing to write there ({OPTION} accepts it)",
                                  "allow_shared_folder")
            return f"writing into {where}, a folder {problem}"
        parent = os.path.dirname(path)
        if parent == path:
            return None
        path = parent


def open_in_place(path: str | os.PathLike[str], flags: int = os.O_RDONLY, mode: int = 0o600) -> int:
    """A descriptor of `path`, a file we use where it is (a database, a lock,
    a state): opened with `flags` (O_CREAT makes it with `mode`) without
    following a link or blocking on a FIFO. SafetyError (one line) when it
    is not a regular file, or another user owns it or can write it: its
    content would be theirs to choose or to read. OSError when it cannot be
    opened (FileNotFoundError, FileExistsError...)."""
    flags |= os.O_NOFOLLOW | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC
    try:
        fd = os.open(path, flags, mode)
    except OSError as e:
        if e.errno == errno.ELOOP and os.path.islink(path):
            raise SafetyError(f"{inert(os.fspath(path))}: a symbolic link; "
                              "a file used in place is not opened through one") from None
        raise
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise SafetyError(f"{inert(os.fspath(path))}: {_kind(st.st_mode)}")
        problem = (f"owned by another user (uid {st.st_uid})" if st.st_uid != os.geteuid()
                   else (writers := _other_writers(st, fd)) and f"writable by {writers}")
        if problem:
            raise SafetyError(f"{inert(os.fspath(path))}: {problem}; refusing to use it in place")
    except BaseException:
        os.close(fd)
        raise
    return fd


# --- outputs ------------------------------------------------------------------

_TEMP_ATTEMPTS = 100


def new_private_file(target: str | os.PathLike[str]) -> tuple[int, str]:
    """A new empty file beside `target` with an unguessable name, made with
    O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600: (descriptor open for writing, path).
    A name someone planted (file or symlink) is never opened: another is drawn."""
    target = os.fspath(target)
    folder, base = os.path.split(target)
    flags = os.O_RDWR | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(_TEMP_ATTEMPTS):
        path = os.path.join(folder, f".{base}.{_random.token_hex(8)}.tmp")
        try:
            return os.open(path, flags, 0o600), path
        except FileExistsError:
            continue
    raise FileExistsError(f"{target}: no free temporary name after {_TEMP_ATTEMPTS} attempts")


def output_mode() -> int:
    """The mode a new file gets from the user's umask (0666 less the umask)."""
    try:
        with open("/proc/self/status", encoding="ascii") as f:
            umask = next(int(line.split()[1], 8) for line in f if line.startswith("Umask:"))
    except (OSError, StopIteration, ValueError, IndexError):
        umask = os.umask(0o077)  # no other way to read it; set back at once
        os.umask(umask)
    return 0o666 & ~umask


def publish(temp: str, target: str | os.PathLike[str]) -> None:
    """Give a finished private file the umask's mode and rename it over
    `target` (a symlink there is replaced, not followed)."""
    fd = os.open(temp, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
    try:
        os.fchmod(fd, output_mode())
    finally:
        os.close(fd)
    os.replace(temp, target)
    try:
        fd = os.open(os.path.dirname(os.path.abspath(target)), os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)  # best effort: the rename itself made durable
    except OSError:
        pass
    finally:
        os.close(fd)


def _stream_stat(target: str | os.PathLike[str]) -> Optional[os.stat_result]:
    """The status of `target` when it is a device, FIFO or socket to write
    into, None when it is a file to replace (or nothing yet); SafetyError
    when it is one that another user could read from: only /dev/null,
    /dev/tty, our standard streams and those we own are written into."""
    try:
        st = os.lstat(target)
    except FileNotFoundError:
        return None
    if stat.S_ISLNK(st.st_mode):
        # /proc links are the kernel's; under /dev only root's (/dev/shm is anyone's).
        path = os.path.abspath(target)
        if not (path.startswith("/proc/") or path.startswith("/dev/") and st.st_uid == 0):
            return None  # a link elsewhere is replaced, never followed
        st = os.stat(target)
    if not (stat.S_ISCHR(st.st_mode) or stat.S_ISFIFO(st.st_mode) or stat.S_ISSOCK(st.st_mode)):
        return None
    if st.st_uid == os.geteuid() or os.path.realpath(target) in ("/dev/null", "/dev/tty"):
        return st
    for fd in (0, 1, 2):
        with contextlib.suppress(OSError):
            if os.path.samestat(st, os.fstat(fd)):
                return st
    kind = "FIFO" if stat.S_ISFIFO(st.st_mode) else "socket" if stat.S_ISSOCK(st.st_mode) else "device"
    raise SafetyError(f"{inert(os.fspath(target))}: a {kind} of another user (uid {st.st_uid}), who could read "
                      "what is written into it; refusing to write there")


def stream_target(target: str | os.PathLike[str]) -> bool:
    """Whether `target` is a device or FIFO to write into rather than a file
    to replace: /dev/null, a terminal, a named pipe of our own, or
    /dev/stdout and /proc/self/fd/N. Renaming a file over /dev/null would
    replace the device itself. SafetyError for one of another user (a FIFO
    planted at an output name would receive the output)."""
    return _stream_stat(target) is not None


@contextlib.contextmanager
def atomic_write(target: str | os.PathLike[str], binary: bool = False) -> Iterator[IO[Any]]:
    """A file object to write `target` through: a private temporary file,
    flushed and renamed over `target` when the block ends normally, removed
    when it raises (Ctrl-C included), so `target` is whole or as it was.
    A device or FIFO (see `stream_target`) is written directly. Text is
    UTF-8 with newlines as written (what csv needs)."""
    text_args: dict[str, Any] = {} if binary else {"encoding": "utf-8", "newline": ""}
    mode = "wb" if binary else "w"
    if (checked := _stream_stat(target)) is not None:
        f = open(target, mode, **text_args)
        if not os.path.samestat(os.fstat(f.fileno()), checked):  # swapped since it was looked at
            _close_quietly(f)
            raise SafetyError(f"{inert(os.fspath(target))}: replaced while being opened; refusing to write there")
        try:
            yield f
        except BaseException:
            _close_quietly(f)
            raise
        f.close()
        return
    if os.path.isdir(target):
        raise IsADirectoryError(21, "Is a directory", os.fspath(target))
    fd, temp = new_private_file(target)
    f = open(fd, mode, **text_args)
    try:
        yield f
        f.flush()
        os.fsync(f.fileno())
        f.close()
        publish(temp, target)
    except BaseException:
        # Closing would flush what a full disk refused once more, and its
        # error would hide the one that got us here.
        with contextlib.suppress(OSError):
            os.unlink(temp)
        _close_quietly(f)
        raise


def _close_quietly(f: IO[Any]) -> None:
    # io's close() closes the descriptor even when its last flush fails.
    with contextlib.suppress(OSError):
        f.close()
