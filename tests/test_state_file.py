"""PipelineState: queries, updates and resume checks; the saved file's exact
layout and round trip; loading with version migration, refusing bad files
with a clear error, and replacing the file atomically and durably on save."""

import json
import os
import re
import shutil
import stat
import subprocess
import sys

import pytest

from zemo_etl.state import PipelineState

PIPELINE_STEPS = ["create_schema", "import_csv", "create_indexes", "dedup", "import_tracks",
                  "create_track_indexes", "prune", "vacuum", "set_logged"]
SETTINGS = '"database_url": "u", "csv_dir": "d"'


def load_file(tmp_path, version, steps) -> PipelineState:
    path = tmp_path / "s.json"
    path.write_text(json.dumps({"version": version, "database_url": "u", "csv_dir": "d", "steps": steps}))
    return PipelineState.load(str(path))


def load_error(path) -> str:
    with pytest.raises(RuntimeError) as info:
        PipelineState.load(str(path))
    return str(info.value)


def completed(*names):
    return {name: {"status": "completed"} for name in names}


def test_queries_and_marks_on_listed_and_unlisted_steps(tmp_path):
    state = PipelineState("postgresql:///etl", "/data/csv", ["create_schema"])
    assert (state.step_status("create_schema"), state.step_error("create_schema")) == ("pending", None)
    assert (state.step_status("dedup"), state.step_error("dedup"), state.is_completed("dedup")) == ("unknown", None, False)
    state.mark_failed("dedup", "boom")
    state.mark_failed("dedup", "again")
    assert (state.step_status("dedup"), state.step_error("dedup")) == ("failed", "again")
    state.mark_completed("dedup")
    assert (state.step_status("dedup"), state.step_error("dedup"), state.is_completed("dedup")) == ("completed", None, True)
    # Steps are a sequence of str, deduplicated in order, but not a str.
    PipelineState("u", "d", ("a", "b", "a")).save(str(tmp_path / "s.json"))
    assert list(json.loads((tmp_path / "s.json").read_text())["steps"]) == ["a", "b"]
    with pytest.raises(TypeError, match=r"^argument 'steps': Can't extract `str` to `Vec`$"):
        PipelineState("u", "d", "create_schema")


@pytest.mark.parametrize(("csv_dir", "got", "message"), [
    ("/data/csv", "/data/csv/", r'"/data/csv", got "/data/csv/"'),  # no path normalisation
    ('say "hi" C:\\csv\tr\rn\nz\x00', "x", r'"say \"hi\" C:\\csv\tr\rn\nz\0", got "x"'),
    ("bell\x07 del\x7f nbsp\u00a0 zwsp\u200b bom\ufeff café 日本 🎵 it's", "x",
     r'"bell\u{7} del\u{7f} nbsp\u{a0} zwsp\u{200b} bom\u{feff} café 日本 🎵 it' + "'s\", got \"x\""),
])
def test_validate_resume_quotes_values_so_invisible_differences_show(csv_dir, got, message):
    state = PipelineState("a", csv_dir, [])
    assert state.validate_resume(db_url="a", csv_dir=csv_dir) is None
    with pytest.raises(ValueError) as info:
        state.validate_resume("a", got)
    assert str(info.value) == f"csv_dir mismatch: state has {message}"
    # Only the first mismatch is reported.
    with pytest.raises(ValueError, match='^database_url mismatch: state has "a", got "b"$'):
        state.validate_resume("b", got)


@pytest.mark.parametrize("text", ["".join(map(chr, range(0x20))) + '"\\/\x7f Björk — 日本語 🎵', ""])
def test_written_layout_and_round_trip(tmp_path, text):
    # The standard library's layout and choice of escapes, non-ASCII as raw UTF-8.
    path = tmp_path / "state.json"
    state = PipelineState(text, text + "/csv", ["create_schema", text])
    state.mark_failed(text + "!", text)
    state.mark_completed("create_schema")
    state.save(str(path))
    steps = {"create_schema": {"status": "completed"}, text: {"status": "pending"},
             text + "!": {"status": "failed", "error": text}}
    saved = {"version": 3, "database_url": text, "csv_dir": text + "/csv",
             "steps": dict(sorted(steps.items(), key=lambda item: item[0].encode()))}
    assert path.read_bytes() == (json.dumps(saved, indent=2, ensure_ascii=False) + "\n").encode()
    loaded = PipelineState.load(str(path))
    loaded.validate_resume(text, text + "/csv")
    assert [loaded.step_status(s) for s in (*steps, "dedup")] == ["completed", "pending", "failed", "unknown"]
    assert loaded.step_error(text + "!") == text
    PipelineState("u", "d", []).save(str(path))
    assert path.read_text().endswith('"csv_dir": "d",\n  "steps": {}\n}\n')


@pytest.mark.parametrize(("version", "in_file", "done_after_load"), [
    (1, completed("import_csv", "create_indexes", "vacuum"),
     {"import_csv", "create_indexes", "vacuum", "import_tracks", "create_track_indexes", "set_logged"}),
    (1, completed("dedup", "prune"), {"dedup", "prune", "create_track_indexes"}),
    # Steps the old pipeline did not have count only through the rules.
    (1, completed("import_tracks", "create_track_indexes", "set_logged"), set()),
    (2, completed("vacuum", "import_tracks"), {"vacuum", "import_tracks", "set_logged"}),
    (2, completed("set_logged"), set()), (1, [], set()), (2, None, set()),
])
def test_old_versions_migrate_to_the_current_pipeline(tmp_path, version, in_file, done_after_load):
    state = load_file(tmp_path, version, in_file)
    assert {n: state.step_status(n) for n in PIPELINE_STEPS} == {
        n: "completed" if n in done_after_load else "pending" for n in PIPELINE_STEPS}


@pytest.mark.parametrize("version", [1, 2**32 + 3])  # the version is read from its low 32 bits
def test_entries_are_read_alike_in_every_version_and_saved_as_the_current_one(tmp_path, version):
    odd = {"import_csv": {"status": "FAILED", "error": "x"}, "create_indexes": {"status": 1}, "vacuum": "completed"}
    state = load_file(tmp_path, version, {"dedup": {"status": "failed", "error": "disk full"}, **odd,
                                          "prune": {"status": "failed", "error": 5}, "other": {"status": "completed"}})
    # An old file's steps are the pipeline's; a current file's are its own.
    names = PIPELINE_STEPS if version == 1 else ["dedup", *odd, "prune", "other"]
    assert [(state.step_status(n), state.step_error(n)) for n in ("dedup", *odd, "prune", "other", "set_logged")] == [
        ("failed", "disk full"), *[("pending", None)] * len(odd), ("failed", None),
        ("unknown" if version == 1 else "completed", None), ("pending" if version == 1 else "unknown", None)]
    state.save(str(tmp_path / "s.json"))
    saved = json.loads((tmp_path / "s.json").read_text())
    assert (saved["version"], sorted(saved["steps"])) == (3, sorted(names))
    assert saved["steps"]["prune"] == {"status": "failed"}  # no error text, no "error" member


MISSING_VERSION = [f'{{"version": {v}, {SETTINGS}, "steps": {{}}}}'
                   for v in ('"3"', "3.0", "3e0", "-1", "-0", "18446744073709551619", "null")]
# Nesting up to 128 levels (not counted inside strings); none no stack could
# follow, numbers no type holds, a byte order mark.
MISSING_VERSION += ["[3]", "[" * 128 + "]" * 128]
NOT_JSON = ["", '{"version": 3} {}', f'{{"version": 3, {SETTINGS}, "steps": {{"\\ud800": {{}}}}}}',
            "[" * 129 + "]" * 129, "[" * 300_000 + "]" * 300_000, '{"a":' * 300_000 + "}" * 300_000,
            "[" * 1_000_000, f'{{"version": 3, {SETTINGS}, "steps": {{}}, "x": {"[" * 200_000 + "]" * 200_000}}}',
            '{"version": ' + "9" * 1_000_000 + "}", f'{{"version": 3, {SETTINGS}, "steps": {{}}, "x": 1e999999999}}',
            '\ufeff{"version": 3}']


@pytest.mark.parametrize(("text", "message"), [
    *[(text, "Missing version field in state file") for text in MISSING_VERSION],
    *[(text, "parsing state JSON") for text in NOT_JSON],
    ('{"version": 0}', "Unsupported state file version 0 (expected 3)"),
    (f'{{"version": 4, {SETTINGS}, "steps": {{}}}}', "Unsupported state file version 4 (expected 3)"),
    ('{"version": 3, "database_url": null}', "missing database_url"),
    ('{"version": 1, "database_url": "u", "csv_dir": 5, "steps": {}}', "missing csv_dir"),
    (f'{{"version": 2, {SETTINGS}}}', "missing steps"),
    (f'{{"version": 3, {SETTINGS}, "steps": null}}', "steps must be an object"),
    ('{"version": 3, "database_url": "' + "[" * 500 + '", "csv_dir": "\\"[", "steps": null}',
     "steps must be an object"),
], ids=lambda v: v[:40] if isinstance(v, str) else None)
def test_bad_files_fail_with_the_outermost_message(tmp_path, text, message):
    (tmp_path / "s.json").write_text(text, encoding="utf-8")
    assert load_error(tmp_path / "s.json") == message


def test_unreadable_files_fail_with_reading_and_the_path_as_passed(tmp_path):
    (tmp_path / "latin1.json").write_bytes(b'{"version": 3, "database_url": "caf\xe9"}')
    (tmp_path / "bad.json").write_bytes(b'{"version": 3, "x": "\xc3\x28"}')
    (tmp_path / "s").write_text(f'{{"version": 3, {SETTINGS}, "steps": {{}}}}')
    relative = os.path.relpath(tmp_path / "absent.json")
    # A NUL byte must not cut the path short and open another file.
    for path in (tmp_path / "latin1.json", tmp_path / "bad.json", tmp_path, relative, f"{tmp_path}/s\0.json"):
        assert load_error(path) == f"reading {path}"
    # A FIFO is refused, not waited on: in a child, so that a wait fails the test.
    os.mkfifo(tmp_path / "fifo")
    assert child(LOAD, str(tmp_path / "fifo")).stdout == f"reading {tmp_path / 'fifo'}\n"


def test_large_files_load(tmp_path):
    steps = {f"s{i}": {"status": "failed", "error": "e" * 80} for i in range(200_000)}
    steps["s7"] = {"status": "completed"}
    path = tmp_path / "s.json"
    text = json.dumps({"version": 3, "database_url": "u", "csv_dir": "d", "steps": steps}, indent=2)
    path.write_text(text[:-1] + ', "x": 0.' + "1" * 1_000_000 + "}")  # 20 MB, and a number no double holds
    state = PipelineState.load(str(path))
    assert [state.step_status(n) for n in ("s7", "s8", "dedup")] == ["completed", "failed", "unknown"]


def save_error(path) -> str:
    with pytest.raises(RuntimeError) as info:
        PipelineState("u", "d", []).save(str(path))
    return str(info.value)


def test_save_writes_a_new_temporary_file_and_renames_it(tmp_path):
    # Links planted at every name a temporary file could once be predicted by
    # are neither followed nor reused, the file is the owner's only, and a
    # reader of the old file keeps seeing it whole. (How the temporary name
    # derives from the target: the C++ runner's.)
    victim = tmp_path / "victim"
    victim.write_text("precious")
    target = tmp_path / "state.tmp"
    for planted in ("state.tmp.tmp", "state.tmp.tmp-", f"state.tmp.tmp-{os.getpid()}"):
        (tmp_path / planted).symlink_to(victim)
    target.write_text("old complete file")
    with open(target) as reader:
        PipelineState("u", "d", ["x"]).save(str(target))
        assert reader.read() == "old complete file"
    assert json.loads(target.read_text())["steps"] == {"x": {"status": "pending"}}
    assert (victim.read_text(), stat.S_IMODE(target.stat().st_mode)) == ("precious", 0o600)
    assert len(list(tmp_path.iterdir())) == 5 and not target.is_symlink()


def test_failed_saves_name_the_temporary_file_and_leave_the_target(tmp_path):
    # The temporary name: the derived stem, "-" and 12 random letters.
    temp = re.escape(str(tmp_path / "no" / "s.tmp")) + "-[A-Za-z0-9]{12}"
    assert re.fullmatch(f"writing temp state file {temp}", save_error(tmp_path / "no" / "s.json"))
    for name, temp in (("s\0.json", "s\0.tmp"), ("s.js\0on", "s.tmp")):
        assert save_error(f"{tmp_path}/{name}") == f"writing temp state file {tmp_path}/{temp}"
    # A failed rename removes the temporary file.
    (tmp_path / "s.json").mkdir()
    (tmp_path / "s.json" / "keep").touch()
    temp = re.escape(str(tmp_path / "s.tmp")) + "-[A-Za-z0-9]{12}"
    assert re.fullmatch(f"renaming {temp} to {re.escape(str(tmp_path / 's.json'))}", save_error(tmp_path / "s.json"))
    assert [p.name for p in tmp_path.iterdir()] == ["s.json"]


def child(code: str, *args: str, prefix=()) -> subprocess.CompletedProcess:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([*prefix, sys.executable, "-c", code, *args], env=env, capture_output=True, text=True,
                          timeout=120)


LOAD = """import sys
from zemo_etl.state import PipelineState
try:
    PipelineState.load(sys.argv[1])
except RuntimeError as e:
    print(e)
"""
SAVE = "import sys\nfrom zemo_etl.state import PipelineState\nPipelineState('u', 'd', ['a']).save(sys.argv[1])"


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
def test_save_flushes_the_file_before_the_rename_and_the_directory_after(tmp_path):
    (tmp_path / "data").mkdir()
    target, log = tmp_path / "data" / "state.json", tmp_path / "trace.log"
    trace = ("strace", "-f", "-o", str(log), "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,openat")
    result = child(SAVE, str(target), prefix=trace)
    if result.returncode != 0 and "ptrace" in result.stderr:
        pytest.skip("tracing is not permitted here")
    assert result.returncode == 0, result.stderr
    calls = [line.split(None, 1)[1] for line in log.read_text().splitlines() if " = " in line]

    def first(predicate, after=-1):
        return next(i for i, call in enumerate(calls) if i > after and predicate(call))

    def fd(i):
        return calls[i].rsplit("= ", 1)[1].split()[0]

    open_temp = first(lambda c: c.startswith("openat(") and f'"{target.parent}/state.tmp-' in c and "O_EXCL" in c)
    temp = re.search(r'"([^"]*)"', calls[open_temp]).group(1)
    sync_temp = first(lambda c: c.startswith((f"fsync({fd(open_temp)})", f"fdatasync({fd(open_temp)})")), open_temp)
    rename = first(lambda c: c.startswith("rename") and f'"{temp}"' in c and f'"{target}"' in c)
    open_dir = first(lambda c: c.startswith("openat(") and f'"{target.parent}"' in c and "O_DIRECTORY" in c)
    sync_dir = first(lambda c: c.startswith(f"fsync({fd(open_dir)})"), open_dir)
    assert open_temp < sync_temp < rename < open_dir < sync_dir
    assert json.loads(target.read_text())["steps"] == {"a": {"status": "pending"}}
