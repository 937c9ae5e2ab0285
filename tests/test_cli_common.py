"""Progress on standard error: a bar or plain lines on a terminal, nothing otherwise."""

import fcntl
import os
import pty
import struct
import subprocess
import sys
import termios

import pytest

from cli_helpers import SAMPLE_DUMP, SAMPLE_RELEASES

CLASSIFY = ["classify", "--library", SAMPLE_DUMP, "--releases", SAMPLE_RELEASES, "-o", os.devnull]


def run_on_terminal(args, env_extra=None, pythonpath=None, size=(24, 100)):
    """Run zemo-etl with standard error on a pseudo-terminal; return what it showed there."""
    env = {k: v for k, v in os.environ.items() if k != "ZEMO_ETL_PROGRESS"}
    env.update(env_extra or {})
    if pythonpath:
        env["PYTHONPATH"] = os.pathsep.join([pythonpath, env.get("PYTHONPATH", "")])
    master, slave = pty.openpty()
    if size:
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", size[0], size[1], 0, 0))
    proc = subprocess.Popen([sys.executable, "-m", "zemo_etl", *args], stdout=subprocess.DEVNULL,
                            stderr=slave, env=env)
    os.close(slave)
    chunks = []
    while True:
        try:
            data = os.read(master, 65536)
        except OSError:  # the terminal's other end is closed
            break
        if not data:
            break
        chunks.append(data)
    os.close(master)
    assert proc.wait(timeout=120) == 0
    return b"".join(chunks).decode("utf-8", "replace")


def test_no_progress_when_stderr_is_not_a_terminal():
    done = subprocess.run([sys.executable, "-m", "zemo_etl", *CLASSIFY], capture_output=True, text=True,
                          env={k: v for k, v in os.environ.items() if k != "ZEMO_ETL_PROGRESS"}, timeout=120)
    assert done.returncode == 0
    assert done.stderr.splitlines() == [done.stderr.strip()]  # the summary alone
    assert done.stderr.startswith("classified 3,000 releases")


@pytest.mark.parametrize("size", [(24, 100), None])  # None: a terminal that reports no size
def test_a_bar_with_tqdm(size):
    pytest.importorskip("tqdm")
    shown = run_on_terminal(CLASSIFY, size=size)
    assert "classify:" in shown and "releases" in shown and "100%|" in shown
    assert shown.rstrip().endswith(" review")  # the bar is cleared before the summary


def test_plain_lines_without_tqdm(tmp_path):
    # A tqdm that cannot be imported, as when the progress extra is not installed.
    (tmp_path / "tqdm.py").write_text("raise ImportError('no tqdm here')\n")
    shown = run_on_terminal(CLASSIFY, pythonpath=str(tmp_path))
    lines = [ln.strip() for ln in shown.splitlines() if ln.strip()]
    assert lines[0].startswith("classify: 3,000/3,000 releases (100%)")
    assert lines[1].startswith("classify: 3,000/3,000 releases (100%)") and lines[1].endswith("done")
    assert lines[2].startswith("classified 3,000 releases")


def test_off_switch_on_a_terminal():
    shown = run_on_terminal(CLASSIFY, env_extra={"ZEMO_ETL_PROGRESS": "off"})
    assert [ln for ln in shown.splitlines() if ln.strip()] == [shown.strip()]
