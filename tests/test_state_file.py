"""The state file: loading with version migration, refusing bad files with a
clear error, and replacing the file atomically and durably on save."""

import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import zemo_etl
from zemo_etl.state import PipelineState

PIPELINE_STEPS = ["create_schema", "import_csv", "create_indexes", "dedup", "import_tracks",
                  "create_track_indexes", "prune", "vacuum", "set_logged"]


def write_state(path: Path, version, steps, **members) -> str:
    doc = {"version": version, "database_url": "postgresql:///etl", "csv_dir": "/data/csv", "steps": steps}
    doc.update(members)
    path.write_text(json.dumps(doc))
    return str(path)


def completed(*names):
    return {name: {"status": "completed"} for name in names}


def statuses(state, names=PIPELINE_STEPS):
    return {name: state.step_status(name) for name in names}


def load_error(path) -> str:
    with pytest.raises(RuntimeError) as info:
        PipelineState.load(str(path))
    assert info.value.__cause__ is None
    return str(info.value)


# ---------------------------------------------------------------------------
# Versions and migration


@pytest.mark.parametrize(
    ("done_in_file", "done_after_load"),
    [
        (["import_csv", "create_indexes", "vacuum"],
         {"import_csv", "create_indexes", "vacuum", "import_tracks", "create_track_indexes", "set_logged"}),
        (["dedup"], {"dedup", "create_track_indexes"}),
        (["create_schema", "prune"], {"create_schema", "prune"}),
        # Steps a version-1 pipeline did not have count only through the rules.
        (["import_tracks", "create_track_indexes", "set_logged"], set()),
    ],
)
def test_version_1_migrates_to_the_current_pipeline(tmp_path, done_in_file, done_after_load):
    path = write_state(tmp_path / "s.json", 1, completed(*done_in_file))
    state = PipelineState.load(path)
    assert statuses(state) == {n: "completed" if n in done_after_load else "pending" for n in PIPELINE_STEPS}


@pytest.mark.parametrize(
    ("done_in_file", "set_logged"),
    [(["vacuum"], "completed"), (["set_logged"], "pending"), (["vacuum", "set_logged"], "completed")],
)
def test_version_2_derives_set_logged_from_vacuum(tmp_path, done_in_file, set_logged):
    state = PipelineState.load(write_state(tmp_path / "s.json", 2, completed(*done_in_file)))
    assert state.step_status("set_logged") == set_logged
    assert state.step_status("import_tracks") == "pending"


@pytest.mark.parametrize("version", [1, 2])
@pytest.mark.parametrize("steps", [[], None, "completed", 7])
def test_old_versions_accept_steps_that_are_not_an_object(tmp_path, version, steps):
    state = PipelineState.load(write_state(tmp_path / "s.json", version, steps))
    assert statuses(state) == dict.fromkeys(PIPELINE_STEPS, "pending")


def test_old_versions_keep_failures_and_save_as_current_version(tmp_path):
    path = write_state(tmp_path / "s.json", 1, {"dedup": {"status": "failed", "error": "disk full"},
                                                 "prune": {"status": "failed"}, "other": {"status": "completed"}})
    state = PipelineState.load(path)
    assert (state.step_status("dedup"), state.step_error("dedup")) == ("failed", "disk full")
    assert (state.step_status("prune"), state.step_error("prune")) == ("failed", None)
    assert state.step_status("other") == "unknown"
    state.save(path)
    saved = json.loads(Path(path).read_text())
    assert saved["version"] == 3
    assert sorted(saved["steps"]) == sorted(PIPELINE_STEPS)
    assert saved["steps"]["prune"] == {"status": "failed"}


def test_version_3_takes_the_files_own_step_set(tmp_path):
    state = PipelineState.load(write_state(tmp_path / "s.json", 3, {}))
    assert statuses(state) == dict.fromkeys(PIPELINE_STEPS, "unknown")
    state = PipelineState.load(write_state(tmp_path / "s.json", 3, {"custom step": {"status": "completed"},
                                                                    "dedup": {}}))
    assert state.step_status("custom step") == "completed"
    assert state.step_status("dedup") == "pending"
    assert state.step_status("create_schema") == "unknown"


@pytest.mark.parametrize(
    "status_object",
    [{"status": "FAILED", "error": "x"}, {"status": "done"}, {"status": "Completed"}, {"status": 1},
     {"status": None}, {}, {"error": "x"}, "completed", None],
)
def test_unrecognised_statuses_leave_the_step_pending(tmp_path, status_object):
    state = PipelineState.load(write_state(tmp_path / "s.json", 3, {"dedup": status_object}))
    assert state.step_status("dedup") == "pending"
    assert state.step_error("dedup") is None


@pytest.mark.parametrize("error", [None, 5, ["x"]])
def test_failed_step_without_an_error_string_has_no_error(tmp_path, error):
    entry = {"status": "failed"} if error is None else {"status": "failed", "error": error}
    path = write_state(tmp_path / "s.json", 3, {"dedup": entry})
    state = PipelineState.load(path)
    assert (state.step_status("dedup"), state.step_error("dedup")) == ("failed", None)
    state.save(path)
    assert json.loads(Path(path).read_text())["steps"]["dedup"] == {"status": "failed"}


def test_version_is_read_from_its_low_32_bits_and_extra_members_are_ignored(tmp_path):
    path = write_state(tmp_path / "s.json", 2**32 + 3, completed("dedup"), comment={"a": [1, 2]})
    state = PipelineState.load(path)
    assert statuses(state, ["dedup", "vacuum"]) == {"dedup": "completed", "vacuum": "unknown"}


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ('{"database_url": "u", "csv_dir": "d", "steps": {}}', "Missing version field in state file"),
        ('{"version": "3", "database_url": "u", "csv_dir": "d", "steps": {}}', "Missing version field in state file"),
        ('{"version": 3.0, "database_url": "u", "csv_dir": "d", "steps": {}}', "Missing version field in state file"),
        ('{"version": 3e0, "database_url": "u", "csv_dir": "d", "steps": {}}', "Missing version field in state file"),
        ('{"version": -1, "database_url": "u", "csv_dir": "d", "steps": {}}', "Missing version field in state file"),
        ('{"version": -0, "database_url": "u", "csv_dir": "d", "steps": {}}', "Missing version field in state file"),
        ('{"version": 18446744073709551619, "database_url": "u", "csv_dir": "d", "steps": {}}',
         "Missing version field in state file"),
        ("[3]", "Missing version field in state file"),
        ("3", "Missing version field in state file"),
        ('{"version": 0}', "Unsupported state file version 0 (expected 3)"),
        ('{"version": 4, "database_url": "u", "csv_dir": "d", "steps": {}}',
         "Unsupported state file version 4 (expected 3)"),
        ('{"version": 4294967295}', "Unsupported state file version 4294967295 (expected 3)"),
        ('{"version": 3}', "missing database_url"),
        ('{"version": 3, "database_url": null, "csv_dir": "d", "steps": {}}', "missing database_url"),
        ('{"version": 1, "database_url": "u", "csv_dir": 5, "steps": {}}', "missing csv_dir"),
        ('{"version": 2, "database_url": "u", "csv_dir": "d"}', "missing steps"),
        ('{"version": 3, "database_url": "u", "csv_dir": "d", "steps": null}', "steps must be an object"),
        ('{"version": 3, "database_url": "u", "csv_dir": "d", "steps": []}', "steps must be an object"),
        ("", "parsing state JSON"),
        ('{"version": 3,', "parsing state JSON"),
        ('{"version": 3} {}', "parsing state JSON"),
        ("{'version': 3}", "parsing state JSON"),
        ('{"version": 3, "database_url": "\\ud800", "csv_dir": "d", "steps": {}}', "parsing state JSON"),
        ('\ufeff{"version": 3, "database_url": "u", "csv_dir": "d", "steps": {}}', "parsing state JSON"),
    ],
)
def test_bad_files_fail_with_the_outermost_message(tmp_path, text, message):
    path = tmp_path / "s.json"
    path.write_text(text, encoding="utf-8")
    assert load_error(path) == message


def test_surrounding_white_space_is_allowed(tmp_path):
    path = tmp_path / "s.json"
    path.write_text('\n\t {"version": 3, "database_url": "u", "csv_dir": "d", "steps": {}} \r\n')
    PipelineState.load(str(path)).validate_resume("u", "d")


def test_unreadable_files_fail_with_reading_and_the_path_as_passed(tmp_path):
    bad = tmp_path / "latin1.json"
    bad.write_bytes(b'{"version": 3, "database_url": "caf\xe9", "csv_dir": "d", "steps": {}}')
    assert load_error(bad) == f"reading {bad}"
    assert load_error(tmp_path) == f"reading {tmp_path}"
    relative = os.path.relpath(tmp_path / "absent.json")
    assert load_error(relative) == f"reading {relative}"
    # A NUL byte must not cut the path short and open another file.
    write_state(tmp_path / "s", 3, {})
    assert load_error(f"{tmp_path}/s\0.json") == f"reading {tmp_path}/s\0.json"


@pytest.mark.parametrize(("name", "temp"), [("s\0.json", "s\0.tmp"), ("s.js\0on", "s.tmp")])
def test_save_refuses_a_path_with_a_nul_byte(tmp_path, name, temp):
    with pytest.raises(RuntimeError) as info:
        PipelineState("u", "d", []).save(f"{tmp_path}/{name}")
    assert str(info.value) == f"writing temp state file {tmp_path}/{temp}"
    assert list(tmp_path.iterdir()) == []


# ---------------------------------------------------------------------------
# Saving


@pytest.mark.parametrize(
    ("target", "temp"),
    [("state.json", "state.tmp"), ("run.state.json", "run.state.tmp"), ("state", "state.tmp"),
     (".state", ".state.tmp"), ("state.tmp", "state.tmp.tmp")],
)
def test_save_writes_through_the_derived_temporary_file(tmp_path, target, temp):
    # A directory in the temporary file's place makes the write fail and
    # shows which name was used; the target is left as it was.
    (tmp_path / target).write_text("old")
    (tmp_path / temp).mkdir()
    with pytest.raises(RuntimeError) as info:
        PipelineState("u", "d", []).save(str(tmp_path / target))
    assert str(info.value) == f"writing temp state file {tmp_path / temp}"
    assert (tmp_path / target).read_text() == "old"


@pytest.mark.parametrize("name", ["state.json", "state.tmp", "state"])
def test_save_replaces_the_target_atomically(tmp_path, name):
    target = tmp_path / name
    target.write_text("old complete file")
    with open(target) as reader:  # a reader of the old file keeps seeing it whole
        PipelineState("u", "d", ["x"]).save(str(target))
        assert reader.read() == "old complete file"
    assert json.loads(target.read_text())["steps"] == {"x": {"status": "pending"}}
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]


def test_save_into_a_missing_directory_names_the_temporary_file(tmp_path):
    with pytest.raises(RuntimeError) as info:
        PipelineState("u", "d", []).save(str(tmp_path / "missing" / "state.json"))
    assert str(info.value) == f"writing temp state file {tmp_path / 'missing' / 'state.tmp'}"


def test_failed_rename_leaves_the_target_and_the_temporary_file(tmp_path):
    target = tmp_path / "state.json"
    target.mkdir()
    (target / "keep").write_text("x")
    with pytest.raises(RuntimeError) as info:
        PipelineState("u", "d", []).save(str(target))
    assert str(info.value) == f"renaming {tmp_path / 'state.tmp'} to {target}"
    assert (target / "keep").read_text() == "x"
    assert json.loads((tmp_path / "state.tmp").read_text())["version"] == 3


def test_save_does_not_follow_a_link_planted_at_the_temporary_name(tmp_path):
    victim = tmp_path / "victim.txt"
    victim.write_text("precious")
    (tmp_path / "state.tmp").symlink_to(victim)
    (tmp_path / "state.json").write_text("old")
    with pytest.raises(RuntimeError, match="^writing temp state file "):
        PipelineState("u", "d", []).save(str(tmp_path / "state.json"))
    assert victim.read_text() == "precious"
    assert (tmp_path / "state.json").read_text() == "old"


# ---------------------------------------------------------------------------
# Checks that run in a child interpreter, so that a crash or a hang fails the
# test instead of ending the test run.


def run_child(code: str, *args: str, cwd: Path, timeout: float = 120, prefix=()) -> subprocess.CompletedProcess:
    package_root = str(Path(os.path.abspath(zemo_etl.__file__)).parent.parent)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([package_root, *sys.path]))
    return subprocess.run([*prefix, sys.executable, "-c", code, *args], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=timeout)


LOAD = """
import sys
from zemo_etl.state import PipelineState
try:
    state = PipelineState.load(sys.argv[1])
except RuntimeError as e:
    print("RuntimeError:", e)
else:
    print("loaded", *(state.step_status(name) for name in sys.argv[2:]))
"""


def hostile_files(tmp_path: Path):
    def deep(open_, close, depth=300_000):
        return lambda p: p.write_text(open_ * depth + close * depth)

    def many_steps(p):
        steps = {f"step-{i:06d}-{'x' * 20}": {"status": "failed", "error": "e" * 40} for i in range(200_000)}
        steps["step-000007-" + "x" * 20] = {"status": "completed"}
        p.write_text(json.dumps({"version": 3, "database_url": "u", "csv_dir": "d", "steps": steps}, indent=2))
        assert p.stat().st_size > 20_000_000

    def member(value_text):
        return lambda p: p.write_text('{"version": 3, "database_url": "u", "csv_dir": "d", "steps": {}, "x": '
                                      + value_text + "}")

    return [
        ("nested arrays", deep("[", "]"), "RuntimeError: parsing state JSON"),
        ("nested objects", deep('{"a":', "}"), "RuntimeError: parsing state JSON"),
        ("unclosed nesting", lambda p: p.write_text("[" * 1_000_000), "RuntimeError: parsing state JSON"),
        ("nested inside a member", member("[" * 200_000 + "]" * 200_000), "RuntimeError: parsing state JSON"),
        ("huge integer", lambda p: p.write_text('{"version": ' + "9" * 1_000_000 + "}"),
         "RuntimeError: parsing state JSON"),
        ("huge exponent", member("1e999999999"), "RuntimeError: parsing state JSON"),
        ("long fraction", member("0." + "1" * 1_000_000), "loaded unknown unknown unknown"),
        ("invalid UTF-8", lambda p: p.write_bytes(b'{"version": 3, "x": "\xc3\x28"}'), "RuntimeError: reading {}"),
        ("byte order mark", lambda p: p.write_bytes(b'\xef\xbb\xbf{"version": 3}'), "RuntimeError: parsing state JSON"),
        ("directory", lambda p: p.mkdir(), "RuntimeError: reading {}"),
        ("fifo", lambda p: os.mkfifo(p), "RuntimeError: reading {}"),
        ("200,000 steps in 20 MB", many_steps, "loaded completed failed unknown"),
    ]


@pytest.mark.parametrize("index", range(12), ids=[case[0] for case in hostile_files(Path())])
def test_hostile_file_gives_a_clear_error(tmp_path, index):
    _, make, expected = hostile_files(tmp_path)[index]
    path = tmp_path / "state.json"
    make(path)
    result = run_child(LOAD, str(path), "step-000007-" + "x" * 20, "step-000008-" + "x" * 20, "dedup", cwd=tmp_path)
    assert result.returncode == 0, result.stderr[-2000:]
    assert result.stdout.strip() == expected.format(path).strip()


SAVE = """
import sys
from zemo_etl.state import PipelineState
state = PipelineState("u", "d", ["create_schema"])
state.mark_completed("create_schema")
state.save(sys.argv[1])
"""


@pytest.mark.skipif(shutil.which("strace") is None, reason="strace is not installed")
@pytest.mark.parametrize("name", ["state.json", "state.tmp"])
def test_save_flushes_the_file_before_the_rename_and_the_directory_after(tmp_path, name):
    log = tmp_path / "trace.log"
    target = tmp_path / "data" / name
    target.parent.mkdir()
    temp = str(target) + ".tmp" if name.endswith(".tmp") else str(target.with_suffix(".tmp"))
    result = run_child(SAVE, str(target), cwd=tmp_path, prefix=(
        "strace", "-f", "-o", str(log), "-e", "trace=fsync,fdatasync,rename,renameat,renameat2,openat"))
    if result.returncode != 0 and "ptrace" in result.stderr:
        pytest.skip("tracing is not permitted here")
    assert result.returncode == 0, result.stderr
    calls = [line.split(None, 1)[1] for line in log.read_text().splitlines() if " = " in line]

    def position(predicate, after=-1):
        found = [i for i, call in enumerate(calls) if i > after and predicate(call)]
        assert found, calls[-10:]
        return found[0]

    def fd_of(call):
        return call.rsplit("= ", 1)[1].split()[0]

    open_temp = position(lambda c: c.startswith("openat(") and f'"{temp}"' in c and "O_WRONLY" in c)
    rename = position(lambda c: c.startswith("rename") and f'"{temp}"' in c and f'"{target}"' in c)
    open_dir = position(lambda c: c.startswith("openat(") and f'"{target.parent}"' in c and "O_DIRECTORY" in c)
    temp_fd, dir_fd = fd_of(calls[open_temp]), fd_of(calls[open_dir])
    sync_temp = position(lambda c: c.startswith((f"fsync({temp_fd})", f"fdatasync({temp_fd})")), after=open_temp)
    sync_dir = position(lambda c: c.startswith(f"fsync({dir_fd})"), after=open_dir)
    assert open_temp < sync_temp < rename < open_dir < sync_dir
    assert json.loads(target.read_text())["steps"] == {"create_schema": {"status": "completed"}}
