"""A run's state file: loaded with its steps, checked for a resume against a
database URL, and rebuilt under another URL or with fewer steps completed."""

from __future__ import annotations

import json
import os
from collections.abc import Sequence
from typing import Any

from zemo_etl import _ext, state, stores
from zemo_etl.errors import InputError
from zemo_etl.reading import require_file
from zemo_etl.safety import redact_url


def load(path: str) -> tuple[state.PipelineState, dict[str, Any]]:
    """The state, and its file as written now (older versions migrated)."""
    require_file(path)
    try:
        # The class does not list its steps; the file's text in the current
        # version does. The state is made of that text, read once.
        doc = json.loads(_ext.state_file_text(path))
    except RuntimeError as e:
        raise InputError(f"{path}: not a usable state file: {e}") from None
    return _of_document(doc), doc


def _of_document(doc: dict[str, Any]) -> state.PipelineState:
    steps: dict[str, dict[str, Any]] = doc["steps"]
    st = state.PipelineState(doc["database_url"], doc["csv_dir"], list(steps))
    for step, status in steps.items():
        if status.get("status") == "completed":
            st.mark_completed(step)
        elif status.get("status") == "failed":
            st.mark_failed(step, status.get("error") or "")
    return st


def resolve_db_url(url: str) -> str:
    """A sqlite:/// URL with its file's folder made absolute and resolved
    (the file itself is left as named: a link there is refused when opened);
    other URLs as given. A relative sqlite:///x.db means the same database
    from any folder once stored so."""
    try:
        path = stores.sqlite_path(url)
    except stores.StoreError as e:
        raise InputError(str(e)) from None
    if path is None:
        return url
    folder, name = os.path.split(path)
    return stores.sqlite_url(os.path.join(os.path.realpath(folder or "."), name))


def resume_url(doc: dict[str, Any], db_url: str) -> str:
    """The URL to check a resume against the state with: `db_url` resolved and
    without its password, or the state's own text when that names the same
    database (a file written before URLs were stored redacted or resolved may
    still hold one so)."""
    stored = str(doc.get("database_url"))
    wanted = redact_url(resolve_db_url(db_url))
    return stored if redact_url(resolve_db_url(stored)) == wanted else wanted


def with_url(st: state.PipelineState, doc: dict[str, Any], db_url: str, csv_dir: str) -> state.PipelineState:
    """The same steps and statuses under another database URL and CSV folder."""
    steps = list(doc.get("steps", {}))
    new = state.PipelineState(db_url, csv_dir, steps)
    for step in steps:
        if st.is_completed(step):
            new.mark_completed(step)
        elif st.step_status(step) == "failed":
            new.mark_failed(step, st.step_error(step) or "")
    return new


def rebuilt(db_url: str, csv_dir: str, steps: Sequence[str], completed: Sequence[str]) -> state.PipelineState:
    """A state of `steps` whose completed ones are `completed`, the others pending."""
    new = state.PipelineState(db_url, csv_dir, steps)
    for step in completed:
        new.mark_completed(step)
    return new
