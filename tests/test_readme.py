"""The README's examples, run as written.

Blocks of one `## ` section run in order in one folder, Python blocks in one
namespace, so an example may continue the one before it. A Python expression
whose comment starts with a literal (`# 'bjork'`, `# [True, False]`) must
equal it. A ```sh block that calls `zemo-etl` runs under `bash -e`; a
```console block is a transcript: each `$ ` line runs and each line it shows
must appear in the output, numbers and `...` matching anything. `<!-- skip-test: why -->` just
before a block leaves it out (a database server, a terminal).
"""

import ast
import importlib.util
import io
import os
import re
import shlex
import subprocess
import sys
import tokenize

import pytest

from shared import README, sections

OPTIONAL = {"pandas", "numpy", "pyarrow", "polars", "dask", "distributed", "psycopg", "tqdm"}
LITERAL_START = re.compile(r"""['"\[({\d-]|True\b|False\b|None\b""")


def _expected(comment):
    """The literal a result comment starts with, or a sentinel."""
    text = comment.lstrip("#").strip()
    if not LITERAL_START.match(text):
        return _NOTHING
    for end in range(len(text), 0, -1):
        try:
            return ast.literal_eval(text[:end].strip())
        except (ValueError, SyntaxError, MemoryError, RecursionError):
            continue
    return _NOTHING


_NOTHING = object()


def run_python(code, first_line, namespace):
    """Runs a block; an expression statement whose comment starts with a literal
    (on its line, or alone on the next), at any depth, must equal that literal."""
    comments, code_lines = {}, set()
    for tok in tokenize.generate_tokens(io.StringIO(code).readline):
        if tok.type == tokenize.COMMENT:
            comments[tok.start[0]] = tok.string
        elif tok.type not in (tokenize.NL, tokenize.NEWLINE, tokenize.INDENT, tokenize.DEDENT, tokenize.ENDMARKER):
            code_lines.add(tok.start[0])
    tree, expectations = ast.parse(code), []
    for node in ast.walk(tree):
        for stmts in (getattr(node, field, None) for field in ("body", "orelse", "finalbody")):
            for k, stmt in enumerate(stmts if isinstance(stmts, list) else []):
                end = stmt.end_lineno
                comment = comments.get(end) or (comments.get(end + 1) if end + 1 not in code_lines else None)
                expected = _expected(comment) if isinstance(stmt, ast.Expr) and comment else _NOTHING
                if expected is not _NOTHING:
                    expectations.append((expected, first_line + end - 1))
                    call = ast.Call(ast.Name("__readme_check", ast.Load()),
                                    [stmt.value, ast.Constant(len(expectations) - 1)], [])
                    stmts[k] = ast.copy_location(ast.Expr(call), stmt)
    ast.fix_missing_locations(tree)
    ast.increment_lineno(tree, first_line - 1)

    def check(value, k):
        expected, line = expectations[k]
        assert value == expected, f"README line {line}: got {value!r}, the README says {expected!r}"

    namespace["__readme_check"] = check
    exec(compile(tree, str(README), "exec"), namespace)


def missing_optional(code):
    names = set(re.findall(r"^\s*(?:from|import) (\w+)", code, re.M))
    return sorted(n for n in names & OPTIONAL if importlib.util.find_spec(n) is None)


def bash(script, cwd, *flags):
    """`script` under bash, `zemo-etl` and `python` being this interpreter and this package."""
    py = shlex.quote(sys.executable)
    prelude = f'zemo-etl() {{ {py} -m zemo_etl "$@"; }}\npython() {{ {py} "$@"; }}\n'
    return subprocess.run(["bash", *flags, "-c", prelude + script], cwd=cwd, capture_output=True, text=True,
                          timeout=600, env={**os.environ, "ZEMO_ETL_PROGRESS": "off"})


def run_shell(script, cwd, line):
    done = bash(script, cwd, "-e", "-o", "pipefail")
    assert done.returncode == 0, f"README line {line}: exit {done.returncode}\n{done.stdout}\n{done.stderr}"


def _pattern(shown):
    # Numbers (counts, timings) and `...` match anything.
    parts = re.split(r"(\.\.\.|\d[\d.,]*)", shown.strip())
    return "".join(".*" if p == "..." else r"[\d.,]+" if p[:1].isdigit() else re.escape(p) for p in parts)


def run_console(transcript, cwd, line):
    """Each `$ ` command, and the lines the transcript shows after it."""
    for command, shown in re.findall(r"^\$ (.*)\n((?:(?!\$ ).*\n)*)", transcript, re.M):
        done = bash(command, cwd)
        output = [o.strip() for o in (done.stdout + done.stderr).splitlines()]
        for expected in filter(str.strip, shown.splitlines()):
            assert any(re.fullmatch(_pattern(expected), o) for o in output), \
                f"README line {line}: `{command}` did not print {expected!r}; it printed:\n" + "\n".join(output)


SECTIONS = sections()


def test_the_readme_has_examples():
    assert sum(len(blocks) for _, blocks in SECTIONS) >= 10


@pytest.mark.parametrize("title,blocks", SECTIONS, ids=[t for t, _ in SECTIONS])
def test_readme_section_runs_as_written(title, blocks, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__main__"}
    for language, code, line in blocks:
        if language == "python":
            missing = missing_optional(code)
            if missing:
                pytest.skip(f"README line {line} needs {', '.join(missing)}")
            run_python(code, line, namespace)
        elif language == "sh":
            run_shell(code, tmp_path, line)
        else:
            run_console(code, tmp_path, line)
