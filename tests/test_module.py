"""The module and its submodules against the specified surface: members and
`__all__` (surface.json, the specified lists); text signatures, docstrings
and the values no behaviour shows (surface_details.json); the registry
entries, and importing."""

import json
import multiprocessing
import os
import pathlib
import pickle
import subprocess
import sys
import textwrap

import pytest

import zemo_etl
import zemo_etl._native as native

HERE = pathlib.Path(__file__).resolve().parent
SURFACE = json.loads((HERE / "surface.json").read_text(encoding="utf-8"))
DETAILS = json.loads((HERE / "surface_details.json").read_text(encoding="utf-8"))
DOCS = DETAILS["docs"]


def test_members_and_all_are_the_specified_lists():
    assert (native.__name__, native.__doc__, native.__all__) == ("zemo_etl._native", "", SURFACE["_native"])
    for name in SURFACE["_native"]:
        sub = getattr(native, name)
        assert (sub.__name__, sub.__doc__, sub.__all__) == (name, None, SURFACE[name])
        assert sorted(n for n in dir(sub) if not n.startswith("__")) == sorted(SURFACE[name])
        # Registered under the package, not under _native.
        assert sys.modules[f"zemo_etl.{name}"] is sub is getattr(zemo_etl, name)
        assert f"zemo_etl._native.{name}" not in sys.modules
    assert sorted(n for n in dir(native) if not n.startswith("__")) == sorted(SURFACE["_native"])
    from zemo_etl.fuzzy import token_set_ratio
    from zemo_etl.text import to_storage_form

    assert to_storage_form is native.text.to_storage_form
    assert token_set_ratio.__module__ == "zemo_etl.fuzzy"  # where pickle finds it


def _exported_callables():
    import zemo_etl._ext as ext
    from zemo_etl import columns, dask, dump, index
    modules = [getattr(native, name) for name in SURFACE["_native"]] + [ext, columns, dask, dump, index]
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


@pytest.mark.parametrize("qualname", DOCS)
def test_text_signatures_and_docstrings(qualname):
    sub, *path = qualname.split(".")
    obj = getattr(native, sub)
    for name in path:
        obj = getattr(obj, name)
    signature, doc = DOCS[qualname]
    assert obj.__doc__ == doc
    if isinstance(obj, type):
        assert obj.__name__ == obj.__qualname__ == path[0] and obj.__bases__ == (object,)
        assert [n for n in obj.__dict__ if not n.startswith("__")] == [
            q.rsplit(".", 1)[1] for q in DOCS if q.startswith(qualname + ".")]
        if sys.version_info < (3, 10):  # 3.9 drops the signature of classes built with PyType_Spec
            return
    assert obj.__text_signature__ == signature
    if qualname == "state.PipelineState.load":
        assert isinstance(native.state.PipelineState.__dict__["load"], staticmethod)


@pytest.mark.parametrize("expression", DETAILS["values"])
def test_specified_values(expression):
    sub, name = expression.split(".")
    value = getattr(getattr(native, sub), name.rstrip("()"))
    assert (value() if name.endswith("()") else value) == DETAILS["values"][expression]


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=60,
        env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)},
    )


def test_import_warns_nothing_and_a_second_import_returns_the_same_module():
    result = run_python(
        """
        import sys, warnings
        warnings.simplefilter("error")
        import zemo_etl, zemo_etl._native as first
        state_cls = first.state.PipelineState
        del sys.modules["zemo_etl._native"]
        import zemo_etl._native as second
        assert second is first
        assert second.state.PipelineState is state_cls
        print("ok")
        """
    )
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stderr


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
