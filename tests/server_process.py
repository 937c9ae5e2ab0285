# What the private database servers of the tests share: an environment
# without the sanitizer runtime, waiting for the server to answer, and a
# shutdown by the PID of the process the test started.

from __future__ import annotations

import os
import signal
import subprocess
import time
from collections.abc import Callable
from pathlib import Path
from typing import Optional


def clean_env(drop_prefix: str = "") -> dict[str, str]:
    # Under the sanitizer run the test process preloads the sanitizer runtime;
    # the server and its tools must not inherit it.
    drop = {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONPATH"}
    return {k: v for k, v in os.environ.items()
            if k not in drop and not (drop_prefix and k.startswith(drop_prefix))}


class ServerProcess:
    name = "server"
    stop_signal = signal.SIGTERM

    log: Path
    process: Optional[subprocess.Popen[bytes]] = None

    def wait_until_ready(self, ready: Callable[[], bool], timeout: float, interval: float) -> None:
        assert self.process is not None
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"{self.name} exited at start-up:\n{self._log_tail()}")
            if ready():
                return
            time.sleep(interval)
        raise RuntimeError(f"{self.name} did not answer within {timeout:.0f} s:\n{self._log_tail()}")

    def stop(self) -> None:
        if self.process is None or self.process.poll() is not None:
            return
        self.process.send_signal(self.stop_signal)
        try:
            self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()

    def _log_tail(self) -> str:
        try:
            return "\n".join(self.log.read_text(errors="replace").splitlines()[-20:])
        except OSError:
            return "(no log)"
