"""The module and its submodules against the specified surface: members and `__all__`
(surface.json); signatures, docstrings and values no behaviour shows (surface_details.json);
pickling by reference, and importing."""

import json
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


def test_import_warns_nothing_repeats_as_the_same_module_and_refuses_subinterpreters():
    code = """
        import sys, warnings
        warnings.simplefilter("error")
        import zemo_etl, zemo_etl._native as first
        state_cls = first.state.PipelineState
        del sys.modules["zemo_etl._native"]
        import zemo_etl._native as second
        assert second is first and second.state.PipelineState is state_cls
        try:
            import _testcapi  # run_in_subinterp: a fresh interpreter of this process
        except ImportError:
            sys.exit(3)
        _testcapi.run_in_subinterp("try:\\n    import zemo_etl._native\\nexcept ImportError as e:\\n    print(e)")
        """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)})
    if result.returncode == 3:
        pytest.skip("no _testcapi")
    assert (result.returncode, result.stderr) == (0, ""), result.stderr
    assert "does not support subinterpreters" in result.stdout


def test_native_and_ext_share_one_worker_pool():
    # Both modules come from one shared object: a batch through `_native`
    # and one through `_ext` start the same workers. Two copies of the core
    # would leave a pool of their own each (7 threads here, not 4).
    code = """
        import os
        from zemo_etl import fuzzy
        from zemo_etl.index import LibraryIndex
        threads = lambda: len(os.listdir("/proc/self/task"))
        library = [("Artist", "Album"), ("Other", "Title")]
        before = threads()
        fuzzy.batch_classify_releases(["Artist"], ["Album"], library)
        after_native = threads()
        LibraryIndex(library).classify(["Artist"], ["Album"])
        print(before, after_native, threads())
        """
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60,
                            env={**os.environ, "ZEMO_ETL_NUM_THREADS": "4",
                                 "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}, check=True)
    assert result.stdout.split() == ["1", "4", "4"]
