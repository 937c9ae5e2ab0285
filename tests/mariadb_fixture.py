# A private MariaDB server for tests that need a real dump writer: its own
# data directory and socket under a temporary directory, no TCP port, stopped
# by the PID of the process this module started. Tests are skipped only when
# the server programs are not installed (Debian packages mariadb-server and
# mariadb-client).

from __future__ import annotations

import os
import shutil
import subprocess
from collections.abc import Iterator
from pathlib import Path
from typing import Optional

import pytest

from server_process import ServerProcess, clean_env

SERVER_CANDIDATES = ("mariadbd", "/usr/sbin/mariadbd", "/usr/libexec/mariadbd")
TOOLS = ("mariadb-install-db", "mariadb", "mariadb-dump", "mariadb-admin")


class MariaDB(ServerProcess):
    # A running server (stopped by SIGTERM, a clean shutdown); `sql` and
    # `dump` talk to it over its socket.
    name = "mariadbd"

    def __init__(self, base: Path) -> None:
        self.base, self.datadir, self.socket, self.log = base, base / "data", base / "mysqld.sock", base / "error.log"
        self.env = clean_env()
        self.client = ["--no-defaults", f"--socket={self.socket}", "--user=root"]

    def start(self, server: str) -> None:
        as_root = ["--user=root"] if os.geteuid() == 0 else []
        # A private tmpdir: servers bootstrapping side by side in a shared /tmp
        # remove each other's temporary tables and fail.
        tmpdir = self.base / "tmp"
        tmpdir.mkdir(exist_ok=True)
        small = ["--innodb-log-file-size=8M", "--innodb-buffer-pool-size=32M", f"--tmpdir={tmpdir}"]
        done = subprocess.run(
            ["mariadb-install-db", "--no-defaults", f"--datadir={self.datadir}",
             "--auth-root-authentication-method=normal", "--skip-test-db", *as_root, *small],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=self.env, timeout=180,
        )
        if done.returncode != 0:
            raise RuntimeError(f"mariadb-install-db failed:\n{done.stdout.decode(errors='replace')}")
        self.process = subprocess.Popen(
            [server, "--no-defaults", f"--datadir={self.datadir}", f"--socket={self.socket}",
             f"--pid-file={self.base / 'mysqld.pid'}", f"--log-error={self.log}", "--skip-networking",
             "--character-set-server=utf8mb4", *as_root, *small],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=self.env,
        )
        ping = ["mariadb-admin", *self.client, "ping"]
        self.wait_until_ready(lambda: subprocess.run(ping, capture_output=True, env=self.env).returncode == 0,
                              timeout=90, interval=0.2)

    def sql(self, script: str, database: Optional[str] = None) -> list[list[Optional[str]]]:
        # The rows of the script's last result, NULL as None. Batch mode with
        # --raw prints fields unescaped and tab-separated, so queries whose
        # text results may hold tabs or newlines select HEX().
        args = ["mariadb", *self.client, "--batch", "--raw", "--skip-column-names",
                "--default-character-set=utf8mb4"]
        if database:
            args.append(database)
        done = subprocess.run(args, input=script.encode(), capture_output=True, env=self.env, timeout=120)
        if done.returncode != 0:
            raise RuntimeError(done.stderr.decode(errors="replace"))
        return [[None if f == "NULL" else f for f in line.split("\t")] for line in done.stdout.decode().splitlines()]

    def dump(self, database: str, options: list[str], path: Path) -> Path:
        with open(path, "wb") as out:
            subprocess.run(["mariadb-dump", *self.client, *options, database],
                           stdout=out, check=True, env=self.env, timeout=120)
        return path


@pytest.fixture(scope="module")
def mariadb(tmp_path_factory: pytest.TempPathFactory) -> Iterator[MariaDB]:
    server = next(filter(None, map(shutil.which, SERVER_CANDIDATES)), None)
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if server is None or missing:
        pytest.skip("MariaDB is not installed (Debian packages mariadb-server and mariadb-client): "
                    f"missing {', '.join(missing or ['mariadbd'])}")
    db = MariaDB(tmp_path_factory.mktemp("mariadb"))
    try:
        db.start(server)
        yield db
    finally:
        db.stop()
