# A private PostgreSQL server for tests that need a real one: initdb into a
# temporary directory, the Unix socket in that directory and no TCP listener,
# run as the `postgres` user when the tests run as root (the server refuses
# root), stopped by the PID of the process this module started. Tests are
# skipped only when the server programs are not installed (Debian package
# postgresql) or psycopg is missing (the test extra).

from __future__ import annotations

import contextlib
import glob
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any, Optional

import pytest

from server_process import ServerProcess, clean_env

PORT = 5432  # names the socket file only; there is no TCP listener


def server_bindir() -> Optional[Path]:
    # Debian keeps the server programs out of PATH, one directory per major version.
    dirs = sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda d: int(Path(d).parent.name))
    candidates = [Path(d) for d in reversed(dirs)]
    on_path = shutil.which("initdb")
    if on_path:
        candidates.append(Path(on_path).parent)
    return next((d for d in candidates if (d / "initdb").exists() and (d / "postgres").exists()), None)


class PostgreSQL(ServerProcess):
    # A running server reached through its socket directory; `url` serves
    # both psycopg and the command line.
    name = "postgres"
    stop_signal = signal.SIGINT  # fast shutdown

    def __init__(self, base: Path, bindir: Path) -> None:
        self.base, self.bindir = base, bindir
        self.datadir = base / "data"
        self.log = base / "server.log"
        self.env = clean_env(drop_prefix="PG")  # nor any PG* setting of the caller
        self.owner: dict[str, Any] = {}
        if os.geteuid() == 0:
            pw = pwd.getpwnam("postgres")
            self.owner = {"user": pw.pw_uid, "group": pw.pw_gid, "extra_groups": []}
            os.chown(base, pw.pw_uid, pw.pw_gid)
            self.env["HOME"] = str(base)
        self.user = pwd.getpwuid(self.owner.get("user", os.geteuid())).pw_name

    @property
    def url(self) -> str:
        return f"postgresql:///postgres?host={self.base}&port={PORT}&user={self.user}"

    def start(self, fsync: bool = False) -> None:
        sync = "on" if fsync else "off"
        subprocess.run([str(self.bindir / "initdb"), "-D", str(self.datadir), "--auth=trust", "-E", "UTF8",
                        "--locale=C", "--no-sync"],
                       check=True, capture_output=True, env=self.env, timeout=180, **self.owner)
        with open(self.log, "wb") as log:
            self.process = subprocess.Popen(
                [str(self.bindir / "postgres"), "-D", str(self.datadir), "-k", str(self.base), "-p", str(PORT),
                 "-c", "listen_addresses=", "-c", f"fsync={sync}", "-c", f"synchronous_commit={sync}",
                 "-c", f"full_page_writes={sync}"],
                stdout=log, stderr=subprocess.STDOUT, env=self.env, **self.owner,
            )
        ready = [str(self.bindir / "pg_isready"), "-q", "-h", str(self.base), "-p", str(PORT)]
        self.wait_until_ready(lambda: subprocess.run(ready, env=self.env).returncode == 0, timeout=60, interval=0.1)

    def connect(self, **kwargs: Any) -> Any:
        import psycopg

        return psycopg.connect(self.url, **kwargs)

    def reset(self) -> None:
        # Drops every table and schema the tests made, keeping the server.
        with self.connect(autocommit=True) as conn:
            conn.execute("DROP SCHEMA public CASCADE")
            conn.execute("CREATE SCHEMA public")
            conn.execute("DROP SCHEMA IF EXISTS entity CASCADE")


def skip_reason() -> Optional[str]:
    # The installed-wheel check hides the system's ICU, which the server links too.
    if os.environ.get("ZEMO_TEST_SYSTEM_ICU_HIDDEN"):
        return "the system's ICU is hidden for the installed-wheel check, and the PostgreSQL server needs it"
    if server_bindir() is None:
        return "PostgreSQL is not installed (Debian package postgresql): no initdb and postgres found"
    try:
        import psycopg  # noqa: F401
    except ImportError:
        return "psycopg is not installed (pip install 'zemo-etl[test]')"
    return None


@contextlib.contextmanager
def running_server(fsync: bool = False) -> Iterator[PostgreSQL]:
    bindir = server_bindir()
    assert bindir is not None
    # Not under pytest's own temporary tree: its directories are private to the
    # user running the tests, and the server may run as another.
    server = PostgreSQL(Path(tempfile.mkdtemp(prefix="zemo-pg-")), bindir)
    try:
        server.start(fsync=fsync)
        yield server
    finally:
        server.stop()
        shutil.rmtree(server.base, ignore_errors=True)


@pytest.fixture(scope="session")
def postgres() -> Iterator[PostgreSQL]:
    reason = skip_reason()
    if reason:
        pytest.skip(reason)
    with running_server() as server:
        yield server
