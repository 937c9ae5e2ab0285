"""The pipeline's main job, usable from Python without the command line.

    from zemo_etl import job

    job.run(dump="library.sql", releases="releases.csv", workdir="out")
    job.run(dump="library.sql", releases="releases.csv", workdir="out",
            thresholds={"review_floor": 0.5}, review_page=False)

`run` takes the keywords of `JobOptions` (`db_url`, `fresh`, `thresholds`,
`decisions`, ...), resumes a run that stopped part-way and redoes the steps
whose inputs changed, as `zemo-etl run` does. It reports each step on
standard output and raises `StepFailed` when a step fails (its cause
chained), `InputError` for an input, a work folder or a state it cannot use.

Modules: `pipeline` (the steps), `workdir` (lock, record of the inputs,
fingerprints), `states` (the state file), `decisions` (classification in
chunks, `Evidence`, decisions files), `library` (the library out of a dump
or CSV, resolution in chunks), `page` (the review page), `options`
(`JobOptions`, the defaults the command line shows too), `demo` (the job on
generated data).
"""

from __future__ import annotations

import os
from typing import Any

from zemo_etl.errors import InputError
from zemo_etl.job.options import DEFAULTS, JobOptions
from zemo_etl.job.pipeline import SAMPLE_DATA, STEPS, Pipeline, StepFailed

__all__ = ["run", "Pipeline", "JobOptions", "DEFAULTS", "StepFailed", "InputError", "STEPS", "SAMPLE_DATA"]


def run(dump: str | os.PathLike[str], releases: str | os.PathLike[str], workdir: str | os.PathLike[str],
        **options: Any) -> Pipeline:
    """Run the job on a MySQL dump holding the library and a releases CSV in
    `workdir`, with the options of `JobOptions` as keywords; the pipeline
    that ran (its `timings`, its paths)."""
    pipeline = Pipeline(dump, releases, workdir, JobOptions(**options))
    pipeline.refuse_overwriting_inputs()
    pipeline.run()
    return pipeline

