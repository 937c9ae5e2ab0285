"""The options the commands share, their parsing and their defaults (those
of `zemo_etl.job.JobOptions`, the one place they are set)."""

from __future__ import annotations

import argparse
import codecs
import dataclasses
from typing import Any

from zemo_etl import safety
from zemo_etl.cli.errors import EXIT_USAGE, UserError
from zemo_etl.index import DEFAULT_THRESHOLDS, RULES, check_thresholds
from zemo_etl.job.decisions import KEEP_THRESHOLDS
from zemo_etl.job.options import DEFAULTS, JobOptions, option_name
from zemo_etl.writing import OUTPUT_DIALECTS

class ArgumentParser(argparse.ArgumentParser):
    # argparse prints the whole usage before its error; one line says more.
    def error(self, message: str) -> Any:  # type: ignore[override]
        self.exit(EXIT_USAGE, f"{self.prog}: error: {safety.inert(message)} (see {self.prog} --help)\n")


def add_command(sub: Any, name: str, summary: str, description: str, examples: str) -> argparse.ArgumentParser:
    """A subcommand parser whose --help ends with worked examples."""
    return sub.add_parser(
        name, help=summary, description=description,
        epilog="examples:\n" + "\n".join("  " + line for line in examples.strip("\n").splitlines()),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )


def encoding_option(value: str) -> str:
    """--encoding: a codec Python knows, as given."""
    try:
        info = codecs.lookup(value)
    except LookupError:
        raise argparse.ArgumentTypeError(f"unknown encoding {value!r}") from None
    # rot13, base64, hex, ...: codecs, but not from bytes to text.
    if not getattr(info, "_is_text_encoding", True):
        raise argparse.ArgumentTypeError(f"{value!r} is not a text encoding")
    return value


_DELIMITER_NAMES = {"tab": "\t", "\\t": "\t", "comma": ",", "semicolon": ";", "pipe": "|"}


def delimiter_option(value: str) -> str:
    """--delimiter: one character (`tab` or `\\t` for TAB)."""
    value = _DELIMITER_NAMES.get(value.lower(), value)
    if len(value) != 1 or value in "\"\r\n":
        raise argparse.ArgumentTypeError(f"{value!r}: one character other than a quote or a line end "
                                         "(tab for TAB)")
    return value


def add_input_options(p: argparse.ArgumentParser, csv: bool = True) -> None:
    """--encoding for a command that reads text, and --delimiter for one that reads CSV."""
    p.add_argument("--encoding", type=encoding_option, default=DEFAULTS.encoding, metavar="NAME",
                   help="text encoding of the input files (default utf-8; e.g. latin-1, cp1252)")
    if csv:
        p.add_argument("--delimiter", type=delimiter_option, metavar="CHAR",
                       help="CSV field separator (default: comma, or the one of ; TAB | that the header "
                            "uses when it holds no comma; `tab` for TAB)")


def add_output_options(p: argparse.ArgumentParser, csv: bool = True) -> None:
    """--allow-shared-folder, and --csv-safe for a command that writes CSV."""
    p.add_argument("--allow-shared-folder", action="store_true",
                   help="write into a folder other users can change (refused otherwise), with a warning")
    if csv:
        p.add_argument("--output-dialect", choices=["input", *OUTPUT_DIALECTS], default=DEFAULTS.output_dialect,
                       help="CSV written as the CSV read is (separator, byte-order mark, line ends; the "
                            "default), as a spreadsheet's (comma, BOM, CRLF) or plain (comma, LF)")
        p.add_argument("--csv-safe", action="store_true",
                       help="put ' before CSV text cells that start with = + - @ TAB or CR, so that a "
                            "spreadsheet shows them as text (the data is then no longer exact)")


def add_threshold_options(p: argparse.ArgumentParser) -> None:
    """The classifier's thresholds (defaults: zemo_etl.index.DEFAULT_THRESHOLDS) and --distinct-numbers."""
    g = p.add_argument_group("classifier", "scores run from 0 to 1: a release keeps when its scores reach the keep\n"
                                           "values, goes to review between the floor and a keep value")
    g.add_argument("--keep", type=float, metavar="X", help="all three keep values at once")
    for name, value in DEFAULT_THRESHOLDS.items():
        g.add_argument(option_name(name), dest=name, type=float, metavar="X", help=f"default {value}")
    g.add_argument("--distinct-numbers", action="store_true",
                   help="a release whose title carries numbers (II, 1975, vol. 2) keeps only against a library "
                        "title with the same numbers; otherwise it goes to review")
    g.add_argument("--rules", choices=RULES, default=None,
                   help="standard (the default) or careful: one library entry decides, typos and other "
                        "scripts are matched, edition notes and artist aliases count (see the README)")


def thresholds_from(args: argparse.Namespace) -> dict[str, float]:
    """The thresholds the options give, checked as the library checks them: UserError naming the option
    when one is out of [0, 1] (or NaN), or when the review floor lies above a keep value."""
    chosen: dict[str, float] = {}
    options = {name: option_name(name) for name in DEFAULT_THRESHOLDS}
    if getattr(args, "keep", None) is not None:
        chosen.update({name: args.keep for name in KEEP_THRESHOLDS})
        options.update({name: "--keep" for name in KEEP_THRESHOLDS})
    for name in DEFAULT_THRESHOLDS:
        if getattr(args, name, None) is not None:
            chosen[name], options[name] = getattr(args, name), option_name(name)
    try:
        return check_thresholds(chosen, options)
    except ValueError as e:
        raise UserError(str(e)) from None


def add_library_options(p: argparse.ArgumentParser) -> None:
    """--table, --library-artist-column, --library-title-column: where the library is in a dump."""
    p.add_argument("--table", default=DEFAULTS.table, metavar="NAME",
                   help=f"the dump's table holding the library (default {DEFAULTS.table})")
    p.add_argument("--library-artist-column", metavar="NAME",
                   help=f"its artist column (default {DEFAULTS.library_artist_column}; for a CSV library, "
                        "--artist-column)")
    p.add_argument("--library-title-column", metavar="NAME",
                   help=f"its title column (default {DEFAULTS.library_title_column}; for a CSV library, "
                        "--title-column)")


def add_allow_incomplete(p: argparse.ArgumentParser) -> None:
    p.add_argument("--allow-incomplete", action="store_true",
                   help="read a dump that is cut short (an unfinished INSERT, no completion line) up to the "
                        "cut, with a warning, instead of refusing it")


def add_column_options(p: argparse.ArgumentParser, of: str = "the releases CSV") -> None:
    """--artist-column and --title-column."""
    p.add_argument("--artist-column", default=DEFAULTS.artist_column, metavar="NAME", help=f"artist column of {of}")
    p.add_argument("--title-column", default=DEFAULTS.title_column, metavar="NAME", help=f"title column of {of}")


def job_options(args: argparse.Namespace) -> JobOptions:
    """The JobOptions the parsed arguments give: each one the command has, else its default."""
    given = {field.name: getattr(args, field.name) for field in dataclasses.fields(JobOptions)
             if hasattr(args, field.name) and field.name not in ("thresholds", "library_artist_column",
                                                                 "library_title_column", "rules")}
    return JobOptions(**given, thresholds=thresholds_from(args), rules=getattr(args, "rules", None) or DEFAULTS.rules,
                      library_artist_column=getattr(args, "library_artist_column", None)
                      or DEFAULTS.library_artist_column,
                      library_title_column=getattr(args, "library_title_column", None)
                      or DEFAULTS.library_title_column)


def library_names(args: argparse.Namespace) -> dict[str, str]:
    """The dump's names of the library's artist and title columns."""
    return job_options(args).library_columns
