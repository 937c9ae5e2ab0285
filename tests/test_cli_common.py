"""Progress on standard error: a bar or plain lines on a terminal, nothing otherwise."""

import fcntl
import os
import pty
import re
import struct
import subprocess
import sys
import termios

import pytest

from cli_helpers import SAMPLE_DUMP, SAMPLE_RELEASES

CLASSIFY = [sys.executable, "-m", "zemo_etl", "classify", "--library", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES,
            "-o", os.devnull]
ENV = {k: v for k, v in os.environ.items() if k != "ZEMO_ETL_PROGRESS"}


def on_terminal(env_extra=None, size=(24, 100)):
    """What `zemo-etl classify` shows on a pseudo-terminal as its standard error."""
    master, slave = pty.openpty()
    if size:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", size[0], size[1], 0, 0))
    proc = subprocess.Popen(CLASSIFY, stdout=subprocess.DEVNULL, stderr=slave, env={**ENV, **(env_extra or {})})
    os.close(slave)
    chunks = []
    try:
        while data := os.read(master, 65536):
            chunks.append(data)
    except OSError:  # the terminal's other end is closed
        pass
    os.close(master)
    assert proc.wait(timeout=120) == 0
    return b"".join(chunks).decode("utf-8", "replace")


def test_no_progress_when_stderr_is_not_a_terminal_or_it_is_switched_off():
    done = subprocess.run(CLASSIFY, capture_output=True, text=True, env=ENV, timeout=120)
    assert done.returncode == 0
    for shown in (done.stderr, on_terminal({"ZEMO_ETL_PROGRESS": "off"})):
        assert shown.strip().splitlines() == [shown.strip()] and shown.startswith("classified 3,000 releases")


@pytest.mark.parametrize("size", [(24, 100), None])  # None: a terminal that reports no size
def test_a_bar_with_tqdm(size):
    pytest.importorskip("tqdm")
    shown = on_terminal(size=size)
    assert "classify:" in shown and "releases" in shown and "100%|" in shown
    assert re.search(r"\r +\rclassified 3,000 releases", shown)  # the bar is cleared before the summary


def test_plain_lines_without_tqdm(tmp_path):
    # A tqdm that cannot be imported, as when the progress extra is not installed.
    (tmp_path / "tqdm.py").write_text("raise ImportError('no tqdm here')\n")
    shown = on_terminal({"PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])})
    lines = [ln.strip() for ln in shown.splitlines() if ln.strip()]
    assert lines[0].startswith("classify: 3,000/3,000 releases (100%)") and len(lines) == 3
    assert lines[1].startswith("classify: 3,000/3,000 releases (100%)") and lines[1].endswith("done")
    assert lines[2].startswith("classified 3,000 releases")
