"""A run's work folder: one run at a time, and a resume only on the inputs
the run began with.

`locked` holds an exclusive flock on WORKDIR/run.lock for the whole run; the
kernel drops it when the process ends, however it ends, so a lock is never
left behind. The file holds the holder's pid, for the refusal a second run
gets.

`identify` describes the inputs of a run: for each file its resolved
absolute path, size, modification time and a BLAKE2b hash of its content;
and the options that change results. The description is kept beside the
state in WORKDIR/inputs.json, with the fingerprint of what each completed
step read (`fingerprints`: the content of its files, the values of its
options and the fingerprint of the step before it). `first_changed` tells
the first step whose fingerprint is no longer the one it ran with, and why.
Size and modification time alone would miss a file rewritten with its old
size and time restored; the hash is what decides (a file only touched,
moved or copied over with the same bytes changes nothing).
"""

from __future__ import annotations

import contextlib
import fcntl
import hashlib
import json
import os
from collections.abc import Collection, Iterator, Mapping, Sequence
from typing import Any, Optional

from zemo_etl import safety
from zemo_etl.errors import OPTION, InputError

LOCK_NAME = "run.lock"
RECORD_NAME = "inputs.json"
# 2: each completed step's fingerprint ("steps"). A version 1 record, of a
# run that could only resume on the very inputs it began with, gives its
# completed steps the fingerprints of its own inputs.
RECORD_VERSION = 2

# What each step reads: (step, the names of its files and options), in the
# order the steps run.
StepReads = Sequence[tuple[str, Sequence[str]]]
_HASH_BLOCK = 1 << 20


@contextlib.contextmanager
def locked(folder: str | os.PathLike[str]) -> Iterator[None]:
    """Hold the work folder's lock, or refuse at once (InputError) naming the
    pid of the run that holds it."""
    fd = open_own(os.path.join(folder, LOCK_NAME), os.O_RDWR | os.O_CREAT)
    try:
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            holder = os.pread(fd, 32, 0).decode("ascii", "replace").strip()
            who = f"pid {holder}" if holder.isdigit() else "its pid not yet written"
            raise InputError(f"{safety.inert(folder)}: another run ({who}) is using this work folder; "
                             f"wait for it to end or give another {OPTION}", "workdir") from None
        os.ftruncate(fd, 0)
        os.pwrite(fd, f"{os.getpid()}\n".encode("ascii"), 0)
        try:
            yield
        finally:
            os.ftruncate(fd, 0)
    finally:
        os.close(fd)  # drops the lock


def open_own(path: str | os.PathLike[str], flags: int = os.O_RDONLY) -> int:
    """A file of the work folder opened in place (`safety.open_in_place`),
    or a one-line InputError."""
    try:
        return safety.open_in_place(path, flags)
    except safety.SafetyError as e:
        raise InputError(str(e)) from None
    except OSError as e:
        raise InputError(f"{safety.inert(os.fspath(path))}: {e.strerror}") from None


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


def _read_value(record: Mapping[str, Any], name: str) -> Any:
    """What a step reading `name` saw: a file's content hash, else the option's value."""
    files, options = record.get("files"), record.get("options")
    if isinstance(files, dict) and isinstance(files.get(name), dict):
        return {"blake2b": files[name].get("blake2b")}
    return options.get(name) if isinstance(options, dict) else None


def fingerprints(record: Mapping[str, Any], reads: StepReads) -> dict[str, str]:
    """Each step's fingerprint under the inputs of `record`."""
    out: dict[str, str] = {}
    before = ""
    for step, names in reads:
        seen = [step, before, [[name, _read_value(record, name)] for name in names]]
        before = out[step] = hashlib.blake2b(json.dumps(seen, sort_keys=True).encode(), digest_size=16).hexdigest()
    return out


def first_changed(recorded: Optional[Mapping[str, Any]], current: Mapping[str, Any], reads: StepReads,
                  completed: Collection[str]) -> Optional[tuple[str, Optional[str]]]:
    """The first step to do again, and why (None for a step not completed
    yet: the run resumes there); None when every step is done with these
    inputs."""
    kept = recorded.get("steps") if recorded is not None else None
    kept = kept if isinstance(kept, dict) else {}
    now = fingerprints(current, reads)
    for step, names in reads:
        if step not in completed:
            return step, None
        if kept.get(step) != now[step]:
            if recorded is None:
                return step, f"no record of what the earlier run read ({RECORD_NAME})"
            return step, _what_changed(recorded, current, names)
    return None


def _what_changed(recorded: Mapping[str, Any], current: Mapping[str, Any], names: Sequence[str]) -> str:
    for name in names:
        was, now = _read_value(recorded, name), _read_value(current, name)
        if was == now:
            continue
        if isinstance(now, dict) and isinstance(was, dict):
            file = current["files"][name]
            was_size = recorded["files"][name].get("size")
            size = f"{file['size']} bytes, was {was_size}" if was_size != file["size"] else "same size, other content"
            return f"{name} {file['path']} changed ({size})"
        if isinstance(now, dict):
            return f"{name} is given, was not given"
        if isinstance(was, dict):
            return f"{name} is not given, was given"
        return f"{name} is {_shown(now)}, was {_shown(was)}"
    return "the steps before it read other inputs"


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


def load(folder: str | os.PathLike[str], reads: StepReads, completed: Collection[str],
         added: Mapping[str, Any]) -> Optional[dict[str, Any]]:
    """The record kept in the folder, None when there is none; InputError when
    it cannot be used. An older record is migrated: `reads` and `completed`
    (the steps the state says are done) give its steps' fingerprints, and an
    option of `added` it lacks takes the value given there."""
    path = os.path.join(folder, RECORD_NAME)
    if not os.path.lexists(path):
        return None
    try:
        with open(open_own(path), encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError, RecursionError) as e:  # RecursionError: nested too deeply
        raise InputError(f"{safety.inert(path)}: not a usable record of the run's inputs ({e})") from None
    if not isinstance(record, dict) or record.get("version") not in (1, RECORD_VERSION):
        raise InputError(f"{safety.inert(path)}: not a usable record of the run's inputs (version "
                         f"{safety.inert(record.get('version') if isinstance(record, dict) else None)})")
    if isinstance(record.get("options"), dict):
        record["options"] = {**added, **record["options"]}
    if record["version"] == 1:
        done = fingerprints(record, reads)
        record = dict(record, version=RECORD_VERSION, steps={s: done[s] for s, _ in reads if s in completed})
    return record  # type: ignore[no-any-return]  # a JSON object, checked above
