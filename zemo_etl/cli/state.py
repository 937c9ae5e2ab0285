"""`zemo-etl state show|check`: a run's steps, and whether it can resume."""

from __future__ import annotations

import argparse
import os
import sys

from zemo_etl import state
from zemo_etl.cli.errors import EXIT_FAILED
from zemo_etl.cli.options import add_command
from zemo_etl.job.states import load, resume_url
from zemo_etl.safety import inert, redact_url, scrub, url_secrets

# Steps of the ETL pipeline's state files (versions 1 to 3) and of `zemo-etl
# run`, in the order they run; a file's other steps are listed after them.
KNOWN_ORDER = ["create_schema", "import_csv", "create_indexes", "dedup", "import_tracks",
               "create_track_indexes", "prune", "vacuum", "set_logged",
               "load_library", "dedupe_releases", "classify", "resolve_artists", "write_report"]


def ordered_steps(doc: dict) -> list[str]:
    steps = list(doc.get("steps", {}))
    rank = {name: i for i, name in enumerate(KNOWN_ORDER)}
    return sorted(steps, key=lambda s: (rank.get(s, len(rank)), s))


def summary(st: state.PipelineState, steps: list[str]) -> str:
    failed = [s for s in steps if st.step_status(s) == "failed"]
    pending = [s for s in steps if st.step_status(s) != "completed"]
    if not pending:
        return f"all {len(steps)} steps completed"
    done = len(steps) - len(pending)
    first = pending[0]
    why = f" (failed: {st.step_error(first)})" if first in failed and st.step_error(first) else ""
    return f"{done} of {len(steps)} steps completed; a resumed run starts at {first}{why}"


def add_parsers(sub) -> None:
    p = add_command(sub, "state", "look at a run's state file", __doc__ + """
show: the settings the run was started with and each step's status.
check: whether a run with these settings can resume from the file: exit
status 0 if it can, 1 if the settings differ (a resumed run would refuse it).
A file that cannot be read or parsed is an error (exit status 2).""", """
zemo-etl state show out/state.json
zemo-etl state check out/state.json --db-url file:///data/library.sql --csv-dir /data
""")
    actions = p.add_subparsers(dest="action", required=True, metavar="{show,check}")
    show = actions.add_parser("show", help="the run's settings and steps",
                              description="Print the run's settings and each step's status.",
                              epilog="example:\n  zemo-etl state show out/state.json",
                              formatter_class=argparse.RawDescriptionHelpFormatter)
    show.add_argument("file", metavar="FILE")
    show.set_defaults(handler=run_show)
    check = actions.add_parser("check", help="exit 0 if a run with these settings can resume, else 1",
                               description="Exit 0 if a run with these settings can resume from FILE, else 1.",
                               epilog="example:\n  zemo-etl state check out/state.json "
                                      "--db-url file:///data/library.sql --csv-dir /data",
                               formatter_class=argparse.RawDescriptionHelpFormatter)
    check.add_argument("file", metavar="FILE")
    check.add_argument("--db-url", required=True, metavar="URL", help="the run's database URL")
    check.add_argument("--csv-dir", required=True, metavar="DIR", help="the run's CSV directory")
    check.set_defaults(handler=run_check)


def run_show(args: argparse.Namespace) -> int:
    # Every value comes from the file: shown with control characters escaped,
    # the URL without a password an older file may still hold.
    st, doc = load(args.file)
    steps = ordered_steps(doc)
    print(f"state file    {inert(args.file)} (version {inert(doc.get('version'))})")
    print(f"database_url  {inert(redact_url(str(doc.get('database_url'))))}")
    print(f"csv_dir       {inert(doc.get('csv_dir'))}")
    width = max((len(inert(s)) for s in steps), default=0)
    for s in steps:
        error = st.step_error(s)
        print(f"  {inert(s):<{width}}  {st.step_status(s)}" + (f": {inert(error)}" if error else ""))
    print(inert(summary(st, steps)))
    return 0


def run_check(args: argparse.Namespace) -> int:
    st, doc = load(args.file)
    # The same folder written another way (".", "./", through a link) is the same run.
    stored_dir = str(doc.get("csv_dir"))
    same_dir = os.path.realpath(stored_dir) == os.path.realpath(args.csv_dir)
    try:
        # The file holds the URL without its password: so is it compared.
        st.validate_resume(resume_url(doc, args.db_url), stored_dir if same_dir else args.csv_dir)
    except ValueError as e:
        print(f"cannot resume: {inert(scrub(str(e), url_secrets(str(doc.get('database_url')))))}", file=sys.stderr)
        return EXIT_FAILED
    print(f"can resume: {inert(summary(st, ordered_steps(doc)))}")
    return 0
