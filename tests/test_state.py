"""PipelineState as the pipeline uses it: queries, updates, resume checks and
the saved file's exact layout and round trip."""

import json

import pytest

from zemo_etl.state import PipelineState

TRICKY_TEXTS = [
    'quote " inside',
    "back\\slash",
    "tab\tcr\rlf\nff\fbs\b",
    "nul\x00byte",
    "controls \x01\x1f\x7f",
    "non-ASCII Björk — 日本語 🎵",
    "",
]


def test_new_state_reports_listed_steps_pending_and_others_unknown():
    state = PipelineState("postgresql:///etl", "/data/csv", ["create_schema"])
    assert state.step_status("create_schema") == "pending"
    assert state.step_error("create_schema") is None
    assert state.is_completed("create_schema") is False
    assert state.step_status("dedup") == "unknown"
    assert state.is_completed("dedup") is False
    assert state.step_error("dedup") is None


def test_marks_move_between_statuses_and_add_absent_steps():
    state = PipelineState("u", "d", [])
    state.mark_failed("dedup", "boom")
    assert (state.step_status("dedup"), state.step_error("dedup")) == ("failed", "boom")
    state.mark_failed("dedup", "again")
    assert state.step_error("dedup") == "again"
    state.mark_completed("dedup")
    assert state.step_status("dedup") == "completed"
    assert state.is_completed("dedup") is True
    assert state.step_error("dedup") is None
    state.mark_failed("dedup", "")
    assert (state.step_status("dedup"), state.step_error("dedup")) == ("failed", "")


def test_steps_accepts_any_sequence_of_str_and_refuses_a_str(tmp_path):
    state = PipelineState("u", "d", ("a", "b", "a"))
    state.save(str(tmp_path / "s.json"))
    assert list(json.loads((tmp_path / "s.json").read_text())["steps"]) == ["a", "b"]
    with pytest.raises(TypeError, match=r"^argument 'steps': Can't extract `str` to `Vec`$"):
        PipelineState("u", "d", "create_schema")
    with pytest.raises(TypeError, match=r"^argument 'steps': 'int' object cannot be converted to 'PyString'$"):
        PipelineState("u", "d", ["a", 1])


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: PipelineState("u", "d"), "PipelineState.__new__() missing 1 required positional argument: 'steps'"),
        (lambda: PipelineState("u", "d", []).mark_failed("x"),
         "PipelineState.mark_failed() missing 1 required positional argument: 'error'"),
        (lambda: PipelineState("u", "d", []).step_status(step=1),
         "argument 'step': 'int' object cannot be converted to 'PyString'"),
        (lambda: PipelineState("u", "d", []).save(path=None),
         "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: PipelineState.load(b"state.json"),
         "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_work_like_positions():
    state = PipelineState(db_url="u", csv_dir="d", steps=["x"])
    state.mark_failed(step="x", error="e")
    assert state.step_error(step="x") == "e"
    state.validate_resume(db_url="u", csv_dir="d")


@pytest.mark.parametrize(
    ("name", "signature", "doc"),
    [
        ("is_completed", "($self, step)", "Return true if the step has been completed."),
        ("mark_completed", "($self, step)", "Mark a step as completed."),
        ("mark_failed", "($self, step, error)", "Mark a step as failed with an error message."),
        ("step_status", "($self, step)",
         'Return the status string of a step ("pending", "completed", "failed", "unknown").'),
        ("step_error", "($self, step)", "Return the error message for a failed step, or None."),
        ("validate_resume", "($self, db_url, csv_dir)", "Raise an error if db_url or csv_dir don't match this state."),
        ("save", "($self, path)", "Write state to a JSON file."),
        ("load", "(path)", "Load state from a JSON file with version migration support."),
    ],
)
def test_method_signatures_and_docstrings(name, signature, doc):
    method = getattr(PipelineState, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_class_surface():
    assert PipelineState.__name__ == "PipelineState"
    assert PipelineState.__doc__ == "Tracks step completion status for resumable ETL runs."
    assert PipelineState.__text_signature__ == "(db_url, csv_dir, steps)"
    assert isinstance(PipelineState.__dict__["load"], staticmethod)
    methods = [n for n in PipelineState.__dict__ if not n.startswith("__")]
    assert methods == ["is_completed", "mark_completed", "mark_failed", "step_status", "step_error",
                       "validate_resume", "save", "load"]


def test_validate_resume_accepts_own_settings_and_reports_first_mismatch_only():
    state = PipelineState("a", "/data/csv", [])
    assert state.validate_resume("a", "/data/csv") is None
    with pytest.raises(ValueError) as info:
        state.validate_resume("b", "/other")
    assert str(info.value) == 'database_url mismatch: state has "a", got "b"'
    with pytest.raises(ValueError) as info:
        state.validate_resume("a", "/data/csv/")  # no path normalisation
    assert str(info.value) == 'csv_dir mismatch: state has "/data/csv", got "/data/csv/"'


@pytest.mark.parametrize(
    ("value", "shown"),
    [
        ('say "hi"', r'"say \"hi\""'),
        ("C:\\csv", r'"C:\\csv"'),
        ("t\tr\rn\nz\x00", r'"t\tr\rn\nz\0"'),
        ("bell\x07 del\x7f esc\x1b", r'"bell\u{7} del\u{7f} esc\u{1b}"'),
        ("nbsp\u00a0zwsp\u200bbom\ufeff", r'"nbsp\u{a0}zwsp\u{200b}bom\u{feff}"'),
        ("café 日本 🎵 it's", '"café 日本 🎵 it\'s"'),
    ],
)
def test_validate_resume_quotes_values_so_invisible_differences_show(value, shown):
    state = PipelineState("db", value, [])
    with pytest.raises(ValueError) as info:
        state.validate_resume("db", "x")
    assert str(info.value) == f'csv_dir mismatch: state has {shown}, got "x"'


def test_written_layout_is_exact(tmp_path):
    path = tmp_path / "state.json"
    PipelineState("postgresql:///etl", "/data/csv", []).save(str(path))
    assert path.read_bytes() == (
        b'{\n  "version": 3,\n  "database_url": "postgresql:///etl",\n  "csv_dir": "/data/csv",\n'
        b'  "steps": {}\n}\n'
    )
    state = PipelineState("u", "d", [])
    state.mark_failed("import_csv", "connection reset")
    state.save(str(path))
    assert path.read_bytes() == (
        b'{\n  "version": 3,\n  "database_url": "u",\n  "csv_dir": "d",\n  "steps": {\n'
        b'    "import_csv": {\n      "status": "failed",\n      "error": "connection reset"\n    }\n  }\n}\n'
    )


def test_every_step_is_written_with_its_status(tmp_path):
    path = tmp_path / "state.json"
    state = PipelineState("u", "d", ["dedup", "prune"])
    state.mark_completed("create_schema")
    state.mark_failed("import_csv", "x")
    state.save(str(path))
    text = path.read_text()
    assert json.loads(text)["steps"] == {
        "create_schema": {"status": "completed"},
        "dedup": {"status": "pending"},
        "import_csv": {"status": "failed", "error": "x"},
        "prune": {"status": "pending"},
    }
    assert '    "dedup": {\n      "status": "pending"\n    }' in text


def test_strings_are_escaped_as_json_with_raw_utf8(tmp_path):
    path = tmp_path / "state.json"
    value = "".join(chr(c) for c in range(0x20)) + '"\\/\x7f é🎵'
    PipelineState(value, "d", []).save(str(path))
    line = path.read_bytes().split(b"\n")[2]
    assert line == (
        b'  "database_url": "\\u0000\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n\\u000b\\f\\r'
        b'\\u000e\\u000f\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017\\u0018\\u0019\\u001a\\u001b'
        b'\\u001c\\u001d\\u001e\\u001f\\"\\\\/\x7f ' + "é🎵".encode() + b'",'
    )


@pytest.mark.parametrize("text", TRICKY_TEXTS)
def test_round_trip_keeps_names_errors_and_settings(tmp_path, text):
    path = str(tmp_path / "state.json")
    state = PipelineState(text, text + "/csv", ["create_schema", text])
    state.mark_failed(text + "!", text)
    state.mark_completed("create_schema")
    state.save(path)
    loaded = PipelineState.load(path)
    loaded.validate_resume(text, text + "/csv")
    assert loaded.step_status(text) == "pending"
    assert loaded.step_status("create_schema") == "completed"
    assert (loaded.step_status(text + "!"), loaded.step_error(text + "!")) == ("failed", text)
    assert loaded.step_status("dedup") == "unknown"
    assert json.loads(open(path, encoding="utf-8").read())["database_url"] == text


def test_failed_save_or_load_leaves_the_object_usable(tmp_path):
    state = PipelineState("u", "d", ["a"])
    state.mark_completed("a")
    with pytest.raises(RuntimeError):
        state.save(str(tmp_path / "missing" / "state.json"))
    assert state.is_completed("a")
    with pytest.raises(RuntimeError):
        PipelineState.load(str(tmp_path / "absent.json"))
