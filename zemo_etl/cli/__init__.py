"""The ``zemo-etl`` command line.

Each subcommand lives in a module of this package whose
``add_parsers(subparsers)`` adds its parsers with ``options.add_command`` and
sets ``handler``, a function of the parsed arguments returning the exit
status. A handler raises ``UserError`` (exit status 2) or ``CommandError``
(its own status) for a failure to report in one line; ``run_handler`` prints
it, and turns Ctrl-C into exit status 130. ``errors``, ``options`` and
``outputs`` hold what they share; the work itself is the package's
(``zemo_etl.job`` for the pipeline's job).
"""

from __future__ import annotations

import argparse
import signal
import sys
from typing import NoReturn

from zemo_etl import __version__
from zemo_etl.cli import load, match, normalize, pipeline, review, rows, state
from zemo_etl.cli.errors import (EXIT_BROKEN_PIPE, EXIT_FAILED, EXIT_INTERRUPTED, StreamOutput, describe_os_error,
                                 run_handler, silence_stdout)
from zemo_etl.cli.options import ArgumentParser

__all__ = ["main", "console_main"]

_COMMAND_MODULES = [pipeline, rows, normalize, match, review, state, load]

_DESCRIPTION = """\
The zemo ETL pipeline's everyday jobs.

  zemo-etl demo                                   # the main job on the bundled sample
  zemo-etl run --dump library.sql --releases releases.csv --workdir out
  zemo-etl rows library.sql library > library.csv
  zemo-etl normalize --form match names.txt
  zemo-etl classify --library library.sql --releases releases.csv > decided.csv
  zemo-etl review decided.csv -o review.html     # after classify --explain
  zemo-etl resolve --catalog artists.txt names.txt
  zemo-etl state show out/state.json
  zemo-etl load library.sql library --into sqlite:///library.db

`zemo-etl COMMAND --help` shows each command's options and examples. Exit
status: 0 done, 1 the job failed, 2 a usage or input error, 130 interrupted."""


def main(argv: list[str] | None = None) -> int:
    ap = ArgumentParser(prog="zemo-etl", description=_DESCRIPTION,
                        formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--version", action="version", version=f"zemo-etl {__version__}")
    sub = ap.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for module in _COMMAND_MODULES:
        module.add_parsers(sub)
    args = ap.parse_args(argv)
    return run_handler(args.handler, args)


def console_main() -> NoReturn:
    """The `zemo-etl` program: main() on the process's arguments, then exit."""
    # print() to a full disk or a closed pipe fails in one line, naming the stream.
    stdout = sys.stdout
    sys.stdout = StreamOutput(stdout, "standard output")  # type: ignore[assignment]
    try:
        status = main()
    except KeyboardInterrupt:  # outside a command's own handling: while parsing, or once it returned
        print("zemo-etl: interrupted", file=sys.stderr)
        status = EXIT_INTERRUPTED
    finally:
        sys.stdout = stdout
    # What is still buffered for standard output goes now, where its failure
    # can be reported in one line, rather than at exit as a Python warning.
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        silence_stdout()
        status = status or EXIT_BROKEN_PIPE
    except OSError as e:
        silence_stdout()
        if not status:  # else the command has reported its failure already
            print(f"zemo-etl: standard output: {describe_os_error(e)}", file=sys.stderr)
            status = EXIT_FAILED
    # The command is over; a Ctrl-C from here on would only turn the exit into
    # a traceback. A signal already pending is dropped with its handler.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sys.exit(status)
