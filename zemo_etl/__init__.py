"""Native hot paths of the zemo ETL pipeline.

Importing the package loads the extension, which registers its submodules as
``zemo_etl.text``, ``zemo_etl.fuzzy`` and so on, and ``zemo_etl._ext``.
"""

from zemo_etl import _native
from zemo_etl import _ext  # registered by _native's entry, from the same shared object
from zemo_etl._native import fuzzy, import_utils, parser, pg, schema, state, text


def _version() -> str:
    """The installed distribution's version when this very package is the one
    installed; else the version in the source tree's pyproject.toml (running
    from a checkout or a development build); else "unknown"."""
    import os
    import re
    from importlib import metadata

    here = os.path.realpath(__file__)
    try:
        dist = metadata.distribution("zemo-etl")
        installed = os.path.realpath(str(dist.locate_file("zemo_etl/__init__.py")))
        if installed == here:
            return dist.version
    except (metadata.PackageNotFoundError, OSError):
        pass
    # Another copy may be installed beside a checkout: its version is not ours.
    try:
        with open(os.path.join(os.path.dirname(os.path.dirname(here)), "pyproject.toml"), encoding="utf-8") as f:
            project = f.read().partition("[project]")[2].split("\n[", 1)[0]
    except OSError:
        return "unknown"
    name = re.search(r'^name\s*=\s*"([^"]*)"', project, re.M)
    version = re.search(r'^version\s*=\s*"([^"]*)"', project, re.M)
    if name is None or version is None or name.group(1) != "zemo-etl":
        return "unknown"
    return version.group(1)


__version__ = _version()

__all__ = ["text", "parser", "pg", "state", "import_utils", "schema", "fuzzy"]
