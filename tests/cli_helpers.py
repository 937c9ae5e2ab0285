"""Running the command line as a user does, and what its tests check of it."""

import csv
import functools
import io
import os
import subprocess
import sys

import pytest

from zemo_etl import cli, job

SAMPLE_DUMP = str(job.SAMPLE_DATA / "library.sql")
SAMPLE_RELEASES = str(job.SAMPLE_DATA / "releases.csv")
# Text that would drive a terminal: a title, a cleared screen, a forged line.
HOSTILE = "\x1b]0;PWNED\x07\x1b[2J\x1b[1A\x1b[2K[done] all good\r\u202e\u2028\x9b"


def zemo(*args, input=None, cwd=None, timeout=120, env=None, text=True, **streams):
    """`zemo-etl ARGS` in a subprocess, progress off, standard output and
    error captured unless `streams` give them. The timeout turns a regression
    that blocks (a FIFO read) into a failure."""
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, **streams}
    return subprocess.run([sys.executable, "-m", "zemo_etl", *map(str, args)], input=input, text=text,
                          encoding="utf-8" if text else None, cwd=cwd, timeout=timeout,
                          env={**os.environ, "ZEMO_ETL_PROGRESS": "off", **(env or {})}, **streams)


def one_line_error(done, *words, status=2):
    assert done.returncode == status, (done.stdout, done.stderr)
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in done.stderr, done.stderr
    assert all(w in lines[0] for w in words), lines[0]


def parse_csv(s):
    return list(csv.reader(io.StringIO(s)))


def read_csv(path):
    with open(path, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def write(path, content):
    path.write_text(content, encoding="utf-8")
    return path


def run_main(capsys, *args, input="x\n"):
    """The command line in this process, standard input holding `input`: as
    zemo() returns it, for what is not about the process itself."""
    capsys.readouterr()  # what came before is not this command's
    stdin = sys.stdin
    sys.stdin = io.TextIOWrapper(io.BytesIO(input.encode()), encoding="utf-8")
    try:
        status = cli.main([os.fspath(a) for a in args])
    except SystemExit as e:  # argparse, on a usage error
        status = e.code
    finally:
        sys.stdin = stdin
    out, err = capsys.readouterr()
    return subprocess.CompletedProcess(args, status, out, err)


@pytest.fixture
def main(capsys):
    """run_main() bound to the test's captured output."""
    return functools.partial(run_main, capsys)
