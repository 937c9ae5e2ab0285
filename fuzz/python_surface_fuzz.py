"""Atheris harness over the Python surface: every exported function, class
and method of zemo_etl._native, zemo_etl._ext and zemo_etl.index, called
with arguments of random types (lone surrogates, str subclasses, bytes, huge
ints, NaN, None, nested and self-mutating sequences, objects whose __len__,
__iter__, __hash__ or __eq__ raise). Every failure must be one of the
documented exception classes, with a message; never SystemError, a crash or
the panic exception.

    python fuzz/python_surface_fuzz.py -max_total_time=60 [-atheris_runs=N]

Paths given to the functions are confined to a temporary directory.
"""

from __future__ import annotations

import inspect
import math
import os
import sys
import tempfile

import atheris

with atheris.instrument_imports():
    import zemo_etl  # noqa: F401
    from zemo_etl import _ext, _native, index

WORKDIR = tempfile.mkdtemp(prefix="zemo_surface_fuzz_")
os.chdir(WORKDIR)
DUMP = os.path.join(WORKDIR, "dump.sql")
with open(DUMP, "w") as f:
    f.write("CREATE TABLE `t` (\n  `id` int,\n  `name` text\n);\nINSERT INTO `t` VALUES (1,'a'),(2,NULL);\n")
STATE = os.path.join(WORKDIR, "state.json")
PATHS = [DUMP, STATE, os.path.join(WORKDIR, "missing"), WORKDIR, os.path.join(WORKDIR, "out.bin"), "", "\0x"]


class Boom(Exception):
    """Raised by the hostile objects; it may surface as it is."""


class Hostile:
    def __init__(self, what):
        self.what = what

    def __len__(self):
        if self.what == "len":
            raise Boom("len")
        return 3

    def __iter__(self):
        if self.what == "iter":
            raise Boom("iter")
        yield "a"
        if self.what == "next":
            raise Boom("next")
        yield "b"

    def __hash__(self):
        if self.what == "hash":
            raise Boom("hash")
        return 1

    def __eq__(self, other):
        if self.what == "eq":
            raise Boom("eq")
        return self is other

    def __getitem__(self, i):
        if self.what == "getitem":
            raise Boom("getitem")
        if i >= 3:
            raise IndexError(i)
        return "x"


class Str(str):
    pass


class Shrinking(list):
    """A list that empties itself while it is being read."""

    def __iter__(self):
        for x in list.__iter__(self):
            self.clear()
            yield x

    def __len__(self):
        return 1000


ALLOWED = (TypeError, ValueError, RuntimeError, OverflowError, UnicodeError, OSError, MemoryError, Boom,
           IndexError, KeyError)


def value(fdp: atheris.FuzzedDataProvider, depth: int = 0):
    kind = fdp.ConsumeIntInRange(0, 17)
    if kind <= 3:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 24))  # lone surrogates included
    if kind == 4:
        return Str(fdp.ConsumeUnicodeNoSurrogates(8))
    if kind == 5:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 24))
    if kind == 6:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 80))  # up to huge
    if kind == 7:
        return fdp.PickValueInList([math.nan, math.inf, -math.inf, -0.0, 0.5, 1e308, fdp.ConsumeFloat()])
    if kind == 8:
        return None
    if kind == 9:
        return Hostile(fdp.PickValueInList(["len", "iter", "next", "hash", "eq", "getitem", ""]))
    if kind == 10:
        return Shrinking(fdp.ConsumeUnicodeNoSurrogates(4) for _ in range(3))
    if kind == 11:
        return (fdp.ConsumeUnicode(6), fdp.ConsumeUnicode(6))
    if kind == 12:
        return {fdp.ConsumeUnicode(6) for _ in range(fdp.ConsumeIntInRange(0, 3))}
    if kind == 13:
        return fdp.PickValueInList(PATHS)
    if kind == 14:
        return fdp.ConsumeBool()
    if depth > 2:
        return fdp.ConsumeUnicodeNoSurrogates(4)
    items = [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    if kind == 15:
        return items
    if kind == 16:
        return tuple(items)
    return [(fdp.ConsumeUnicode(5), fdp.ConsumeUnicode(5)) for _ in range(fdp.ConsumeIntInRange(0, 4))]


def arguments(fdp, params):
    args, kwargs = [], {}
    for p in params:
        if p.default is not inspect.Parameter.empty and fdp.ConsumeIntInRange(0, 3) == 0:
            continue  # keep the default
        v = fdp.PickValueInList(PATHS) if "path" in p.name and fdp.ConsumeBool() else value(fdp)
        if p.name in ("path",) and isinstance(v, str) and os.path.isabs(v) and not v.startswith(WORKDIR):
            v = os.path.join(WORKDIR, "p")  # never write outside the work directory
        if p.kind == p.POSITIONAL_ONLY or fdp.ConsumeBool():
            if kwargs:
                kwargs[p.name] = v
            else:
                args.append(v)
        else:
            kwargs[p.name] = v
    if fdp.ConsumeIntInRange(0, 15) == 0:
        args.append(value(fdp))  # one too many
    return args, kwargs


def safe_paths(args, kwargs):
    # Relative paths land in WORKDIR; absolute ones must stay inside it.
    for v in list(args) + list(kwargs.values()):
        if isinstance(v, str) and os.path.isabs(v) and not v.startswith(WORKDIR):
            return False
    return True


def surface():
    """(name, callable, parameters, factory of a receiver or None)."""
    out = []

    def signature(f):
        try:
            return [p for p in inspect.signature(f).parameters.values() if p.name != "self"]
        except (TypeError, ValueError):
            return []

    def add_module(mod, prefix):
        for name in mod.__all__:
            obj = getattr(mod, name)
            if isinstance(obj, type):
                out.append((f"{prefix}.{name}", obj, signature(obj), None))
                for attr in dir(obj):
                    if attr.startswith("_") and attr not in ("__next__", "__len__", "__contains__", "__iter__"):
                        continue
                    member = getattr(obj, attr)
                    if callable(member):
                        out.append((f"{prefix}.{name}.{attr}", member, signature(member), obj))
            elif callable(obj):
                out.append((f"{prefix}.{name}", obj, signature(obj), None))

    for sub in _native.__all__:
        add_module(getattr(_native, sub), f"_native.{sub}")
    add_module(_ext, "_ext")
    add_module(index, "index")
    return out


SURFACE = surface()
INSTANCES: dict[type, list] = {}
KEEP = 8


def check(name, call):
    try:
        result = call()
    except ALLOWED as e:
        if isinstance(e, SystemError):
            raise AssertionError(f"{name}: SystemError {e!r}")
        if not isinstance(e, (IndexError, KeyError)) and not str(e):
            raise AssertionError(f"{name}: {type(e).__name__} without a message")
        return None
    except StopIteration:
        return None
    except SystemError as e:
        raise AssertionError(f"{name}: SystemError {e!r}") from e
    except BaseException as e:
        if isinstance(e, (KeyboardInterrupt, SystemExit)):
            raise
        raise AssertionError(f"{name}: undocumented {type(e).__module__}.{type(e).__qualname__}: {e!r}") from e
    return result


def TestOneInput(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    for _ in range(fdp.ConsumeIntInRange(1, 4)):
        name, fn, params, owner = fdp.PickValueInList(SURFACE)
        args, kwargs = arguments(fdp, params)
        if not safe_paths(args, kwargs):
            continue
        if owner is not None and not isinstance(fn, (staticmethod, classmethod)) and not name.endswith(
                (".load", ".from_bytes", ".load_file")):
            pool = INSTANCES.get(owner)
            # A wrong receiver is the native types' business; a Python class
            # fails on it with whatever its code meets first.
            native = owner.__module__ != index.__name__
            if pool and (fdp.ConsumeIntInRange(0, 7) or not native):
                receiver = fdp.PickValueInList(pool)
            elif native:
                receiver = value(fdp)
            else:
                continue
            result = check(name, lambda: fn(receiver, *args, **kwargs))
        else:
            result = check(name, lambda: fn(*args, **kwargs))
        if isinstance(result, type) or result is None:
            continue
        for cls in (type(result),):
            if any(cls is t for _, t, _, o in SURFACE if o is None and isinstance(t, type)):
                pool = INSTANCES.setdefault(cls, [])
                pool.append(result)
                del pool[:-KEEP]


if __name__ == "__main__":
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()
