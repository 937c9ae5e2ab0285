"""The pipeline's main job: classify incoming releases against the library.

    zemo-etl demo                      # the bundled sample data, into ./zemo-etl-demo
    zemo-etl demo --scale 20000        # 20,000 generated library rows and releases, timed
    zemo-etl run --dump library.sql --releases releases.csv --workdir out [--db-url URL]

Steps (resumable: a run that stops part-way continues from the first step
not completed, with the state kept in WORKDIR/state.json; after Ctrl-C,
wherever it came, that step is marked failed with the error "interrupted",
which `zemo-etl state show` prints). Each completed step's fingerprint (the
content of the files and the options it read, and the steps before it) is
kept in WORKDIR/inputs.json: a run re-does the first step whose inputs
changed and every step after it, saying which and why, and skips the rest
(next week's releases: from dedupe_releases; another --decisions file: from
classify). Only one run at a time uses a work folder. Both inputs are
checked before the first step starts.

1. load_library    the `library` table out of the MySQL dump, in storage form
2. dedupe_releases the releases CSV, in storage form, duplicates dropped
3. classify        each release keep / prune / review against the library
4. resolve_artists each release artist against the library's artists
5. write_report    WORKDIR/releases_classified.csv, WORKDIR/review.html and a summary

The classifier's thresholds are options (defaults as the library's);
--decisions FILE (a review page's export: artist,title,decision) overrides
the computed decision of the releases it names, matched by match form.
The review page needs every score of every release, which costs several
times the CPU of the decisions alone: --no-review-page skips it.

The library, the releases and the decisions live in a database: by default
the SQLite file WORKDIR/library.db, or PostgreSQL with --db-url
postgresql://... (pip install 'zemo-etl[postgres]'). Each step replaces its
tables in one transaction. A run resumes only against the database it
started with.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
from collections.abc import Callable

from zemo_etl.cli.errors import EXIT_FAILED, EXIT_USAGE, CommandError, wording
from zemo_etl.cli.options import (add_allow_incomplete, add_column_options, add_command, add_input_options,
                                  add_library_options, add_output_options, add_threshold_options, job_options)
from zemo_etl.errors import InputError
from zemo_etl.job import SAMPLE_DATA, Pipeline, StepFailed
from zemo_etl.job.demo import run_scaled
from zemo_etl.safety import inert

DEMO_WORKDIR = "zemo-etl-demo"


def add_parsers(sub) -> None:
    demo = add_command(sub, "demo", "run the job on the bundled sample data", __doc__, """
zemo-etl demo --fresh --workdir build/demo     # the bundled 3,000 releases, from the start
zemo-etl demo --scale 50000 --workdir big      # 50,000 generated ones, with timings
""")
    demo.add_argument("--workdir", type=pathlib.Path, default=pathlib.Path(DEMO_WORKDIR))
    demo.add_argument("--fresh", action="store_true", help="forget the state of an earlier run")
    demo.add_argument("--db-url", help="postgresql://... instead of the SQLite file WORKDIR/library.db")
    demo.add_argument("--scale", type=int, metavar="N",
                      help="generate N library rows and N releases into WORKDIR and print each step's time")
    add_decisions_option(demo)
    add_review_page_option(demo)
    add_threshold_options(demo)
    add_output_options(demo)
    demo.set_defaults(handler=run_demo)
    run = add_command(sub, "run", "run the job on a dump and a releases CSV", __doc__, """
zemo-etl run --dump library.sql --releases releases.csv --workdir out
zemo-etl run --dump library.sql --releases releases.csv --workdir out   # again: resumes
zemo-etl run --dump library.sql --releases releases.csv --workdir out --fresh
""")
    run.add_argument("--dump", type=pathlib.Path, required=True, help="MySQL dump holding the `library` table")
    run.add_argument("--releases", type=pathlib.Path, required=True, help="CSV with artist,title columns")
    run.add_argument("--workdir", type=pathlib.Path, required=True)
    run.add_argument("--fresh", action="store_true", help="forget the state of an earlier run")
    run.add_argument("--db-url", help="postgresql://... instead of the SQLite file WORKDIR/library.db")
    add_column_options(run)
    add_decisions_option(run)
    add_review_page_option(run)
    add_threshold_options(run)
    add_input_options(run)
    add_library_options(run)
    add_allow_incomplete(run)
    add_output_options(run)
    run.set_defaults(handler=run_job)


def add_decisions_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--decisions", type=pathlib.Path, metavar="FILE",
                   help="CSV artist,title,decision (a review page's export): these releases take the decision chosen")


def add_review_page_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--no-review-page", dest="review_page", action="store_false",
                   help="no WORKDIR/review.html: the decisions alone, at a fraction of the CPU")


def run_demo(args: argparse.Namespace) -> int:
    if args.scale is None:
        args.dump, args.releases = SAMPLE_DATA / "library.sql", SAMPLE_DATA / "releases.csv"
        return run_job(args)
    return _step_status(lambda: run_scaled(args.workdir, args.scale, job_options(args), wording(args)))


def run_job(args: argparse.Namespace) -> int:
    pipeline = Pipeline(args.dump, args.releases, args.workdir, job_options(args), wording(args))
    pipeline.refuse_overwriting_inputs()
    return _step_status(pipeline.run)


def _step_status(run: Callable[[], None]) -> int:
    """0 when the run completes; a failed step said in one line, and the exit
    status of what it failed with."""
    try:
        run()
    except StepFailed as e:
        print(f"[fail] {e.step}: {inert(e.error)}", file=sys.stderr)
        cause = e.__cause__
        if isinstance(cause, CommandError):
            return cause.status
        return EXIT_USAGE if isinstance(cause, InputError) else EXIT_FAILED
    return 0
