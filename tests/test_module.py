"""Module creation, submodule registration and the registry entries."""

import multiprocessing
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import zemo_etl
import zemo_etl._native as native

SUBMODULES = ["text", "parser", "pg", "state", "import_utils", "schema", "fuzzy"]


def test_top_level_module():
    assert native.__name__ == "zemo_etl._native"
    assert native.__doc__ == ""
    assert native.__all__ == SUBMODULES
    for name in SUBMODULES:
        sub = getattr(native, name)
        assert sub.__name__ == name
        assert sub.__doc__ is None
        assert sys.modules[f"zemo_etl.{name}"] is sub
        assert f"zemo_etl._native.{name}" not in sys.modules
        assert getattr(zemo_etl, name) is sub


def test_submodule_members_in_registration_order():
    assert native.state.__all__ == ["PipelineState"]
    assert native.import_utils.__all__ == ["DedupSet"]
    assert native.pg.__all__ == ["to_pg_text_form", "batch_to_pg_text_form"]
    assert native.parser.__all__ == ["load_table_rows", "iter_table_rows", "parse_sql_values"]
    assert native.fuzzy.__all__ == [
        "jaro_winkler_similarity", "token_set_ratio", "token_sort_ratio",
        "batch_fuzzy_resolve", "batch_filter_artists", "batch_classify_releases",
    ]
    assert native.text.__all__ == [
        "is_compilation_artist", "split_artist_name", "split_artist_name_contextual",
        "to_storage_form", "to_match_form", "to_ascii_form", "to_identity_match_form",
        "to_identity_match_form_title", "strip_leading_article",
        "to_identity_match_form_with_punctuation", "to_identity_match_form_with_disambiguator_strip",
        "batch_to_storage_form", "batch_to_match_form", "batch_to_ascii_form",
    ]
    for sub in SUBMODULES:
        module = getattr(native, sub)
        for name in module.__all__:
            assert hasattr(module, name), f"{sub}.{name}"


def test_imports_through_the_registry():
    from zemo_etl.fuzzy import token_set_ratio
    from zemo_etl.text import to_storage_form

    assert to_storage_form is native.text.to_storage_form
    assert token_set_ratio.__module__ == "zemo_etl.fuzzy"  # where pickle finds it


def _exported_callables():
    import zemo_etl._ext as ext
    from zemo_etl import columns, dask, dump, index
    modules = [getattr(native, name) for name in SUBMODULES] + [ext, columns, dask, dump, index]
    found = [(m.__name__, name, getattr(m, name)) for m in modules for name in m.__all__]
    found += [("columns.FORMS", name, f) for name, f in columns.FORMS.items()]
    return [(f"{where}.{name}", obj) for where, name, obj in found if callable(obj)]


@pytest.mark.parametrize("name, obj", _exported_callables(), ids=lambda v: v if isinstance(v, str) else "")
def test_functions_and_classes_pickle_by_reference(name, obj):
    copy = pickle.loads(pickle.dumps(obj))
    assert copy is obj or (type(copy) is type(obj) and copy.__reduce__() == obj.__reduce__())


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_process_pools_take_the_functions_and_prepared_objects(method):
    from zemo_etl import text
    from zemo_etl.index import Catalogue
    names = ["  Björk ", "The Beatles", "radiohed"]
    catalogue = Catalogue(["radiohead", "the beatles"])
    with multiprocessing.get_context(method).Pool(2) as pool:
        assert pool.map(text.to_match_form, names) == [text.to_match_form(n) for n in names]
        assert pool.map(catalogue.resolve, [names[1:]], chunksize=1) == [catalogue.resolve(names[1:])]


def test_classes():
    for cls, name in ((native.state.PipelineState, "PipelineState"), (native.import_utils.DedupSet, "DedupSet")):
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__bases__ == (object,)
        assert isinstance(cls, type)


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
    )


def test_second_import_returns_the_same_module():
    result = run_python(
        """
        import sys
        import zemo_etl._native as first
        state_cls = first.state.PipelineState
        del sys.modules["zemo_etl._native"]
        import zemo_etl._native as second
        assert second is first
        assert second.state.PipelineState is state_cls
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_import_in_a_subinterpreter_fails():
    # _testcapi.run_in_subinterp runs code in a fresh interpreter of this process.
    pytest.importorskip("_testcapi")
    result = run_python(
        """
        import zemo_etl._native, _testcapi
        code = (
            "try:\\n"
            "    import zemo_etl._native\\n"
            "except ImportError as e:\\n"
            "    print('ImportError', e)\\n"
        )
        _testcapi.run_in_subinterp(code)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("ImportError"), result.stdout + result.stderr


def test_import_warns_nothing():
    result = run_python("import warnings; warnings.simplefilter('error'); import zemo_etl; print('ok')")
    assert result.returncode == 0, result.stderr
