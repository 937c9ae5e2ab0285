"""PipelineState as the pipeline uses it: queries, updates, resume checks and
the saved file's exact layout and round trip."""

import json

import pytest

from zemo_etl.state import PipelineState


def test_queries_and_marks_on_listed_and_unlisted_steps():
    state = PipelineState("postgresql:///etl", "/data/csv", ["create_schema"])
    assert (state.step_status("create_schema"), state.step_error("create_schema")) == ("pending", None)
    assert (state.step_status("dedup"), state.step_error("dedup"), state.is_completed("dedup")) == ("unknown", None, False)
    state.mark_failed("dedup", "boom")
    state.mark_failed("dedup", "again")
    assert (state.step_status("dedup"), state.step_error("dedup")) == ("failed", "again")
    state.mark_completed("dedup")
    assert (state.step_status("dedup"), state.step_error("dedup"), state.is_completed("dedup")) == ("completed", None, True)


def test_steps_are_a_sequence_of_str_deduplicated_in_order_but_not_a_str(tmp_path):
    PipelineState("u", "d", ("a", "b", "a")).save(str(tmp_path / "s.json"))
    assert list(json.loads((tmp_path / "s.json").read_text())["steps"]) == ["a", "b"]
    with pytest.raises(TypeError, match=r"^argument 'steps': Can't extract `str` to `Vec`$"):
        PipelineState("u", "d", "create_schema")


@pytest.mark.parametrize(("csv_dir", "got", "message"), [
    ("/data/csv", "/data/csv/", r'"/data/csv", got "/data/csv/"'),  # no path normalisation
    ('say "hi" C:\\csv\tr\rn\nz\x00', "x", r'"say \"hi\" C:\\csv\tr\rn\nz\0", got "x"'),
    ("bell\x07 del\x7f nbsp\u00a0 zwsp\u200b bom\ufeff", "x",
     r'"bell\u{7} del\u{7f} nbsp\u{a0} zwsp\u{200b} bom\u{feff}", got "x"'),
    ("café 日本 🎵 it's", "x", '"café 日本 🎵 it\'s", got "x"'),
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


def test_written_layout_is_exact(tmp_path):
    path = tmp_path / "state.json"
    state = PipelineState("postgresql:///etl", "/data/csv", ["dedup"])
    state.mark_failed("import_csv", "connection reset")
    state.save(str(path))
    assert path.read_text() == (
        '{\n  "version": 3,\n  "database_url": "postgresql:///etl",\n  "csv_dir": "/data/csv",\n  "steps": {\n'
        '    "dedup": {\n      "status": "pending"\n    },\n'
        '    "import_csv": {\n      "status": "failed",\n      "error": "connection reset"\n    }\n  }\n}\n')
    # Strings escaped as JSON (the standard library's choice of escapes), non-ASCII as raw UTF-8.
    url = "".join(map(chr, range(0x20))) + '"\\/\x7f é🎵'
    PipelineState(url, "d", []).save(str(path))
    assert path.read_bytes() == (f'{{\n  "version": 3,\n  "database_url": {json.dumps(url, ensure_ascii=False)},\n'
                                 '  "csv_dir": "d",\n  "steps": {}\n}\n').encode()


@pytest.mark.parametrize("text", ['quote " back\\slash tab\tcr\rlf\nff\fbs\b\x01\x7f nul\x00 Björk — 日本語 🎵', ""])
def test_round_trip_keeps_names_errors_and_settings(tmp_path, text):
    path = str(tmp_path / "state.json")
    state = PipelineState(text, text + "/csv", ["create_schema", text])
    state.mark_failed(text + "!", text)
    state.mark_completed("create_schema")
    state.save(path)
    loaded = PipelineState.load(path)
    loaded.validate_resume(text, text + "/csv")
    assert [loaded.step_status(s) for s in ("create_schema", text, text + "!", "dedup")] == [
        "completed", "pending", "failed", "unknown"]
    assert loaded.step_error(text + "!") == text
