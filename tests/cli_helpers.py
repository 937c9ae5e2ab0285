"""Running the command line as a user does, and what its tests check of it."""

import csv
import io
import os
import subprocess
import sys

from zemo_etl import cli

SAMPLE_DUMP = str(cli.SAMPLE_DATA / "library.sql")
SAMPLE_RELEASES = str(cli.SAMPLE_DATA / "releases.csv")


def zemo(*args, input=None, cwd=None, timeout=120, **kwargs):
    """`zemo-etl ARGS` in a subprocess, progress off. The timeout turns a
    regression that blocks (a FIFO read) into a failure."""
    env = {**os.environ, "ZEMO_ETL_PROGRESS": "off"}
    return subprocess.run([sys.executable, "-m", "zemo_etl", *args], input=input, capture_output=True, text=True,
                          encoding="utf-8", env=env, cwd=cwd, timeout=timeout, **kwargs)


def one_line_error(done, *words, status=2):
    assert done.returncode == status, (done.stdout, done.stderr)
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and "Traceback" not in done.stderr, done.stderr
    assert all(w in lines[0] for w in words), lines[0]


def parse_csv(s):
    return list(csv.reader(io.StringIO(s)))


def write(path, content):
    path.write_text(content, encoding="utf-8")
    return path
