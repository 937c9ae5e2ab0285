"""The package's types as a checker sees them: mypy --strict.

The README's Python examples (one module per section) must check clean. In
typed/calls.py every line marked `# error: CODE` must be reported with that
code, and no other line at all: right calls pass with the types they
promise, wrong ones (a str for a column, a list of str or None, a typo in an
explain key) fail. One mypy run per script, its cache in a temporary folder.
Calls into dask and distributed, which declare no types, are not counted.
"""

import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys

import pytest

from shared import sections

pytest.importorskip("mypy", reason="mypy is not installed (pip install '.[test]')")

HERE = os.path.dirname(os.path.abspath(__file__))
MARK = re.compile(r"#\s*error:\s*([\w-]+)")
REPORTED = re.compile(r"^(?P<file>[^:\n]+):(?P<line>\d+): error: .*\[(?P<code>[\w-]+)\]$", re.M)


def _missing():
    modules = [m for m in ("numpy", "pandas", "polars", "pyarrow", "dask", "distributed")
               if importlib.util.find_spec(m) is None]
    for stubs in ("pandas-stubs", "pyarrow-stubs"):
        try:
            importlib.metadata.distribution(stubs)
        except importlib.metadata.PackageNotFoundError:
            modules.append(stubs)
    return modules


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    if _missing():
        pytest.skip(f"needs {', '.join(_missing())} (pip install '.[test]')")
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*files):
        """{(file name, line): code} of every error mypy --strict reports."""
        # mypy reads the stubs and never loads the extension: no sanitizer runtime for it.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--cache-dir", str(cache),
                               "--untyped-calls-exclude=dask", "--untyped-calls-exclude=distributed", *map(str, files)],
                              capture_output=True, text=True, timeout=300, env=env)
        errors = {(os.path.basename(m["file"]), int(m["line"])): m["code"] for m in REPORTED.finditer(done.stdout)}
        assert done.returncode in (0, 1) and (done.returncode == 1) == bool(errors), done.stdout + done.stderr
        return errors, done.stdout

    return run


def test_readme_examples_check_clean(mypy, tmp_path):
    files = []
    for k, (title, blocks) in enumerate(sections()):
        code = "\n".join(code for language, code, _ in blocks if language == "python")
        if code:
            files.append(tmp_path / f"readme_section_{k}.py")
            files[-1].write_text(f"# {title}\n{code}", encoding="utf-8")
    assert len(files) >= 4
    errors, output = mypy(*files)
    assert errors == {}, output


def test_wrong_calls_fail_where_marked_and_only_there(mypy):
    path = os.path.join(HERE, "typed", "calls.py")
    with open(path, encoding="utf-8") as f:
        marked = {("calls.py", n): m.group(1) for n, line in enumerate(f, 1) if (m := MARK.search(line))}
    assert len(marked) >= 10
    errors, output = mypy(path)
    assert errors == marked, output
