"""The command line's failures and exit statuses.

Exit statuses: 0 success, 1 the job ran and failed (or `state check` says no),
2 a usage or input error (one line on standard error, no traceback), 130
interrupted with Ctrl-C.
"""

from __future__ import annotations

import argparse
import errno
import os
import sys
from collections.abc import Callable
from typing import IO, Any, Optional

from zemo_etl import safety
from zemo_etl.errors import InputError, Wording
from zemo_etl.job.options import option_name

EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130
EXIT_BROKEN_PIPE = 141  # as a shell reports a command ended by SIGPIPE


class CommandError(Exception):
    """A failure reported as one line, ``zemo-etl COMMAND: message``, and an exit status."""

    status = EXIT_FAILED

    def __init__(self, message: str, status: Optional[int] = None) -> None:
        super().__init__(message)
        if status is not None:
            self.status = status


class UserError(CommandError):
    """A problem with the command's input or arguments: reported in one line, exit status 2."""

    status = EXIT_USAGE


def wording(args: argparse.Namespace) -> Wording:
    """The package's messages as the command line words them: options by
    their flags, warnings after the command's name."""
    return Wording(option_name, f"zemo-etl {args.command}: warning: ")


def run_handler(handler: Callable[[argparse.Namespace], int], args: argparse.Namespace) -> int:
    """Run a subcommand, turning its errors and Ctrl-C into their exit statuses."""
    try:
        return handler(args)
    except KeyboardInterrupt:
        print("zemo-etl: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except CommandError as e:
        print(f"zemo-etl {args.command}: {safety.inert(e)}", file=sys.stderr)
        return e.status
    except (InputError, safety.SafetyError) as e:
        print(f"zemo-etl {args.command}: {safety.inert(wording(args).describe(e))}", file=sys.stderr)
        return EXIT_USAGE
    except BrokenPipeError:
        # The reader of standard output went away (`| head`): stop quietly.
        silence_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as e:
        print(f"zemo-etl {args.command}: {safety.inert(describe_os_error(e))}", file=sys.stderr)
        return EXIT_USAGE if e.errno in _USER_ERRNOS else EXIT_FAILED
    except MemoryError:
        print(f"zemo-etl {args.command}: out of memory", file=sys.stderr)
        return EXIT_FAILED
    except UnicodeEncodeError as e:
        # Most often a name given in bytes that are not UTF-8, which Python
        # keeps as lone surrogates; shown around the first such character.
        near = safety.inert(e.object[max(0, e.start - 40):e.end + 40])
        print(f"zemo-etl {args.command}: not UTF-8 text: {near} (a name in other bytes than UTF-8?)",
              file=sys.stderr)
        return EXIT_USAGE
    except UnicodeError as e:
        # A codec that fails other than by UnicodeDecodeError (punycode, idna).
        print(f"zemo-etl {args.command}: cannot decode the input: {safety.inert(e)}", file=sys.stderr)
        return EXIT_USAGE


# What a user can mend (a path, a permission); anything else (a full disk, an
# I/O error) is a failure of the machine.
_USER_ERRNOS = {errno.ENOENT, errno.ENOTDIR, errno.EISDIR, errno.EEXIST, errno.EACCES, errno.EPERM,
                errno.ELOOP, errno.ENAMETOOLONG, errno.EROFS}


def describe_os_error(e: OSError) -> str:
    """One line for an OSError: its file (when it names one) and the system's words."""
    what = e.strerror or str(e)
    return f"{e.filename}: {what}" if e.filename else what


def silence_stdout() -> None:
    """Point standard output at /dev/null, so that what is still buffered for
    a reader gone away (or a full device) is dropped at exit, not reported."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass


class StreamOutput:
    """A stream whose write errors are one-line CommandErrors naming it: a
    full disk, a quota or an I/O error is a failure of the machine, exit 1.
    A reader gone away (BrokenPipeError) passes through."""

    def __init__(self, stream: IO[Any], name: str) -> None:
        self._stream, self._name = stream, name

    def _failed(self, e: OSError) -> CommandError:
        return CommandError(f"{self._name}: cannot write: {e.strerror or e}")

    def write(self, data: Any) -> int:
        try:
            return self._stream.write(data)
        except BrokenPipeError:
            raise
        except OSError as e:
            raise self._failed(e) from None

    def flush(self) -> None:
        try:
            self._stream.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            raise self._failed(e) from None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


