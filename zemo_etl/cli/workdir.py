"""A run's work folder: one run at a time, and a resume only on the inputs
the run began with.

`locked` holds an exclusive flock on WORKDIR/run.lock for the whole run; the
kernel drops it when the process ends, however it ends, so a lock is never
left behind. The file holds the holder's pid, for the refusal a second run
gets.

`identify` describes the inputs of a run: for each file its resolved
absolute path, size, modification time and a BLAKE2b hash of its content;
and the options that change results. The description is kept beside the
state in WORKDIR/inputs.json; `changed` tells what differs from it. Size and
modification time alone would miss a file rewritten with its old size and
time restored; the hash is what decides (a file only touched or copied over
with the same bytes resumes).
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import json
import os
import stat
from collections.abc import Iterator, Mapping
from typing import Any, Optional

from zemo_etl import safety
from zemo_etl.cli.common import UserError

LOCK_NAME = "run.lock"
RECORD_NAME = "inputs.json"
RECORD_VERSION = 1
_HASH_BLOCK = 1 << 20


@contextlib.contextmanager
def locked(folder: str | os.PathLike[str]) -> Iterator[None]:
    """Hold the work folder's lock, or refuse at once (UserError) naming the
    pid of the run that holds it."""
    path = os.path.join(folder, LOCK_NAME)
    try:
        # Never through a link planted at the name, never blocking on a FIFO.
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o600)
    except OSError as e:
        why = "a symbolic link, not a lock file" if e.errno == errno.ELOOP else e.strerror
        raise UserError(f"{safety.inert(path)}: {why}") from None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode) or st.st_uid != os.geteuid():
            raise UserError(f"{safety.inert(path)}: not a lock file of ours; remove it to run here")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
            who = f"pid {holder}" if holder.isdigit() else "its pid not yet written"
            raise UserError(f"{safety.inert(folder)}: another run ({who}) is using this work folder; "
                            "wait for it to end or give another --workdir") from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode("ascii"), 0)
        try:
            yield
        finally:
            os.ftruncate(fd, 0)
    finally:
        os.close(fd)  # drops the lock


def file_identity(path: str | os.PathLike[str]) -> dict[str, Any]:
    """Resolved absolute path, size, modification time and content hash of a file."""
    resolved = os.path.realpath(path)
    digest = hashlib.blake2b(digest_size=16)
    with open(resolved, "rb") as f:
        st = os.fstat(f.fileno())
        while block := f.read(_HASH_BLOCK):
            digest.update(block)
    return {"path": resolved, "size": st.st_size, "mtime_ns": st.st_mtime_ns, "blake2b": digest.hexdigest()}


def identify(files: Mapping[str, str | os.PathLike[str]], options: Mapping[str, Any]) -> dict[str, Any]:
    """The record of a run's inputs: `files` and `options` keyed by their option names."""
    return {"version": RECORD_VERSION, "files": {name: file_identity(path) for name, path in files.items()},
            "options": dict(options)}


def changed(recorded: Mapping[str, Any], current: Mapping[str, Any]) -> Optional[str]:
    """What differs between the record of the run that began and the inputs
    of this one, in a few words; None when they are the same."""
    files, options = recorded.get("files"), recorded.get("options")
    was_files: dict[str, Any] = files if isinstance(files, dict) else {}
    for name, now in current["files"].items():
        was = was_files.get(name)
        if not isinstance(was, dict):
            return f"{name} was not recorded"
        if was.get("path") != now["path"]:
            return f"{name} is {now['path']}, the run began with {was.get('path')}"
        if was.get("size") != now["size"]:
            return f"{name} {now['path']} changed since the run began ({now['size']} bytes, was {was.get('size')})"
        if was.get("blake2b") != now["blake2b"]:
            return f"{name} {now['path']} changed since the run began (same size, other content)"
    was_options: dict[str, Any] = options if isinstance(options, dict) else {}
    for name, now in current["options"].items():
        if name not in was_options:
            return f"{name} was not recorded"
        if was_options[name] != now:
            return f"{name} is {_shown(now)}, the run began with {_shown(was_options[name])}"
    return None


def _shown(value: Any) -> str:
    if value is None:
        return "not given"
    if isinstance(value, bool):
        return "given" if value else "not given"
    return repr(value)


def save(folder: str | os.PathLike[str], record: Mapping[str, Any]) -> None:
    with safety.atomic_write(os.path.join(folder, RECORD_NAME)) as f:
        json.dump(record, f, indent=2, ensure_ascii=False)
        f.write("\n")


def load(folder: str | os.PathLike[str]) -> Optional[dict[str, Any]]:
    """The record kept in the folder, None when there is none; UserError when
    it cannot be used."""
    path = os.path.join(folder, RECORD_NAME)
    if not os.path.lexists(path):
        return None
    try:
        safety.require_regular_file(path)
        with open(path, encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError, safety.SafetyError) as e:
        raise UserError(f"{safety.inert(path)}: not a usable record of the run's inputs ({e})") from None
    if not isinstance(record, dict) or record.get("version") != RECORD_VERSION:
        raise UserError(f"{safety.inert(path)}: not a usable record of the run's inputs (version "
                        f"{safety.inert(record.get('version') if isinstance(record, dict) else None)})")
    return record
