"""The ``zemo-etl`` command line.

Each subcommand lives in a module of this package that adds its parsers with
``add_parsers(subparsers)`` and sets ``handler``, a function of the parsed
arguments returning the exit status.
"""

from __future__ import annotations

import argparse

from zemo_etl.cli import load, pipeline
from zemo_etl.cli.pipeline import SAMPLE_DATA, STEPS, Pipeline

__all__ = ["main", "Pipeline", "SAMPLE_DATA", "STEPS"]

_COMMAND_MODULES = [pipeline, load]


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(prog="zemo-etl", description=pipeline.__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="command", required=True)
    for module in _COMMAND_MODULES:
        module.add_parsers(sub)
    args = ap.parse_args(argv)
    return args.handler(args)
